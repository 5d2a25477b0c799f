{ The Pascal unit against velmora-devservice (jobs 1..5, idle), run under Wine: every export's
  status, the last error of the two procedures, nVelmora, and texts through the AnsiString
  overloads. Prints one line per check; exits 1 if any failed. The caller reads the service's
  log to see that the long text arrived whole. }
program velmora_test;

uses
  SysUtils, Velmora;

var
  Failures: Integer = 0;
  LongName: AnsiString;
  Wide: UnicodeString;
  Raised: Boolean;

procedure Expect(Ok: Boolean; const What: string);
begin
  if Ok then
    WriteLn('ok   ', What)
  else
  begin
    WriteLn('FAIL ', What);
    Inc(Failures);
  end;
end;

procedure ExpectStatus(Status, Wanted: LongInt; const Call: string);
begin
  Expect((Status = Wanted) and (LongInt(GetLastOSError) = Wanted),
         Format('%s returns %d, also as the last error (got %d, %d)',
                [Call, Wanted, Status, LongInt(GetLastOSError)]));
end;

begin
  Expect(SizeOf(LongInt) = 4, 'LongInt is 32 bits');
  ExpectStatus(StartScheduler, 0, 'StartScheduler');
  ExpectStatus(StopScheduler, 0, 'StopScheduler');
  ExpectStatus(StartJob(1), 0, 'StartJob(1)');
  ExpectStatus(StartJob(1), 5023, 'StartJob(1) again');
  ExpectStatus(CancelJob(1), 0, 'CancelJob(1)');
  ExpectStatus(RestartJob(1), 0, 'RestartJob(1)');
  ExpectStatus(CancelJob(1), 0, 'CancelJob(1) again');
  ExpectStatus(DeleteJob(1), 0, 'DeleteJob(1)');
  ExpectStatus(DeleteJob(1), 1168, 'DeleteJob(1) again');
  ExpectStatus(ChangeJobState(2, 0), 0, 'ChangeJobState(2, 0)');
  ExpectStatus(StartJob(2), 5023, 'StartJob(2) while disabled');
  ExpectStatus(ChangeJobState(2, 1), 0, 'ChangeJobState(2, 1)');
  StartJobOnBoot;
  ExpectStatus(LongInt(GetLastOSError), 0, 'StartJobOnBoot');
  DeleteJob(99);  { leaves 1168 as the last error, which the next call must replace }
  SetProcessPriority(-3);
  ExpectStatus(LongInt(GetLastOSError), 0, 'SetProcessPriority(-3)');
  ExpectStatus(DeleteJobFile(3), 0, 'DeleteJobFile(3)');
  ExpectStatus(DeleteJobProfile(3), 0, 'DeleteJobProfile(3)');
  ExpectStatus(DeleteJobFileByName(PAnsiChar('C:\tmp\a b.txt')), 0, 'DeleteJobFileByName(PAnsiChar)');
  { A UTF-16 string goes through the AnsiString overload whole, not as one character. }
  Wide := 'C:\tmp\' + UnicodeString(StringOfChar('w', 40)) + '.txt';
  ExpectStatus(DeleteJobFileByName(AnsiString(Wide)), 0, 'DeleteJobFileByName(AnsiString)');
  LongName := 'C:\tmp\' + StringOfChar('n', 200) + '.txt';
  ExpectStatus(DeleteJobFileByName(LongName), 0, 'DeleteJobFileByName(long AnsiString)');
  ExpectStatus(StartMigJob(40, 'C:\mig.cfg'), 0, 'StartMigJob(40, AnsiString)');
  ExpectStatus(StartSyncJob(41, AnsiString('a;b'), AnsiString('c|d')), 0,
               'StartSyncJob(41, AnsiString, AnsiString)');
  ExpectStatus(RunProcAsAdmin(AnsiString('notepad.exe /p x')), 0, 'RunProcAsAdmin(AnsiString)');
  Expect((nVelmora <> nil) and (nVelmora^ = 0), 'nVelmora is found by its decorated name, 0');
  Raised := False;
  try
    VelmoraCheck(DeleteJob(99));
  except
    on E: EVelmora do Raised := E.Status = 1168;
  end;
  Expect(Raised, 'VelmoraCheck raises EVelmora with the status 1168');
  Expect(VelmoraCheck(StartJob(3)) = 0, 'VelmoraCheck passes 0 through');
  if Failures > 0 then
    Halt(1);
end.
