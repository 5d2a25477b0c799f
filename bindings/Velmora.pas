{ Velmora.dll for Free Pascal (any mode) and Delphi: every export, the variable nVelmora, and
  overloads that take AnsiString.

  Each function sends one request to the scheduler service over \\.\pipe\pipe_job and returns
  its status (0 for success), or a Windows error code when the service could not be reached;
  the same value is the thread's last error (GetLastError), the only report of StartJobOnBoot
  and SetProcessPriority. Texts are sent in the ANSI code page, cut to 259 bytes.

  Pass a text as AnsiString, not as PAnsiChar(s): in Delphi 2009 and later (and Free Pascal's
  unicode modes) "string" is UTF-16, and PAnsiChar(s) would send only its first character. The
  AnsiString overloads convert it whole. VelmoraCheck raises EVelmora on a non-zero status. }
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

function DeleteJobFileByName(const Name: AnsiString): LongInt; overload;
function StartMigJob(Job: LongInt; const Parameter: AnsiString): LongInt; overload;
function StartSyncJob(Job: LongInt; const First, Second: AnsiString): LongInt; overload;
function RunProcAsAdmin(const CommandLine: AnsiString): LongInt; overload;

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

function DeleteJobFileByName(const Name: AnsiString): LongInt; overload;
begin
  Result := DeleteJobFileByName(PAnsiChar(Name));
end;

function StartMigJob(Job: LongInt; const Parameter: AnsiString): LongInt; overload;
begin
  Result := StartMigJob(Job, PAnsiChar(Parameter));
end;

function StartSyncJob(Job: LongInt; const First, Second: AnsiString): LongInt; overload;
begin
  Result := StartSyncJob(Job, PAnsiChar(First), PAnsiChar(Second));
end;

function RunProcAsAdmin(const CommandLine: AnsiString): LongInt; overload;
begin
  Result := RunProcAsAdmin(PAnsiChar(CommandLine));
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
