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
// Each call is one line on the service's control pipe and waits for its answer, at most
// `answerMs`; Apply returns once the rules are in force. A refusal throws
// VelmoraControlException with the service's reason. Dispose stops the service, even when a test
// failed. The service's console goes to a file in the temporary folder (ConsolePath, named in
// every failure), or to the test's own output with consoleToOutput. Answers come back as their
// JSON text, for the test's own JSON reader; .NET Framework 4 and later, no other assembly.
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
    // The longest answer line taken: the service's whole memory journal fits.
    private const int MaxAnswer = 256 << 20;

    private readonly Process process;
    private readonly NamedPipeClientStream pipe;
    private readonly StreamWriter console;
    private readonly int answerMs;
    private readonly string pipeName;
    private readonly MemoryStream pending = new MemoryStream();
    private bool consoleClosed;

    // Where the service's console goes; null when it goes to the test's output.
    public string ConsolePath { get; private set; }

    // The session's number, as the journal's lines name it; 0 for the service itself.
    public long SessionId { get; private set; }

    private VelmoraDevService(Process process, NamedPipeClientStream pipe, StreamWriter console,
                              string consolePath, int answerMs, string pipeName)
    {
        this.process = process;
        this.pipeName = pipeName;
        this.pipe = pipe;
        this.console = console;
        this.ConsolePath = consolePath;
        this.answerMs = answerMs;
    }

    // Starts the service with its control pipe named `pipeName` (under \\.\pipe\) and waits
    // until it answers, as the process it started: another service on that name is refused.
    public static VelmoraDevService Start(string exe, string arguments = "",
                                          string pipeName = DefaultPipe, int startMs = 10000,
                                          int answerMs = 30000, bool consoleToOutput = false)
    {
        var info = new ProcessStartInfo(exe, "--control \"" + pipeName + "\" " + arguments);
        info.UseShellExecute = false;
        string consolePath = null;
        StreamWriter console = null;
        if (!consoleToOutput)
        {
            consolePath = Path.Combine(Path.GetTempPath(),
                                       "velmora-devservice-" + Guid.NewGuid().ToString("N") + ".log");
            console = new StreamWriter(consolePath, false, new UTF8Encoding(false));
            console.AutoFlush = true;
            info.RedirectStandardOutput = true;
            info.RedirectStandardError = true;
        }
        Process process = Process.Start(info);
        var pipe = new NamedPipeClientStream(".", pipeName, PipeDirection.InOut,
                                             PipeOptions.Asynchronous);
        var service = new VelmoraDevService(process, pipe, console, consolePath, answerMs,
                                            pipeName);
        if (console != null)
        {
            process.OutputDataReceived += service.ToConsole;
            process.ErrorDataReceived += service.ToConsole;
            process.BeginOutputReadLine();
            process.BeginErrorReadLine();
        }
        try
        {
            try
            {
                pipe.Connect(startMs);
            }
            catch (TimeoutException)
            {
                throw new VelmoraControlException("velmora-devservice did not start: " + exe +
                                                  service.ConsoleNote());
            }
            string pid = Member(service.Call("{\"op\":\"ping\"}"), "pid");
            if (pid != process.Id.ToString())
            {
                throw new VelmoraControlException(
                    "another velmora-devservice (process " + pid + ") answers on " + pipeName +
                    ": give this one a control name of its own" + service.ConsoleNote());
            }
            return service;
        }
        catch
        {
            if (!process.HasExited) process.Kill();  // never left running
            service.End();
            throw;
        }
    }

    // Sends one control line (a JSON object) and returns the answer line; throws when refused.
    public string Call(string line)
    {
        byte[] bytes = Encoding.UTF8.GetBytes(OneLine(line) + "\n");
        pipe.EndWrite(Wait(pipe.BeginWrite(bytes, 0, bytes.Length, null, null)));
        string text = ReadLine();
        string ok = Member(text, "ok");
        if (ok == "true") return text;
        string error = Unquote(Member(text, "error"));
        throw new VelmoraControlException(ok != "false" || error == null
            ? "not understood: " + text.Substring(0, Math.Min(text.Length, 200)) : error);
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

    // The journal's lines from request `since` on: {"ok":true,"entries":[...],"next":n}.
    public string Journal(long since = 1)
    {
        return Call("{\"op\":\"journal\",\"since\":" + since + "}");
    }

    // `conditions` are verify's as JSON members, "\"export\":\"StartJob\",\"count\":2";
    // true when the journal agrees.
    public bool Verify(string conditions)
    {
        return Member(Call("{\"op\":\"verify\"," + conditions + "}"), "agrees") == "true";
    }

    // A session on a connection of its own: its Apply, Reset, Journal and Verify act on the
    // rules, jobs and journal of `processId` (0: this process) and every process it starts,
    // whatever other tests do at once. Disposing it ends the session; busy and absent are
    // refused in a session, as they act on the whole pipe.
    public VelmoraDevService Session(int processId = 0)
    {
        var connection = new NamedPipeClientStream(".", pipeName, PipeDirection.InOut,
                                                   PipeOptions.Asynchronous);
        var session = new VelmoraDevService(null, connection, null, null, answerMs, pipeName);
        try
        {
            connection.Connect(answerMs);
            string answer = session.Call(processId == 0
                ? "{\"op\":\"session\"}"
                : "{\"op\":\"session\",\"process\":" + processId + "}");
            session.SessionId = long.Parse(Member(answer, "session"));
            return session;
        }
        catch
        {
            connection.Dispose();
            throw;
        }
    }

    public void Dispose()
    {
        if (process == null)
        {
            pipe.Dispose();  // a session's connection: closing it ends the session
            return;
        }
        try
        {
            Call("{\"op\":\"stop\"}");
        }
        catch (Exception e)
        {
            if (!(e is IOException || e is VelmoraControlException ||
                  e is ObjectDisposedException)) throw;
        }
        End();
    }

    // The raw text of the top-level member `name` of a JSON object on one line ("true", "12",
    // "\"text\"", "{...}"), whatever the order of its members; null when it has none.
    public static string Member(string json, string name)
    {
        int at = json.IndexOf('{');
        if (at < 0) return null;
        for (++at;;)
        {
            while (at < json.Length && json[at] == ' ') ++at;
            if (at >= json.Length || json[at] != '"') return null;
            int keyEnd = SkipValue(json, at);
            string key = Unquote(json.Substring(at, keyEnd - at));
            int value = keyEnd;
            while (value < json.Length && (json[value] == ' ' || json[value] == ':')) ++value;
            int valueEnd = SkipValue(json, value);
            if (key == name) return json.Substring(value, valueEnd - value);
            at = valueEnd;
            while (at < json.Length && json[at] == ' ') ++at;
            if (at >= json.Length || json[at] != ',') return null;
            ++at;
        }
    }

    // A JSON string token unescaped; null when it is no string.
    public static string Unquote(string token)
    {
        if (token == null || token.Length < 2 || token[0] != '"') return null;
        var value = new StringBuilder();
        for (int at = 1; at + 1 < token.Length; ++at)
        {
            char c = token[at];
            if (c != '\\') { value.Append(c); continue; }
            char escaped = token[++at];
            if (escaped == 'n') value.Append('\n');
            else if (escaped == 't') value.Append('\t');
            else if (escaped == 'r') value.Append('\r');
            else if (escaped == 'u' && at + 4 < token.Length)
            {
                value.Append((char)Convert.ToInt32(token.Substring(at + 1, 4), 16));
                at += 4;
            }
            else value.Append(escaped);
        }
        return value.ToString();
    }

    // Where a value (string, number, literal, object or list) starting at `at` ends.
    private static int SkipValue(string text, int at)
    {
        int depth = 0;
        bool inString = false;
        for (; at < text.Length; ++at)
        {
            char c = text[at];
            if (inString)
            {
                if (c == '\\') ++at;
                else if (c == '"')
                {
                    inString = false;
                    if (depth == 0) return at + 1;
                }
            }
            else if (c == '"') inString = true;
            else if (c == '{' || c == '[') ++depth;
            else if (c == '}' || c == ']')
            {
                if (depth == 0) return at;
                if (--depth == 0) return at + 1;
            }
            else if (depth == 0 && (c == ',' || c == ' ')) return at;
        }
        return at;
    }

    private string ReadLine()
    {
        var chunk = new byte[65536];
        for (;;)
        {
            byte[] held = pending.ToArray();
            int end = Array.IndexOf(held, (byte)'\n');
            if (end >= 0)
            {
                pending.SetLength(0);
                pending.Write(held, end + 1, held.Length - end - 1);
                return Encoding.UTF8.GetString(held, 0, end);
            }
            if (held.Length > MaxAnswer)
            {
                throw new VelmoraControlException("the service's answer runs past " + MaxAnswer +
                                                  " bytes without a line end");
            }
            int read = pipe.EndRead(Wait(pipe.BeginRead(chunk, 0, chunk.Length, null, null)));
            if (read == 0)
            {
                throw new VelmoraControlException(
                    "the service closed the control pipe without answering" + ConsoleNote());
            }
            pending.Write(chunk, 0, read);
        }
    }

    // Waits at most answerMs for one write or read; past it, the connection is given up.
    private IAsyncResult Wait(IAsyncResult io)
    {
        if (!io.AsyncWaitHandle.WaitOne(answerMs))
        {
            pipe.Dispose();
            throw new VelmoraControlException("the service did not answer within " + answerMs +
                                              " ms" + ConsoleNote());
        }
        return io;
    }

    // A line of the service's console, written to its file until the file is closed.
    private void ToConsole(object sender, DataReceivedEventArgs line)
    {
        if (line.Data == null) return;
        lock (console)
        {
            if (!consoleClosed) console.WriteLine(line.Data);
        }
    }

    private string ConsoleNote()
    {
        return ConsolePath == null ? "" : " (its console: " + ConsolePath + ")";
    }

    private void End()
    {
        pipe.Dispose();
        if (!process.HasExited && !process.WaitForExit(10000)) process.Kill();
        process.WaitForExit();
        process.Dispose();
        if (console == null) return;
        lock (console)
        {
            consoleClosed = true;
            console.Dispose();
        }
    }

    private static string Flag(bool value) { return value ? "true" : "false"; }

    // A JSON text on one line: a line end can stand only between its tokens.
    private static string OneLine(string json)
    {
        return json.Replace("\r", " ").Replace("\n", " ");
    }
}
