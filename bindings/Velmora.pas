{ Velmora.dll for Free Pascal (any mode) and Delphi: every export, the variable nVelmora, and
  overloads that take a Unicode text.

  Each function sends one request to the scheduler service over \\.\pipe\pipe_job and returns
  its status (0 for success), or a Windows error code when the service could not be reached;
  the same value is the thread's last error (GetLastError), the only report of StartJobOnBoot
  and SetProcessPriority. Texts are sent in the ANSI code page, cut to 259 bytes.

  Pass a text as a string, not as PAnsiChar(s): in Delphi 2009 and later (and Free Pascal's
  unicode modes) "string" is UTF-16, and PAnsiChar(s) would send only its first character. The
  text overloads take any string (an AnsiString converts to UnicodeString without loss) and
  convert it to the ANSI code page exactly, with no look-alike and no "?": a text the code page
  cannot carry raises EVelmora with the status 1113 (ERROR_NO_UNICODE_TRANSLATION, also the
  last error) and sends nothing, so that "C:\tmp\<a CJK character>.txt" never reaches the
  service as the wildcard "C:\tmp\?.txt". VelmoraCheck raises EVelmora on a non-zero status. }
unit Velmora;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

uses
  SysUtils;

const
  VelmoraDll = 'Velmora.dll';

function StartScheduler: LongInt; cdecl; external VelmoraDll name 'StartScheduler';
function StopScheduler: LongInt; cdecl; external VelmoraDll name 'StopScheduler';
function StartJob(Job: LongInt): LongInt; cdecl; external VelmoraDll name 'StartJob';
function RestartJob(Job: LongInt): LongInt; cdecl; external VelmoraDll name 'RestartJob';
function CancelJob(Job: LongInt): LongInt; cdecl; external VelmoraDll name 'CancelJob';
function DeleteJob(Job: LongInt): LongInt; cdecl; external VelmoraDll name 'DeleteJob';
function ChangeJobState(Job: LongInt; State: LongInt): LongInt; cdecl;
  external VelmoraDll name 'ChangeJobState';
procedure StartJobOnBoot; cdecl; external VelmoraDll name 'StartJobOnBoot';
procedure SetProcessPriority(Priority: LongInt); cdecl;
  external VelmoraDll name 'SetProcessPriority';
function DeleteJobFile(Job: LongInt): LongInt; cdecl; external VelmoraDll name 'DeleteJobFile';
function DeleteJobFileByName(Name: PAnsiChar): LongInt; cdecl; overload;
  external VelmoraDll name 'DeleteJobFileByName';
function DeleteJobProfile(Job: LongInt): LongInt; cdecl;
  external VelmoraDll name 'DeleteJobProfile';
{ Edition 3 only. }
function StartMigJob(Job: LongInt; Parameter: PAnsiChar): LongInt; cdecl; overload;
  external VelmoraDll name 'StartMigJob';
function StartSyncJob(Job: LongInt; First, Second: PAnsiChar): LongInt; cdecl; overload;
  external VelmoraDll name 'StartSyncJob';
function RunProcAsAdmin(CommandLine: PAnsiChar): LongInt; cdecl; overload;
  external VelmoraDll name 'RunProcAsAdmin';

function DeleteJobFileByName(const Name: UnicodeString): LongInt; overload;
function StartMigJob(Job: LongInt; const Parameter: UnicodeString): LongInt; overload;
function StartSyncJob(Job: LongInt; const First, Second: UnicodeString): LongInt; overload;
{ A literal beside a string: without these the compiler may pick the PAnsiChar declaration and
  convert the string to it lossily. }
function StartSyncJob(Job: LongInt; const First: UnicodeString; Second: PAnsiChar): LongInt;
  overload;
function StartSyncJob(Job: LongInt; First: PAnsiChar; const Second: UnicodeString): LongInt;
  overload;
function RunProcAsAdmin(const CommandLine: UnicodeString): LongInt; overload;

{ The exported int nVelmora, found by the decorated name the DLL exports it under
  ('?nVelmora@@3HA'); nil if the DLL is not loaded. }
function nVelmora: PLongInt;

type
  EVelmora = class(Exception)
  public
    Status: LongInt;
  end;

{ Returns Status when it is 0; raises EVelmora carrying it otherwise. }
function VelmoraCheck(Status: LongInt): LongInt;

implementation

function GetModuleHandleA(Name: PAnsiChar): THandle; stdcall;
  external 'kernel32.dll' name 'GetModuleHandleA';
