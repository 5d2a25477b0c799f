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

  Tests that run at once each take a Session (freed at the end of the test): its Apply, Reset,
  Journal and Verify act on rules, jobs and a journal of their own for this process and every
  process it starts.

  Each call is one line on the service's control pipe and waits for its answer, at most
  AnswerMs (raising EVelmoraControl past it); Apply returns
  once the rules are in force, so the next call of the host meets them. A refusal raises
  EVelmoraControl with the service's reason. Free stops the service, however the test went.
  The service's console goes to a file in the temporary folder (ConsolePath, named in every
  failure), or to the test's own output with ConsoleToOutput. A service that answers as another
  process than the one started is refused. Answers come back as their JSON text (UTF-8), for the
  test's own JSON reader; Member reads one of their members, whatever their order. *)
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
    FProcessId: DWORD;
    FPipe: THandle;
    FPipeName: UnicodeString;
    FAnswerMs: DWORD;
    FOwner: Boolean;  { it started the service, and stops it }
    FSessionId: Int64;
    FPending: UTF8String;
    FConsolePath: UnicodeString;
    { A further connection to the running service, which it does not own. }
    constructor Attach(const PipeName: UnicodeString; AnswerMs: DWORD);
    function ConsoleNote: string;
    function OpenConsoleFile: THandle;
    procedure Connect(const PipeName: UnicodeString; StartMs: DWORD);
    function Transfer(Write: Boolean; var Buffer; Size: DWORD): DWORD;
    function ReadLine: UTF8String;
    procedure EndProcess;
  public
    { Starts the service with its control pipe named PipeName (under \\.\pipe\) and returns
      once it answers. }
    constructor Start(const Exe: UnicodeString; const Arguments: UnicodeString = '';
      const PipeName: UnicodeString = 'velmora-devservice'; StartMs: DWORD = 10000;
      ConsoleToOutput: Boolean = False; AnswerMs: DWORD = 30000);
    destructor Destroy; override;
    { A session on a connection of its own, for ProcessId (0: this process) and every process
      it starts; freeing it ends the session. busy and absent act on the whole pipe and are
      refused in a session. }
    function Session(ProcessId: DWORD = 0): TVelmoraDevService;
    { The session's number, as the journal's lines name it; 0 for the service itself. }
    property SessionId: Int64 read FSessionId;
    { Sends one control line (a JSON object) and returns the answer line; raises when refused. }
    function Call(const Line: UTF8String): UTF8String;
    function Ping: UTF8String;
    { RulesJson is a rules file's content; returns once the rules are in force. }
    function Apply(const RulesJson: UTF8String): UTF8String;
    procedure Reset(Rules: Boolean = True; Jobs: Boolean = True; Journal: Boolean = True);
    (* The journal's lines from request Since on: {"ok":true,"entries":[...],"next":n}. *)
    function Journal(Since: Int64 = 1): UTF8String;
    { Conditions are verify's as JSON members: '"export": "StartJob", "count": 2'. }
    function Verify(const Conditions: UTF8String): Boolean;
    { Stops the service and waits for it to end; Free does it when not done already. }
    procedure Stop;
    { Where the service's console goes; empty when it goes to the test's output. }
    property ConsolePath: UnicodeString read FConsolePath;
  end;

(* The raw text of the top-level member Name of a JSON object on one line ('true', '12',
  '"text"', an object), whatever the order of its members; '' when it has none. *)
function Member(const Json, Name: UTF8String): UTF8String;

implementation

const
  Flags: array[Boolean] of UTF8String = ('false', 'true');
  { The longest answer line taken: the service's whole memory journal fits. }
  MaxAnswer = 256 shl 20;

constructor TVelmoraDevService.Start(const Exe, Arguments, PipeName: UnicodeString;
  StartMs: DWORD; ConsoleToOutput: Boolean; AnswerMs: DWORD);
var
  CommandLine: UnicodeString;
  Startup: TStartupInfoW;
  Started: TProcessInformation;
  Console: THandle;
  Made: Boolean;
  Error: DWORD;
  Pid: UTF8String;
begin
  inherited Create;
  FPipe := INVALID_HANDLE_VALUE;
  FPipeName := '\\.\pipe\' + PipeName;
  FAnswerMs := AnswerMs;
  FOwner := True;
  CommandLine := '"' + Exe + '" --control "' + PipeName + '" ' + Arguments;
  UniqueString(CommandLine);
  FillChar(Startup, SizeOf(Startup), 0);
  Startup.cb := SizeOf(Startup);
  Console := INVALID_HANDLE_VALUE;
  if not ConsoleToOutput then
  begin
    Console := OpenConsoleFile;
    Startup.dwFlags := STARTF_USESTDHANDLES;
    Startup.hStdOutput := Console;
    Startup.hStdError := Console;
  end;
  FillChar(Started, SizeOf(Started), 0);
  Made := CreateProcessW(PWideChar(Exe), PWideChar(CommandLine), nil, nil,
    Console <> INVALID_HANDLE_VALUE, 0, nil, nil, Startup, Started);
  Error := GetLastError;
  if Console <> INVALID_HANDLE_VALUE then
    CloseHandle(Console);
  if not Made then
    raise EVelmoraControl.CreateFmt('cannot start %s: error %d', [Exe, Error]);
  CloseHandle(Started.hThread);
  FProcess := Started.hProcess;
  FProcessId := Started.dwProcessId;
  try
    Connect(FPipeName, StartMs);
    { Another service may hold the name: this one then exits, and its holder's answers must
      not be taken for its own, nor its holder stopped when this one is freed. }
    Pid := Member(Ping, 'pid');
    if Pid <> UTF8String(IntToStr(FProcessId)) then
      raise EVelmoraControl.CreateFmt('another velmora-devservice (process %s) answers on %s: ' +
        'give this one a control name of its own%s', [string(Pid), PipeName, ConsoleNote]);
  except
    EndProcess;
    raise;
  end;
end;

constructor TVelmoraDevService.Attach(const PipeName: UnicodeString; AnswerMs: DWORD);
begin
  inherited Create;
  FPipe := INVALID_HANDLE_VALUE;
  FPipeName := PipeName;
  FAnswerMs := AnswerMs;
  Connect(PipeName, AnswerMs);
end;

function TVelmoraDevService.Session(ProcessId: DWORD): TVelmoraDevService;
var
  Line: UTF8String;
begin
  Result := TVelmoraDevService.Attach(FPipeName, FAnswerMs);
  try
    Line := '{"op":"session"}';
    if ProcessId <> 0 then
      Line := '{"op":"session","process":' + UTF8String(IntToStr(ProcessId)) + '}';
    Result.FSessionId := StrToInt64(string(Member(Result.Call(Line), 'session')));
  except
    Result.Free;
    raise;
  end;
end;

function TVelmoraDevService.ConsoleNote: string;
begin
  if FConsolePath = '' then
    Result := ''
  else
    Result := ' (its console: ' + string(FConsolePath) + ')';
end;

{ A new file in the temporary folder for the service's console, inherited by it. }
function TVelmoraDevService.OpenConsoleFile: THandle;
var
  Folder: array[0..MAX_PATH] of WideChar;
  Attributes: TSecurityAttributes;
begin
  SetString(FConsolePath, PWideChar(@Folder[0]), GetTempPathW(MAX_PATH + 1, Folder));
  FConsolePath := FConsolePath + 'velmora-devservice-' + UnicodeString(IntToStr(GetCurrentProcessId)) +
    '-' + UnicodeString(IntToStr(GetTickCount)) + '.log';
  FillChar(Attributes, SizeOf(Attributes), 0);
  Attributes.nLength := SizeOf(Attributes);
  Attributes.bInheritHandle := True;
  Result := CreateFileW(PWideChar(FConsolePath), GENERIC_WRITE, FILE_SHARE_READ or
    FILE_SHARE_WRITE, @Attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
  if Result = INVALID_HANDLE_VALUE then
    raise EVelmoraControl.CreateFmt('cannot write the service''s console to %s: error %d',
      [string(FConsolePath), GetLastError]);
end;

destructor TVelmoraDevService.Destroy;
begin
  if not FOwner then
  begin
    EndProcess;  { a session's connection: closing it ends the session }
    inherited Destroy;
    Exit;
  end;
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
      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
    if FPipe <> INVALID_HANDLE_VALUE then
      Exit;
    if GetLastError = ERROR_PIPE_BUSY then
      WaitNamedPipeW(PWideChar(PipeName), 100)
    else if FProcess = 0 then
      Sleep(20)
    else if WaitForSingleObject(FProcess, 20) = WAIT_OBJECT_0 then
    begin
      GetExitCodeProcess(FProcess, Code);
      EndProcess;
      raise EVelmoraControl.CreateFmt('velmora-devservice exited with %d before it served %s%s',
        [Code, PipeName, ConsoleNote]);
    end;
  until GetTickCount - Started >= StartMs;
  EndProcess;
  raise EVelmoraControl.CreateFmt('velmora-devservice did not answer within %d ms%s',
    [StartMs, ConsoleNote]);
end;

{ One write or read on the control pipe, at most FAnswerMs long; the bytes moved. }
function TVelmoraDevService.Transfer(Write: Boolean; var Buffer; Size: DWORD): DWORD;
var
  Io: TOverlapped;
  Done: BOOL;
  Error: DWORD;
begin
  FillChar(Io, SizeOf(Io), 0);
  Io.hEvent := CreateEventW(nil, True, False, nil);
  Result := 0;
  if Write then
    Done := WriteFile(FPipe, Buffer, Size, Result, @Io)
  else
    Done := ReadFile(FPipe, Buffer, Size, Result, @Io);
  Error := ERROR_SUCCESS;
  if not Done then
    Error := GetLastError;
  if Error = ERROR_IO_PENDING then
  begin
    if WaitForSingleObject(Io.hEvent, FAnswerMs) <> WAIT_OBJECT_0 then
    begin
      CancelIo(FPipe);
      GetOverlappedResult(FPipe, Io, Result, True);
      CloseHandle(Io.hEvent);
      raise EVelmoraControl.CreateFmt('the service did not answer within %d ms%s',
        [FAnswerMs, ConsoleNote]);
    end;
    Error := ERROR_SUCCESS;
    if not GetOverlappedResult(FPipe, Io, Result, False) then
      Error := GetLastError;
  end;
  CloseHandle(Io.hEvent);
  if (Error = ERROR_SUCCESS) and (Write or (Result > 0)) then
    Exit;
  if Write then
    raise EVelmoraControl.CreateFmt('the control pipe is closed: error %d', [Error]);
  raise EVelmoraControl.Create('the service closed the control pipe without answering' +
    ConsoleNote);
end;

function TVelmoraDevService.ReadLine: UTF8String;
var
  Chunk: array[0..65535] of AnsiChar;
  Got: DWORD;
  LineEnd: Integer;
  Part: UTF8String;
begin
  LineEnd := Pos(#10, FPending);
  while LineEnd = 0 do
  begin
    if Length(FPending) > MaxAnswer then
      raise EVelmoraControl.CreateFmt('the service''s answer runs past %d bytes without a ' +
        'line end', [MaxAnswer]);
    Got := Transfer(False, Chunk, SizeOf(Chunk));
    SetString(Part, PAnsiChar(@Chunk[0]), Got);
    FPending := FPending + Part;
    LineEnd := Pos(#10, FPending);
  end;
  Result := Copy(FPending, 1, LineEnd - 1);
  Delete(FPending, 1, LineEnd);
end;

{ Where a value (string, number, literal, object or list) starting at Text[At] ends: the index
  just past it. }
function SkipValue(const Text: UTF8String; At: Integer): Integer;
var
  Depth: Integer;
  InString: Boolean;
begin
  Depth := 0;
  InString := False;
  while At <= Length(Text) do
  begin
    if InString then
    begin
      if Text[At] = '\' then
        Inc(At)
      else if Text[At] = '"' then
      begin
        InString := False;
        if Depth = 0 then
          Exit(At + 1);
      end;
    end
    else if Text[At] = '"' then
      InString := True
    else if (Text[At] = '{') or (Text[At] = '[') then
      Inc(Depth)
    else if (Text[At] = '}') or (Text[At] = ']') then
    begin
      if Depth = 0 then
        Exit(At);
      Dec(Depth);
      if Depth = 0 then
        Exit(At + 1);
    end
    else if (Depth = 0) and ((Text[At] = ',') or (Text[At] = ' ')) then
      Exit(At);
    Inc(At);
  end;
  Result := At;
end;

function Member(const Json, Name: UTF8String): UTF8String;
var
  At, KeyEnd, Value, ValueEnd: Integer;
begin
  Result := '';
  At := Pos('{', Json);
  if At = 0 then
    Exit;
  Inc(At);
  while True do
  begin
    while (At <= Length(Json)) and (Json[At] = ' ') do
      Inc(At);
    if (At > Length(Json)) or (Json[At] <> '"') then
      Exit;
    KeyEnd := SkipValue(Json, At);
    Value := KeyEnd;
    while (Value <= Length(Json)) and ((Json[Value] = ' ') or (Json[Value] = ':')) do
      Inc(Value);
    ValueEnd := SkipValue(Json, Value);
    if Copy(Json, At, KeyEnd - At) = '"' + Name + '"' then
      Exit(Copy(Json, Value, ValueEnd - Value));
    At := ValueEnd;
    while (At <= Length(Json)) and (Json[At] = ' ') do
      Inc(At);
    if (At > Length(Json)) or (Json[At] <> ',') then
      Exit;
    Inc(At);
  end;
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
var
  Text, Ok, Error: UTF8String;
  I: Integer;
begin
  if FPipe = INVALID_HANDLE_VALUE then
    raise EVelmoraControl.Create('the service is stopped');
  { A line end can stand only between JSON tokens. }
  Text := Line;
  for I := 1 to Length(Text) do
    if (Text[I] = #10) or (Text[I] = #13) then
      Text[I] := ' ';
  Text := Text + #10;
  Transfer(True, PAnsiChar(Text)^, Length(Text));
  Result := ReadLine;
  Ok := Member(Result, 'ok');
  if Ok = 'true' then
    Exit;
  Error := Member(Result, 'error');
  if (Ok <> 'false') or (Copy(Error, 1, 1) <> '"') then
    raise EVelmoraControl.Create('not understood: ' + string(Copy(Result, 1, 200)));
  raise EVelmoraControl.Create(UTF8ToString(JsonString(Error, 2)));
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
  Result := Member(Call('{"op":"verify",' + Conditions + '}'), 'agrees') = 'true';
end;

procedure TVelmoraDevService.Stop;
begin
  if not FOwner then
  begin
    EndProcess;
    Exit;
  end;
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
