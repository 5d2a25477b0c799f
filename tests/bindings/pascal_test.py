#!/usr/bin/env python3
"""The Pascal unit, built for real and run under Wine against velmora-devservice.

  pascal_test.py --arch {win32,win64} --cache DIR --bin BUILD/bin --wine scripts/wine-run.sh

Free Pascal from Debian's packages (fp-compiler, fp-utils, fpc-source) builds the i386 cross
compiler (win32 only) and the target's system unit once, in DIR; the rest of the run-time
library is compiled from the sources on first use. The test program is compiled in the objfpc
and the delphi mode, and each runs against its own service; the service's log must show the
texts the text overloads sent, whole, and nothing of the texts they refused. Then the test
helper in testing/ is built and run: it starts its own service and checks each of its calls.
Exits 77 (skipped) when the packages are missing.
"""
import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SKIPPED = 77
TARGETS = {"win32": ("i386", "win32"), "win64": ("x86_64", "win64")}


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        sys.exit("failed (%d): %s\n%s%s" % (done.returncode, " ".join(command), done.stdout[-3000:],
                                             done.stderr[-3000:]))
    return done.stdout


def free_pascal(cache, arch):
    """The compiler for the target and the options that find the run-time library's sources."""
    cpu, target = TARGETS[arch]
    sources = sorted(glob.glob("/usr/share/fpcsrc/*"))
    messages = sorted(glob.glob("/usr/lib/*/fpc/*/msg/errore.msg"))
    if not sources or not messages or not shutil.which("ppcx64") or not shutil.which("fpcmake"):
        print("WARNING: Free Pascal (fp-compiler, fp-utils, fpc-source) is not installed: the "
              "Pascal unit is NOT tested")
        sys.exit(SKIPPED)
    source = os.path.join(cache, "src")
    if not os.path.isdir(source):
        shutil.copytree(sources[-1], source + ".part")
        os.rename(source + ".part", source)
    compiler = shutil.which("ppcx64")
    if cpu == "i386":
        # The i386 compiler, built by the x86_64 one; Debian's source lacks the message file.
        compiler = os.path.join(source, "compiler", "ppc386")
        if not os.path.exists(compiler):
            started = time.time()
            os.makedirs(os.path.join(source, "compiler", "msg"), exist_ok=True)
            shutil.copy(messages[-1], os.path.join(source, "compiler", "msg"))
            run(["fpcmake", "-Tall"], cwd=os.path.join(source, "compiler"))
            subprocess.run(["make", "PPC_TARGET=i386", "FPC=" + shutil.which("ppcx64")],
                           cwd=os.path.join(source, "compiler"), capture_output=True)
            if not os.path.exists(compiler):
                sys.exit("the i386 Free Pascal compiler was not built")
            print("built the i386 Free Pascal compiler in %.0f s" % (time.time() - started))
    rtl = os.path.join(source, "rtl")
    folders = [target, "win", "win/wininc", "objpas", "objpas/sysutils", "objpas/classes", "inc",
               cpu]
    options = ["-T" + target, "-O2"] + ["-Fu" + os.path.join(rtl, f) for f in folders] + \
              ["-Fi" + os.path.join(rtl, f) for f in folders]
    # The system unit, then the units a program with SysUtils needs, each in the run-time
    # library's own mode (a program's -M would otherwise reach them too).
    units = os.path.join(cache, "units-" + arch)
    if not os.path.exists(os.path.join(units, "sysutils.ppu")):
        os.makedirs(units, exist_ok=True)
        run([compiler, "-Us", "-Sg", "-FU" + units] + options +
            [os.path.join(rtl, target, "system.pp")])
        prelude = os.path.join(units, "prelude.pas")
        with open(prelude, "w") as f:
            f.write("program prelude;\nuses SysUtils;\nbegin\nend.\n")
        run([compiler, "-FU" + units, "-FE" + units] + options + [prelude])
    return compiler, options, units


