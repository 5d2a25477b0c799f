{ The Pascal unit against velmora-devservice (jobs 1..5, idle), run under Wine: every export's
  status, the last error of the two procedures, nVelmora, and texts through the text overloads,
  which refuse a character the ANSI code page lacks. Prints one line per check; exits 1 if any failed. The caller reads the service's
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

procedure ExpectRefused(const Name: UnicodeString; const What: string);
var
  Refused: Boolean;
begin
  Refused := False;
  try
    DeleteJobFileByName(Name);
  except
    on E: EVelmora do Refused := (E.Status = 1113) and (LongInt(GetLastOSError) = 1113);
  end;
  Expect(Refused, 'a text with ' + What + ' raises EVelmora 1113, also the last error');
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
  { A UTF-16 string goes through the text overload whole, not as one character. }
  Wide := 'C:\tmp\' + UnicodeString(StringOfChar('w', 40)) + '.txt';
  ExpectStatus(DeleteJobFileByName(Wide), 0, 'DeleteJobFileByName(UnicodeString)');
  { A character the ANSI code page lacks is refused before anything is sent: converted lossily
    it would reach the service as "?", a wildcard in a file deletion. }
  ExpectRefused(UnicodeString('C:\tmp\') + WideChar($4E2D) + '.txt', 'a CJK character');
  ExpectRefused(UnicodeString('C:\tmp\') + WideChar($D800), 'an unpaired surrogate');
  { A literal beside such a string still takes the strict way. }
  Wide := UnicodeString('C:\') + WideChar($4E2D);
  Raised := False;
  try
    StartSyncJob(42, 'C:\in', Wide);
  except
    on E: EVelmora do Raised := E.Status = 1113;
  end;
  Expect(Raised, 'StartSyncJob(literal, a text it cannot carry) raises, sends nothing');
  Raised := False;
  try
    StartSyncJob(42, Wide, 'C:\out');
  except
    on E: EVelmora do Raised := E.Status = 1113;
  end;
  Expect(Raised, 'StartSyncJob(a text it cannot carry, literal) raises, sends nothing');
  LongName := 'C:\tmp\' + StringOfChar('n', 200) + '.txt';
  ExpectStatus(DeleteJobFileByName(LongName), 0, 'DeleteJobFileByName(long AnsiString)');
  ExpectStatus(StartMigJob(40, 'C:\mig.cfg'), 0, 'StartMigJob(40, text)');
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
