// The C# test helper's answer reader, run by Mono: members found whatever their order, strings
// unescaped, and nothing taken from a nested object.
using System;

static class CsharpHelperTest
{
    static int Main()
    {
        string[][] rows =
        {
            // answer, member, its raw text (null: none)
            new[] { "{\"ok\":true,\"count\":2}", "count", "2" },
            new[] { "{\"count\":2, \"report\":\"a \\\"b\\\", c\",\"agrees\":true,\"ok\":true}", "ok", "true" },
            new[] { "{\"entries\":[{\"ok\":false},{\"x\":\"]\"}],\"ok\":true,\"next\":3}", "ok", "true" },
            new[] { "{\"entries\":[{\"ok\":false}],\"next\":3}", "ok", null },
            new[] { "{\"pid\":4242,\"ok\":true}", "pid", "4242" },
        };
        int failed = 0;
        foreach (string[] row in rows)
        {
            string got = VelmoraDevService.Member(row[0], row[1]);
            if (got == row[2]) continue;
            Console.WriteLine("FAIL: " + row[1] + " of " + row[0] + ": " + (got ?? "null"));
            ++failed;
        }
        string text = VelmoraDevService.Unquote("\"rule 2: \\u00e9 \\\"x\\\"\"");
        if (text != "rule 2: \u00e9 \"x\"")
        {
            Console.WriteLine("FAIL: unquoted as " + text);
            ++failed;
        }
        Console.WriteLine((rows.Length + 1 - failed) + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
