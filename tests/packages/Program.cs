// Uses the binding the package compiles in; built for each platform, not run (no .NET here).
using System;
using VelmoraInterop;

static class Program
{
    static int Main()
    {
        int status = Velmora.StartJob(5);
#if USE_TESTING
        // The test helper, compiled in by Velmora.Testing; the service lies beside the program.
        string service = System.IO.Path.Combine(AppDomain.CurrentDomain.BaseDirectory,
                                                "velmora-devservice.exe");
        if (status == 99) VelmoraDevService.Start(service).Dispose();
#endif
#if CALL_START_MIG_JOB
        status = Velmora.StartMigJob(5, "x");  // edition 3 only
#endif
        Console.WriteLine("StartJob(5): " + status);
        return status;
    }
}
