// Holds velmora-devservice from a C# test suite (xunit, NUnit, MSTest) on Windows:
//
//   using (var service = VelmoraDevService.Start(@"C:\velmora\bin\velmora-devservice.exe"))
//   {
//       service.Apply("{\"rules\": [{\"match\": {\"job\": 5}, \"do\": \"reply\", \"status\": 1460}]}");
//       // ... StartJob(5) through Velmora.cs returns 1460 ...
//       Assert.True(service.Verify("\"export\":\"StartJob\",\"job\":5,\"count\":1"));
//       service.Reset();
//   }
//
// Each call is one line on the service's control pipe and waits for its answer; Apply returns
// once the rules are in force. A refusal throws VelmoraControlException with the service's
// reason. Dispose stops the service, even when a test failed. Answers come back as their JSON
// text, for the test's own JSON reader; .NET Framework 4 and later, no other assembly.
using System;
using System.Diagnostics;
using System.IO;
using System.IO.Pipes;
using System.Text;

public sealed class VelmoraControlException : Exception
{
    public VelmoraControlException(string message) : base(message) { }
}

public sealed class VelmoraDevService : IDisposable
{
    public const string DefaultPipe = "velmora-devservice";

    private readonly Process process;
    private readonly NamedPipeClientStream pipe;

    private VelmoraDevService(Process process, NamedPipeClientStream pipe)
    {
        this.process = process;
        this.pipe = pipe;
    }

    // Starts the service with its control pipe named `pipeName` (under \\.\pipe\) and waits
    // until it answers.
    public static VelmoraDevService Start(string exe, string arguments = "",
                                          string pipeName = DefaultPipe, int startMs = 10000)
    {
        var info = new ProcessStartInfo(exe, "--control " + pipeName + " " + arguments);
        info.UseShellExecute = false;
        Process process = Process.Start(info);
        var pipe = new NamedPipeClientStream(".", pipeName, PipeDirection.InOut);
        try
        {
            pipe.Connect(startMs);
        }
        catch (TimeoutException)
        {
            if (!process.HasExited) process.Kill();
            pipe.Dispose();
            throw new VelmoraControlException("velmora-devservice did not start: " + exe);
        }
        var service = new VelmoraDevService(process, pipe);
        service.Call("{\"op\":\"ping\"}");
        return service;
    }

    // Sends one control line (a JSON object) and returns the answer line; throws when refused.
    public string Call(string line)
    {
        byte[] bytes = Encoding.UTF8.GetBytes(OneLine(line) + "\n");
        pipe.Write(bytes, 0, bytes.Length);
        var answer = new MemoryStream();
        for (int b = pipe.ReadByte(); b != '\n'; b = pipe.ReadByte())
        {
            if (b < 0) throw new VelmoraControlException("the service closed the control pipe");
            answer.WriteByte((byte)b);
        }
        string text = Encoding.UTF8.GetString(answer.ToArray());
        if (text.StartsWith("{\"ok\":true")) return text;
        const string error = "\"error\":\"";
        int at = text.IndexOf(error, StringComparison.Ordinal);
        throw new VelmoraControlException(
            at < 0 ? "not understood: " + text
                   : text.Substring(at + error.Length).TrimEnd('}').TrimEnd('"'));
    }

    public string Ping() { return Call("{\"op\":\"ping\"}"); }

    // `rulesJson` is a rules file's content; returns once the rules are in force.
    public string Apply(string rulesJson)
    {
        return Call("{\"op\":\"apply\",\"rules\":" + rulesJson + "}");
    }

    public void Reset(bool rules = true, bool jobs = true, bool journal = true)
    {
        Call("{\"op\":\"reset\",\"rules\":" + Flag(rules) + ",\"jobs\":" + Flag(jobs) +
             ",\"journal\":" + Flag(journal) + "}");
    }

    // The journal's entries numbered `since` or later: {"ok":true,"entries":[...],"next":n}.
    public string Journal(long since = 1)
    {
        return Call("{\"op\":\"journal\",\"since\":" + since + "}");
    }

    // `conditions` are verify's as JSON members, "\"export\":\"StartJob\",\"count\":2";
    // true when the journal agrees.
    public bool Verify(string conditions)
    {
        return Call("{\"op\":\"verify\"," + conditions + "}").Contains("\"agrees\":true");
    }

    public void Dispose()
    {
        try
        {
            Call("{\"op\":\"stop\"}");
        }
        catch (Exception e)
        {
            if (!(e is IOException || e is VelmoraControlException)) throw;
        }
        pipe.Dispose();
        if (!process.WaitForExit(10000)) process.Kill();
        process.Dispose();
    }

    private static string Flag(bool value) { return value ? "true" : "false"; }

    // A JSON text on one line: a line end can stand only between its tokens.
    private static string OneLine(string json)
    {
        return json.Replace("\r", " ").Replace("\n", " ");
    }
}
