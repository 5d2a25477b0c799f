{ The Pascal test helper against the real service, with calls through Velmora.dll:
  devservice_helper_test SERVICE_EXE. Prints a line a check and exits with the failures' count. }
program devservice_helper_test;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$APPTYPE CONSOLE}

uses
  Windows, SysUtils, Velmora, VelmoraDevService;

var
  Failures: Integer = 0;

procedure Expect(Holds: Boolean; const What: string);
begin
  if Holds then
    WriteLn('ok   ', What)
  else
  begin
    WriteLn('FAIL ', What);
    Inc(Failures);
  end;
end;

function PipeExists(const Name: UnicodeString): Boolean;
var
  Pipe: THandle;
begin
  Pipe := CreateFileW(PWideChar(Name), GENERIC_READ or GENERIC_WRITE, 0, nil, OPEN_EXISTING,
    0, 0);
  Result := (Pipe <> INVALID_HANDLE_VALUE) or (GetLastError = ERROR_PIPE_BUSY);
  if Pipe <> INVALID_HANDLE_VALUE then
    CloseHandle(Pipe);
end;

function FileText(const Path: UnicodeString): AnsiString;
var
  F: THandle;
  Chunk: array[0..4095] of AnsiChar;
  Got: DWORD;
  Part: AnsiString;
begin
  Result := '';
  F := CreateFileW(PWideChar(Path), GENERIC_READ, FILE_SHARE_READ or FILE_SHARE_WRITE, nil,
    OPEN_EXISTING, 0, 0);
  if F = INVALID_HANDLE_VALUE then
    Exit;
  while ReadFile(F, Chunk, SizeOf(Chunk), Got, nil) and (Got > 0) do
  begin
    SetString(Part, PAnsiChar(@Chunk[0]), Got);
    Result := Result + Part;
  end;
  CloseHandle(F);
end;

{ A helper whose control pipe takes its line and never answers gives up after its AnswerMs. }
procedure ExpectAFrozenServiceGivenUp;
const
  Name = 'velmora-pascal-frozen';
var
  Frozen: THandle;
  Began, Took: DWORD;
  Refused: string;
begin
  Frozen := CreateNamedPipeW('\\.\pipe\' + Name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096,
    4096, 0, nil);
  Refused := '';
  Began := GetTickCount;
  try
    TVelmoraDevService.Start(UnicodeString(ParamStr(1)), '', Name, 10000, False, 1000).Free;
  except
    on E: EVelmoraControl do
      Refused := E.Message;
  end;
  Took := GetTickCount - Began;
  CloseHandle(Frozen);
  Expect((Pos('the service did not answer within 1000 ms', Refused) = 1) and (Took < 8000),
    'a frozen service is given up after AnswerMs (' + IntToStr(Took) + ' ms): ' + Refused);
end;

var
  Service, Second, Mine: TVelmoraDevService;
  I, Met: Integer;
  Refused, Console: string;
begin
  ExpectAFrozenServiceGivenUp;
  Service := TVelmoraDevService.Start(UnicodeString(ParamStr(1)), '', 'velmora-pascal-test');
  try
    Console := '';
    for I := 1 to 100 do
      if Pos('serving', Console) = 0 then
      begin
        Sleep(50);  { its console is written by a thread of its own }
        Console := string(FileText(Service.ConsolePath));
      end;
    Expect(Pos('serving', Console) > 0, 'the console goes to ' + string(Service.ConsolePath));
    Refused := '';
    try
      Second := TVelmoraDevService.Start(UnicodeString(ParamStr(1)), '', 'velmora-pascal-test');
      Second.Free;
    except
      on E: EVelmoraControl do
        Refused := E.Message;
    end;
    Expect(Pos('another velmora-devservice (process ', Refused) = 1,
      'a second helper on the name is refused: ' + Refused);
    Expect(Member(Service.Ping, 'pid') <> '', 'and the first one still answers');
    Expect(Member('{"count":2, "report":"a \"b\", c","agrees":true,"ok":true}', 'ok') = 'true',
      'answers are read by their members, whatever their order');
    Met := 0;
    for I := 1 to 20 do
    begin
      Service.Apply('{"rules": [{"match": {"job": 5}, "do": "reply", "status": ' +
        UTF8String(IntToStr(7000 + I)) + '}]}');
      if StartJob(5) = 7000 + I then
        Inc(Met);
    end;
    Expect(Met = 20, 'each apply judges the very next call (' + IntToStr(Met) + ' of 20)');
    Expect(Service.Verify('"export": "StartJob", "job": 5, "count": 20'),
      'verify counts the 20 calls');
    Expect(not Service.Verify('"export": "StartJob", "job": 5, "count": 21'),
      'verify disagrees with a wrong count');
    Refused := '';
    try
      Service.Apply('{"rules": [{"do": "reply"},' + #10 + ' {"do": "x"}]}');
    except
      on E: EVelmoraControl do
        Refused := E.Message;
    end;
    Expect(Refused = 'rule 2: unknown action "x"', 'a refusal raises the reason: ' + Refused);
    Expect(StartJob(5) = 7020, 'a refusal keeps the rules in force');
    Expect(StartJob(1) = 0, 'a request no rule takes goes to the job table');
    Mine := Service.Session;
    try
      Mine.Apply('{"rules": [{"match": {"job": 5}, "do": "reply", "status": 2001}]}');
      Expect(StartJob(5) = 2001, 'a session''s rules judge this process''s calls');
      Expect(Mine.Verify('"job": 5, "count": 1'), 'and its journal holds them alone');
    finally
      Mine.Free;
    end;
    Expect(StartJob(5) = 7020, 'its end gives the service''s own rules back');
    Service.Reset;
    Expect(StartJob(1) = 0, 'a reset leaves the jobs idle and no rules');
    Expect(Pos('"seq":1,', string(Service.Journal)) > 0, 'the journal is numbered afresh');
    Expect(Pos('"seq":2,', string(Service.Journal)) = 0, 'and holds only the call since');
  finally
    Service.Free;
  end;
  Expect(not PipeExists('\\.\pipe\velmora-pascal-test'), 'Free stops the service');
  ExitCode := Failures;
end.