def serve_and_run(args, program, work):
    """Runs the program against a new service; returns its output and the requests the
    service journaled."""
    log = os.path.join(work, os.path.basename(program) + ".jsonl")
    console = os.path.join(work, "service.txt")
    with open(console, "wb") as out:
        service = subprocess.Popen([args.wine, os.path.join(args.bin, "velmora-devservice.exe"),
                                    "--log", log], stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline = time.time() + 60
        while "serving" not in open(console, errors="replace").read():
            if time.time() > deadline or service.poll() is not None:
                sys.exit("the development service did not start: " + open(console).read())
            time.sleep(0.1)
        done = subprocess.run([args.wine, program], capture_output=True, text=True, timeout=300)
    finally:
        service.send_signal(2)
        service.wait(timeout=30)
    with open(log, encoding="utf-8") as lines:
        entries = [json.loads(line) for line in lines]
    return done, [entry for entry in entries if entry["event"] == "request"]


def run_helper_test(args, compiler, options, units, work):
    """The test helper in testing/, built in the delphi mode and run against the service it
    starts itself; returns 1 when a check failed."""
    helper_units = os.path.join(work, "units-helper")
    shutil.copytree(units, helper_units)
    program = os.path.join(work, "devservice_helper_test.exe")
    run([compiler, "-Mdelphi", "-Fu" + os.path.join(ROOT, "bindings"),
         "-Fu" + os.path.join(ROOT, "testing"), "-FU" + helper_units, "-o" + program] + options +
        [os.path.join(ROOT, "tests", "testing", "devservice_helper_test.pas")])
    service = "Z:" + os.path.abspath(os.path.join(args.bin, "velmora-devservice.exe"))
    done = subprocess.run([args.wine, program, service.replace("/", "\\")],
                          capture_output=True, text=True, timeout=300)
    checks = [line for line in done.stdout.splitlines() if line.startswith(("ok", "FAIL"))]
    print("== %s, the test helper\n%s" % (args.arch, "\n".join(checks)))
    if done.returncode != 0 or not checks:
        print("FAIL exit %d\n%s" % (done.returncode, done.stderr[-3000:]))
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(TARGETS), required=True)
    parser.add_argument("--cache", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--wine", required=True)
    args = parser.parse_args()
    os.makedirs(args.cache, exist_ok=True)
    compiler, options, units = free_pascal(args.cache, args.arch)

    failures = 0
    with tempfile.TemporaryDirectory(dir=args.cache) as work:
        shutil.copy(os.path.join(args.bin, "Velmora.dll"), work)
        for mode in ("objfpc", "delphi"):
            mode_units = os.path.join(work, "units-" + mode)
            shutil.copytree(units, mode_units)
            program = os.path.join(work, "velmora_test_%s.exe" % mode)
            run([compiler, "-M" + mode, "-Fu" + os.path.join(ROOT, "bindings"),
                 "-FU" + mode_units, "-o" + program] + options +
                [os.path.join(HERE, "velmora_test.pas")])
            done, logged = serve_and_run(args, program, work)
            print("== %s, {$mode %s}\n%s%s" % (args.arch, mode, done.stdout, done.stderr))
            names = [r["param"] for r in logged if r["command"] == "DeleteJobFileByName"]
            whole = ["C:\\tmp\\a b.txt", "C:\\tmp\\" + "w" * 40 + ".txt",
                     "C:\\tmp\\" + "n" * 200 + ".txt"]
            texts_whole = names == whole
            print("%s the texts arrived whole in the service's log" %
                  ("ok  " if texts_whole else "FAIL"), "" if texts_whole else names)
            # The texts the code page cannot carry sent nothing: no "?" in a name, no job 42.
            refused_unsent = not [r for r in logged if r["job"] == 42]
            print("%s a text refused for its characters sent no request" %
                  ("ok  " if refused_unsent else "FAIL"))
            failures += (done.returncode != 0) + (not texts_whole) + (not refused_unsent)
        failures += run_helper_test(args, compiler, options, units, work)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
