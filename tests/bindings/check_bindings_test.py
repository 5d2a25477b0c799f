#!/usr/bin/env python3
"""The drift check against bindings broken on purpose: each row changes one shipped binding and
names what the check must then report; the shipped bindings must pass."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_bindings  # noqa: E402

# file, text replaced, its replacement, a part of the problem reported
BROKEN = [
    ("Velmora.pas", "function StartJob(Job: LongInt): LongInt; cdecl; external VelmoraDll name "
     "'StartJob';", "", "StartJob is missing"),
    ("Velmora.pas", "function CancelJob(Job: LongInt): LongInt; cdecl;",
     "function CancelJob(Job: LongInt): LongInt; stdcall;", "CancelJob: ((\'int\',), \'status\', "
     "\'stdcall\')"),
    ("Velmora.pas", "procedure StartJobOnBoot; cdecl;", "function StartJobOnBoot: LongInt; cdecl;",
     "StartJobOnBoot: ((), 'status'"),
    ("Velmora.pas", "function DeleteJobFile(Job: LongInt): LongInt; cdecl;",
     "function DeleteJobFile(Job: Integer): LongInt; cdecl;", "DeleteJobFile: (('Integer',)"),
    ("Velmora.pas", "function StartSyncJob(Job: LongInt; First, Second: PAnsiChar)",
     "function StartSyncJob(Job: LongInt; First: PAnsiChar)", "StartSyncJob: (('int', 'text'),"),
    ("Velmora.cs", "public static extern int RestartJob(int job);", "", "RestartJob is missing"),
    ("Velmora.cs", "CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,\n"
     "                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]"
     "\n        public static extern int DeleteJob(",
     "CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi,\n"
     "                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]"
     "\n        public static extern int DeleteJob(", "DeleteJob: (('int',), 'status', 'stdcall')"),
    ("Velmora.cs", "public static extern void SetProcessPriority(int priority);",
     "public static extern int SetProcessPriority(int priority);", "SetProcessPriority: (('int',), "
     "'status'"),
    ("Velmora.cs", "BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]\n"
     "        public static extern int RunProcAsAdmin(",
     "SetLastError = true)]\n        public static extern int RunProcAsAdmin(",
     "without BestFitMapping = false, ThrowOnUnmappableChar = true"),
    ("velmora.py", '    "DeleteJobProfile": ((INT,), INT),\n', "", "DeleteJobProfile is missing"),
    ("velmora.py", '"StartJobOnBoot": ((), None)', '"StartJobOnBoot": ((), INT)',
     "StartJobOnBoot: ((), 'status'"),
    ("velmora.py", "ctypes.CDLL(path", "ctypes.WinDLL(path", "'stdcall')"),
]


class DriftCheck(unittest.TestCase):
    def test_the_shipped_bindings_pass(self):
        self.assertEqual(check_bindings.check(check_bindings.ROOT, compile_csharp=False), 0)

    def test_each_broken_binding_is_reported(self):
        for name, old, new, problem in BROKEN:
            with self.subTest(name=name, problem=problem), tempfile.TemporaryDirectory() as root:
                shutil.copytree(os.path.join(check_bindings.ROOT, "bindings"),
                                os.path.join(root, "bindings"))
                shutil.copytree(os.path.join(check_bindings.ROOT, "include"),
                                os.path.join(root, "include"))
                path = os.path.join(root, "bindings", name)
                text = check_bindings.read(path)
                self.assertIn(old, text)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text.replace(old, new, 1))
                header = check_bindings.header_exports(
                    check_bindings.read(os.path.join(root, "include", "velmora.h")))
                reader = {"Velmora.pas": lambda p: check_bindings.pascal_exports(
                              check_bindings.read(p)),
                          "Velmora.cs": lambda p: check_bindings.csharp_exports(
                              check_bindings.read(p)),
                          "velmora.py": check_bindings.python_exports}[name]
                problems = "\n".join(check_bindings.drift(header, reader(path)))
                self.assertIn(problem, problems)


if __name__ == "__main__":
    unittest.main(verbosity=2)
