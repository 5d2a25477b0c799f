// Uses the binding the package compiles in; built for each platform, not run (no .NET here).
using System;
using VelmoraInterop;

static class Program
{
    static int Main()
    {
        int status = Velmora.StartJob(5);
        Console.WriteLine("StartJob(5): " + status);
        return status;
    }
}
