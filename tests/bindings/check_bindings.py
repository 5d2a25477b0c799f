#!/usr/bin/env python3
"""Reads each binding in bindings/ and compares it with the header's declarations: every export
present, with the header's argument types, return kind and calling convention (cdecl), and the
text options that keep the ANSI conversion strict. Then compiles the C# file for x86 and x64
with mcs, unless --no-compile.

  check_bindings.py [--root ROOT] [--no-compile]

Prints one line per binding and problem; exits 1 if any binding drifted.
"""
import argparse
import importlib.util
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def header_exports(text):
    """{name: (argument kinds, return kind, convention)} from the public header."""
    convention = re.search(r"#define VELMORA_CALL __(\w+)", text).group(1)
    exports = {}
    for result, name, arguments in re.findall(
            r"VELMORA_IMPORT\s+(int|void)\s+VELMORA_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        kinds = tuple("text" if "char" in a else "int" for a in arguments.split(",")
                      if a.strip() not in ("", "void"))
        exports[name] = (kinds, "status" if result == "int" else "none", convention)
    return exports


PASCAL_TYPES = {"longint": "int", "pansichar": "text"}


def pascal_exports(text):
    """The external declarations of the Pascal unit, by the name they import."""
    exports = {}
    for kind, _, parameters, result, directives, imported in re.findall(
            r"\b(function|procedure)\s+(\w+)\s*(?:\(([^)]*)\))?\s*(?::\s*(\w+))?\s*;"
            r"((?:\s*\w+\s*;)*?)\s*external\s+VelmoraDll\s+name\s+'(\w+)'\s*;", text, re.I):
        kinds = []
        for group in filter(None, (g.strip() for g in parameters.split(";"))):
            names, _, type_name = group.partition(":")
            kinds += [PASCAL_TYPES.get(type_name.strip().lower(), type_name.strip())] * \
                len(names.split(","))
        words = {w.strip().lower() for w in directives.split(";") if w.strip()}
        conventions = words & {"cdecl", "stdcall", "register", "pascal", "safecall"}
        returns = "none" if kind.lower() == "procedure" else (
            "status" if result.lower() == "longint" else result)
        exports[imported] = (tuple(kinds), returns, "/".join(sorted(conventions)) or "register")
    return exports


CSHARP_TYPES = {"int": "int", "string": "text"}
CSHARP_STRICT = ["CharSet = CharSet.Ansi", "BestFitMapping = false",
                 "ThrowOnUnmappableChar = true", "SetLastError = true"]


def csharp_exports(text):
    """The P/Invoke declarations of Velmora.dll (DllImport(Dll, ...)) in the C# file."""
    exports = {}
    for attributes, result, name, parameters in re.findall(
            r"\[DllImport\((Dll\b[^\]]*)\)\]\s*(?:public\s+|internal\s+)?static\s+extern\s+"
            r"(\w+)\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        kinds = tuple(CSHARP_TYPES.get(p.split()[0], p.split()[0]) for p in parameters.split(",")
                      if p.strip())
        convention = re.search(r"CallingConvention\s*=\s*CallingConvention\.(\w+)", attributes)
        convention = convention.group(1).lower() if convention else "winapi"
        lax = [option for option in CSHARP_STRICT if option not in " ".join(attributes.split())]
        if lax:
            convention += " without " + ", ".join(lax)
        returns = {"int": "status", "void": "none"}.get(result, result)
        exports[name] = (kinds, returns, convention)
    return exports


def python_exports(path):
    """The Python module's export table, read by importing the module; its convention is the
    ctypes loader it uses."""
    spec = importlib.util.spec_from_file_location("velmora_binding", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    with open(path) as f:
        source = f.read()
    convention = "cdecl" if "ctypes.CDLL(" in source and not re.search(
        r"WinDLL|windll|OleDLL|oledll", source) else "stdcall"
    kinds = {module.ctypes.c_int: "int", module.ctypes.c_char_p: "text"}
    exports = {}
    for name, (arguments, result) in module.EXPORTS.items():
        returns = "none" if result is None else ("status" if result is module.ctypes.c_int
                                                 else str(result))
        exports[name] = (tuple(kinds.get(a, str(a)) for a in arguments), returns, convention)
    return exports


def drift(header, binding):
    """What the binding gets wrong against the header, one line each."""
    problems = ["%s is missing" % n for n in sorted(set(header) - set(binding))]
    problems += ["%s is not in the header" % n for n in sorted(set(binding) - set(header))]
    for name in sorted(set(header) & set(binding)):
        if header[name] != binding[name]:
            problems.append("%s: %s (arguments, return, convention), the header says %s" %
                            (name, binding[name], header[name]))
    return problems


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def check(root, compile_csharp):
    header = header_exports(read(os.path.join(root, "include", "velmora.h")))
    bindings = root + "/bindings/"
    found = {
        "Velmora.pas": pascal_exports(read(bindings + "Velmora.pas")),
        "Velmora.cs": csharp_exports(read(bindings + "Velmora.cs")),
        "velmora.py": python_exports(bindings + "velmora.py"),
    }
    failures = 0
    for name, exports in found.items():
        problems = drift(header, exports)
        print("%s %s: %d exports as the header declares them" %
              ("FAIL" if problems else "ok  ", name, len(header)))
        for problem in problems:
            print("       " + problem)
        failures += bool(problems)
    if compile_csharp:
        with tempfile.TemporaryDirectory() as work:
            for platform in ("x86", "x64"):
                done = subprocess.run(["mcs", "-target:library", "-platform:" + platform,
                                       "-warnaserror+", "-out:" + os.path.join(work, "V.dll"),
                                       bindings + "Velmora.cs"], capture_output=True, text=True)
                print("%s Velmora.cs compiles with mcs for %s" %
                      ("ok  " if done.returncode == 0 else "FAIL", platform))
                if done.returncode != 0:
                    print(done.stdout + done.stderr)
                    failures += 1
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=ROOT)
    parser.add_argument("--no-compile", action="store_true")
    args = parser.parse_args()
    return 1 if check(args.root, not args.no_compile) else 0


if __name__ == "__main__":
    sys.exit(main())
