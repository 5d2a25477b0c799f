(* Holds velmora-devservice from a Free Pascal or Delphi test suite (FPCUnit, DUnit, DUnitX) on
  Windows:

    Service := TVelmoraDevService.Start('C:\velmora\bin\velmora-devservice.exe');
    try
      Service.Apply('{"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]}');
      CheckEquals(1460, StartJob(5));
      Check(Service.Verify('"export": "StartJob", "job": 5, "count": 1'));
      Service.Reset;
    finally
      Service.Free;
    end;

  Each call is one line on the service's control pipe and waits for its answer; Apply returns
  once the rules are in force, so the next call of the host meets them. A refusal raises
  EVelmoraControl with the service's reason. Free stops the service, however the test went.
  Answers come back as their JSON text (UTF-8), for the test's own JSON reader. *)
unit VelmoraDevService;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

uses
  Windows, SysUtils;

type
  EVelmoraControl = class(Exception);

  TVelmoraDevService = class
  private
    FProcess: THandle;
    FPipe: THandle;
    FPending: UTF8String;
    procedure Connect(const PipeName: UnicodeString; StartMs: DWORD);
    function ReadLine: UTF8String;
    procedure EndProcess;
  public
    { Starts the service with its control pipe named PipeName (under \\.\pipe\) and returns
      once it answers. }
    constructor Start(const Exe: UnicodeString; const Arguments: UnicodeString = '';
      const PipeName: UnicodeString = 'velmora-devservice'; StartMs: DWORD = 10000);
    destructor Destroy; override;
    { Sends one control line (a JSON object) and returns the answer line; raises when refused. }
    function Call(const Line: UTF8String): UTF8String;
    function Ping: UTF8String;
    { RulesJson is a rules file's content; returns once the rules are in force. }
    function Apply(const RulesJson: UTF8String): UTF8String;
    procedure Reset(Rules: Boolean = True; Jobs: Boolean = True; Journal: Boolean = True);
    (* The journal's entries numbered Since or later: {"ok":true,"entries":[...],"next":n}. *)
    function Journal(Since: Int64 = 1): UTF8String;
    { Conditions are verify's as JSON members: '"export": "StartJob", "count": 2'. }
    function Verify(const Conditions: UTF8String): Boolean;
    { Stops the service and waits for it to end; Free does it when not done already. }
    procedure Stop;
  end;

implementation

const
  Flags: array[Boolean] of UTF8String = ('false', 'true');

constructor TVelmoraDevService.Start(const Exe, Arguments, PipeName: UnicodeString;
  StartMs: DWORD);
var
  CommandLine: UnicodeString;
  Startup: TStartupInfoW;
  Started: TProcessInformation;
begin
  inherited Create;
  FPipe := INVALID_HANDLE_VALUE;
  CommandLine := '"' + Exe + '" --control ' + PipeName + ' ' + Arguments;
  UniqueString(CommandLine);
  FillChar(Startup, SizeOf(Startup), 0);
  Startup.cb := SizeOf(Startup);
  FillChar(Started, SizeOf(Started), 0);
  if not CreateProcessW(PWideChar(Exe), PWideChar(CommandLine), nil, nil, False, 0, nil, nil,
    Startup, Started) then
    raise EVelmoraControl.CreateFmt('cannot start %s: error %d', [Exe, GetLastError]);
  CloseHandle(Started.hThread);
  FProcess := Started.hProcess;
  Connect('\\.\pipe\' + PipeName, StartMs);
  Ping;
end;

destructor TVelmoraDevService.Destroy;
begin
  try
    Stop;
  except
    on EVelmoraControl do
      EndProcess;  { no answer: it is ended instead }
  end;
  inherited Destroy;
end;

{ The pipe appears once the service is ready; until then the wait is on the process, so a
  service that exits at once (a bad option) is reported at once. }
procedure TVelmoraDevService.Connect(const PipeName: UnicodeString; StartMs: DWORD);
var
  Started: DWORD;
  Code: DWORD;
begin
  Started := GetTickCount;
  repeat
    FPipe := CreateFileW(PWideChar(PipeName), GENERIC_READ or GENERIC_WRITE, 0, nil,
      OPEN_EXISTING, 0, 0);
    if FPipe <> INVALID_HANDLE_VALUE then
      Exit;
    if GetLastError = ERROR_PIPE_BUSY then
      WaitNamedPipeW(PWideChar(PipeName), 100)
    else if WaitForSingleObject(FProcess, 20) = WAIT_OBJECT_0 then
    begin
      GetExitCodeProcess(FProcess, Code);
      EndProcess;
      raise EVelmoraControl.CreateFmt('velmora-devservice exited with %d before it served %s',
        [Code, PipeName]);
    end;
  until GetTickCount - Started >= StartMs;
  EndProcess;
  raise EVelmoraControl.CreateFmt('velmora-devservice did not answer within %d ms', [StartMs]);
end;

function TVelmoraDevService.ReadLine: UTF8String;
var
  Chunk: array[0..4095] of AnsiChar;
  Got: DWORD;
  LineEnd: Integer;
  Part: UTF8String;
begin
  LineEnd := Pos(#10, FPending);
  while LineEnd = 0 do
  begin
    Got := 0;
    if not ReadFile(FPipe, Chunk, SizeOf(Chunk), Got, nil) or (Got = 0) then
      raise EVelmoraControl.Create('the service closed the control pipe without answering');
    SetString(Part, PAnsiChar(@Chunk[0]), Got);
    FPending := FPending + Part;
    LineEnd := Pos(#10, FPending);
  end;
  Result := Copy(FPending, 1, LineEnd - 1);
  Delete(FPending, 1, LineEnd);
end;

{ The JSON string that starts at Text[First], after its opening quote, unescaped. }
function JsonString(const Text: UTF8String; First: Integer): UTF8String;
var
  I: Integer;
begin
  Result := '';
  I := First;
  while (I <= Length(Text)) and (Text[I] <> '"') do
  begin
    if (Text[I] = '\') and (I < Length(Text)) then
    begin
      Inc(I);
      case Text[I] of
        'n': Result := Result + #10;
        't': Result := Result + #9;
        'r': Result := Result + #13;
      else
        Result := Result + Text[I];  { a quote, a backslash or a slash }
      end;
    end
    else
      Result := Result + Text[I];
    Inc(I);
  end;
end;

function TVelmoraDevService.Call(const Line: UTF8String): UTF8String;
const
  ErrorKey: UTF8String = '"error":"';
var
  Text: UTF8String;
  Written: DWORD;
  At, I: Integer;
begin
  if FPipe = INVALID_HANDLE_VALUE then
    raise EVelmoraControl.Create('the service is stopped');
  { A line end can stand only between JSON tokens. }
  Text := Line;
  for I := 1 to Length(Text) do
    if (Text[I] = #10) or (Text[I] = #13) then
      Text[I] := ' ';
  Text := Text + #10;
  if not WriteFile(FPipe, PAnsiChar(Text)^, Length(Text), Written, nil) then
    raise EVelmoraControl.CreateFmt('the control pipe is closed: error %d', [GetLastError]);
  Result := ReadLine;
  if Copy(Result, 1, 10) = '{"ok":true' then
    Exit;
  At := Pos(ErrorKey, Result);
  if At = 0 then
    raise EVelmoraControl.Create('not understood: ' + string(Result));
  raise EVelmoraControl.Create(UTF8ToString(JsonString(Result, At + Length(ErrorKey))));
end;

function TVelmoraDevService.Ping: UTF8String;
begin
  Result := Call('{"op":"ping"}');
end;

function TVelmoraDevService.Apply(const RulesJson: UTF8String): UTF8String;
begin
  Result := Call('{"op":"apply","rules":' + RulesJson + '}');
end;

procedure TVelmoraDevService.Reset(Rules, Jobs, Journal: Boolean);
begin
  Call('{"op":"reset","rules":' + Flags[Rules] + ',"jobs":' + Flags[Jobs] + ',"journal":' +
    Flags[Journal] + '}');
end;

function TVelmoraDevService.Journal(Since: Int64): UTF8String;
begin
  Result := Call('{"op":"journal","since":' + UTF8String(IntToStr(Since)) + '}');
end;

function TVelmoraDevService.Verify(const Conditions: UTF8String): Boolean;
begin
  Result := Pos('"agrees":true', Call('{"op":"verify",' + Conditions + '}')) > 0;
end;

procedure TVelmoraDevService.Stop;
begin
  if FPipe <> INVALID_HANDLE_VALUE then
  begin
    Call('{"op":"stop"}');
    CloseHandle(FPipe);
    FPipe := INVALID_HANDLE_VALUE;
  end;
  if (FProcess <> 0) and (WaitForSingleObject(FProcess, 10000) <> WAIT_OBJECT_0) then
  begin
    EndProcess;
    raise EVelmoraControl.Create('the service did not stop within 10 s: it was ended');
  end;
  EndProcess;
end;

procedure TVelmoraDevService.EndProcess;
begin
  if FPipe <> INVALID_HANDLE_VALUE then
    CloseHandle(FPipe);
  FPipe := INVALID_HANDLE_VALUE;
  if FProcess <> 0 then
  begin
    if WaitForSingleObject(FProcess, 0) <> WAIT_OBJECT_0 then
      TerminateProcess(FProcess, 1);
    WaitForSingleObject(FProcess, 10000);
    CloseHandle(FProcess);
    FProcess := 0;
  end;
end;

end.