function GetProcAddress(Module: THandle; Name: PAnsiChar): Pointer; stdcall;
  external 'kernel32.dll' name 'GetProcAddress';
function GetACP: LongWord; stdcall; external 'kernel32.dll' name 'GetACP';
function WideCharToMultiByte(CodePage, Flags: LongWord; Wide: PWideChar; WideCount: LongInt;
  Multi: PAnsiChar; MultiCount: LongInt; DefaultChar: PAnsiChar; UsedDefault: PLongBool): LongInt;
  stdcall; external 'kernel32.dll' name 'WideCharToMultiByte';
procedure SetLastError(Code: LongWord); stdcall; external 'kernel32.dll' name 'SetLastError';

const
  CodePageAnsi = 0;
  CodePageUtf8 = 65001;
  NoBestFitChars = $400;
  ErrInvalidChars = $80;
  NoUnicodeTranslation = 1113;

{ Text in the ANSI code page, exactly; raises EVelmora (1113) when a character would be lost:
  one the code page lacks (no look-alike is taken), or an unpaired surrogate. }
function Ansi(const Text: UnicodeString): AnsiString;
var
  Error: EVelmora;
  CodePage, Flags: LongWord;
  Lost: LongBool;
  LostAt: PLongBool;
  Size: LongInt;
begin
  Result := '';
  if Text = '' then
    Exit;
  { UTF-8 as the ANSI code page takes neither the best-fit flag nor a default character. }
  CodePage := CodePageAnsi;
  Flags := NoBestFitChars;
  LostAt := @Lost;
  if GetACP = CodePageUtf8 then
  begin
    CodePage := CodePageUtf8;
    Flags := ErrInvalidChars;
    LostAt := nil;
  end;
  Lost := False;
  Size := WideCharToMultiByte(CodePage, Flags, PWideChar(Text), Length(Text), nil, 0, nil, LostAt);
  if (Size > 0) and not Lost then
  begin
    SetLength(Result, Size);
    WideCharToMultiByte(CodePage, Flags, PWideChar(Text), Length(Text), PAnsiChar(Result), Size,
                        nil, LostAt);
  end;
  if (Size <= 0) or Lost then
  begin
    Error := EVelmora.CreateFmt('Velmora: the text has a character the ANSI code page cannot ' +
                                'carry; nothing was sent (status %d)', [NoUnicodeTranslation]);
    Error.Status := NoUnicodeTranslation;
    SetLastError(NoUnicodeTranslation);
    raise Error;
  end;
end;

function DeleteJobFileByName(const Name: UnicodeString): LongInt; overload;
begin
  Result := DeleteJobFileByName(PAnsiChar(Ansi(Name)));
end;

function StartMigJob(Job: LongInt; const Parameter: UnicodeString): LongInt; overload;
begin
  Result := StartMigJob(Job, PAnsiChar(Ansi(Parameter)));
end;

function StartSyncJob(Job: LongInt; const First, Second: UnicodeString): LongInt; overload;
var
  FirstBytes: AnsiString;
begin
  FirstBytes := Ansi(First);  { both are converted before anything is sent }
  Result := StartSyncJob(Job, PAnsiChar(FirstBytes), PAnsiChar(Ansi(Second)));
end;

function StartSyncJob(Job: LongInt; const First: UnicodeString; Second: PAnsiChar): LongInt;
  overload;
begin
  Result := StartSyncJob(Job, PAnsiChar(Ansi(First)), Second);
end;

function StartSyncJob(Job: LongInt; First: PAnsiChar; const Second: UnicodeString): LongInt;
  overload;
begin
  Result := StartSyncJob(Job, First, PAnsiChar(Ansi(Second)));
end;

function RunProcAsAdmin(const CommandLine: UnicodeString): LongInt; overload;
begin
  Result := RunProcAsAdmin(PAnsiChar(Ansi(CommandLine)));
end;

function nVelmora: PLongInt;
var
  Module: THandle;
begin
  Result := nil;
  Module := GetModuleHandleA(VelmoraDll);
  if Module <> 0 then
    Result := PLongInt(GetProcAddress(Module, '?nVelmora@@3HA'));
end;

function VelmoraCheck(Status: LongInt): LongInt;
var
  Error: EVelmora;
begin
  if Status <> 0 then
  begin
    Error := EVelmora.CreateFmt('Velmora call failed with status %d', [Status]);
    Error.Status := Status;
    raise Error;
  end;
  Result := Status;
end;

end.
