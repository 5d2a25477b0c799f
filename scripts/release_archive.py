#!/usr/bin/python3
"""Makes and checks a release archive (Debian's python3, for python3-pefile).

usage: release_archive.py make STAGE ARCHIVE --epoch SECONDS
       release_archive.py check ARCHIVE --build BUILD --machine {i386,amd64} [--ca-file PEM]

make writes STAGE/SHA256SUMS and zips STAGE under its own name, the same bytes from the same
files: entries in name order, every time SOURCE_DATE_EPOCH's, fixed permissions; and beside the
archive ARCHIVE.sha256, so that the download can be checked before it is unpacked.
check says whether the archive holds what a user needs, its checksums hold (inside and beside
it), its README is the one written for its bitness, its notices name every library compiled
into its programs, every image passes the hardening and start-up rules, its DLLs and PDBs are
the tested files (a signature aside), and its images are signed (and verify against PEM) or,
without --ca-file, unsigned.
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

import pefile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHECK_DLL = os.path.join(ROOT, "tests", "deliverables", "check_dll.py")
SUMS = "SHA256SUMS"
WANTED = ["README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt", "CHANGELOG.md", "RULES.md",
          "rules.schema.json", SUMS,
          "include/velmora.h",
          "bin/jobctl.exe", "bin/velmora-devservice.exe", "lib/cmake/Velmora/VelmoraConfig.cmake",
          "lib/cmake/Velmora/VelmoraConfigVersion.cmake", "bindings/Velmora.pas",
          "bindings/Velmora.cs", "bindings/velmora.py", "examples/rules/retry.json",
          "examples/rules/outage.json", "examples/rules/broken-replies.json",
          "examples/rules/busy-first-two.json", "testing/velmora_devservice.py",
          "testing/VelmoraDevService.cs", "testing/velmora_devservice.hpp",
          "testing/VelmoraDevService.pas", "examples/testing/nightly_job_test.cpp",
          "examples/hosts/basic_call.c", "examples/hosts/bounded_call.c",
          "examples/hosts/retry_call.c", "examples/sweep/careless_host.c",
          "examples/sweep/careful_host.c", "share/velmora/report.html.mustache"]
for _edition, _sub in ((3, ""), (2, "edition2/")):
    WANTED += ["bin/%sVelmora.dll" % _sub, "bin/%sVelmora.pdb" % _sub, "lib/%sVelmora.lib" % _sub,
               "lib/%slibVelmora.dll.a" % _sub, "lib/%sVelmora.def" % _sub,
               "lib/cmake/Velmora/VelmoraEdition%dTargets.cmake" % _edition]
# The installed files that are the very files the tests checked.
TESTED = {"bin/Velmora.dll": "edition3/Velmora.dll", "bin/Velmora.pdb": "edition3/Velmora.pdb",
          "bin/edition2/Velmora.dll": "edition2/Velmora.dll",
          "bin/edition2/Velmora.pdb": "edition2/Velmora.pdb"}
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
NOTICES = "THIRD-PARTY-NOTICES.txt"
# What the tools carry of others' code, by the name its notice goes under: the runtime linked
# into them, and each header-only library the build compiles in, by the folder CMake linked into
# BUILD/third_party/include for it. A folder that is not listed here fails the check until its
# notice is written and it is added.
RUNTIME_NOTICES = ["winpthreads", "mingw-w64 C runtime", "GCC runtime libraries"]
HEADER_ONLY_NOTICES = {"CLI": "CLI11", "nlohmann": "nlohmann-json", "boost": "Boost.Regex",
                       "kainjow": "Mustache"}
# What a README written for one bitness must not say.
OTHER_BITNESS_WORDS = {
    "i386": ["x86_64-w64-mingw32", "vcvarsall x64", "PlatformTarget>x64", "a 64-bit Python",
             "must be 64-bit"],
    "amd64": ["i686-w64-mingw32", "vcvarsall x86", "PlatformTarget>x86", "a 32-bit Python",
              "must be 32-bit"]}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def make(stage, archive, epoch):
    files = sorted(os.path.relpath(os.path.join(d, f), stage).replace(os.sep, "/")
                   for d, _, names in os.walk(stage) for f in names if f != SUMS)
    with open(os.path.join(stage, SUMS), "w", newline="\n") as sums:
        for name in files:
            with open(os.path.join(stage, name), "rb") as f:
                sums.write("%s  %s\n" % (sha256(f.read()), name))
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip cannot say a time before 1980
    top = os.path.basename(os.path.normpath(stage))
    with zipfile.ZipFile(archive + ".part", "w", zipfile.ZIP_DEFLATED) as zip_file:
        for name in sorted(files + [SUMS]):
            entry = zipfile.ZipInfo(top + "/" + name, stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            executable = name.endswith((".exe", ".dll"))
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            with open(os.path.join(stage, name), "rb") as f:
                zip_file.writestr(entry, f.read())
    os.replace(archive + ".part", archive)
    with open(archive, "rb") as f:
        digest = sha256(f.read())
    with open(archive + ".sha256", "w", newline="\n") as f:
        f.write("%s  %s\n" % (digest, os.path.basename(archive)))


def compiled_in(build):
    """The notice names of what the build compiles into the tools, and the header-only
    libraries it found no notice name for."""
    folder = os.path.join(build, "third_party", "include")
    libraries = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    names = RUNTIME_NOTICES + [HEADER_ONLY_NOTICES[f] for f in libraries
                               if f in HEADER_ONLY_NOTICES]
    return names, [f for f in libraries if f not in HEADER_ONLY_NOTICES]


def signature_size(data):
    return pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].Size


def without_signature(data):
    """The image as it was before signing: no certificate table, no checksum."""
    pe = pefile.PE(data=data, fast_load=True)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    end = directory.VirtualAddress or len(data)
    directory.VirtualAddress = directory.Size = 0
    pe.OPTIONAL_HEADER.CheckSum = 0
    return pe.write()[:end].rstrip(b"\0")


def check(args):
    failures = []

    def expect(ok, what, detail=""):
        print("%s %s%s" % ("ok  " if ok else "FAIL", what, (": " + detail) if not ok else ""))
        if not ok:
            failures.append(what)

    top = os.path.basename(args.archive)[:-len(".zip")] + "/"
    with zipfile.ZipFile(args.archive) as zip_file:
        files = {n[len(top):]: zip_file.read(n) for n in zip_file.namelist() if n.startswith(top)}
        expect(len(files) == len(zip_file.namelist()), "every entry lies under %s" % top)
    missing = [n for n in WANTED if n not in files]
    expect(not missing, "holds the header, both editions with their PDBs and import libraries, "
           "the CMake package, the tools, the bindings, the example rules, the rules reference "
           "and schema, the test helpers, the notices, the "
           "changelog and the checksums", str(missing))
    expect(not [n for n in files if n.endswith(".debug")], "no DWARF files")
    written = os.path.join(args.build, "dist", "README.md")
    with open(written, "rb") if os.path.exists(written) else open(os.devnull, "rb") as f:
        expect(os.path.exists(written) and files.get("README.md") == f.read(),
               "README.md is the users' README of this build")
    readme = files.get("README.md", b"").decode()
    strays = [w for w in OTHER_BITNESS_WORDS[args.machine] if w in readme]
    expect(os.path.basename(args.archive) in readme and not strays,
           "README.md is written for this archive's bitness",
           "names %s, or not %s" % (strays, os.path.basename(args.archive)))
    version = top.split("-")[1]
    changelog = files.get("CHANGELOG.md", b"").decode()
    release = re.search(r"^## \[(.*)\] - (\d{4}-\d\d-\d\d)$", changelog, re.M)
    expect(release and release.group(1) == version and "[Unreleased]" not in changelog,
           "CHANGELOG.md's newest section is headed by %s and its date" % version,
           changelog[:300])
    # A notice is a section: its heading is the line above a rule of dashes.
    lines = files.get(NOTICES, b"").decode().splitlines()
    headings = " | ".join(a for a, b in zip(lines, lines[1:]) if b.startswith("---"))
    names, unknown = compiled_in(args.build)
    unnamed = [n for n in names if n not in headings] + unknown
    expect(names and not unnamed, "%s names everything compiled into the tools" % NOTICES,
           "no notice for %s" % unnamed)
    beside = args.archive + ".sha256"
    with open(args.archive, "rb") as f:
        wanted_line = "%s  %s\n" % (sha256(f.read()), os.path.basename(args.archive))
    expect(os.path.exists(beside) and open(beside).read() == wanted_line,
           "%s lies beside it and holds its digest" % os.path.basename(beside))

    sums = dict(reversed(line.split("  ", 1)) for line in files.get(SUMS, b"").decode().splitlines())
    expect(sorted(sums) == sorted(n for n in files if n != SUMS) and
           all(sha256(files[n]) == digest for n, digest in sums.items()),
           "SHA256SUMS lists every other file with its digest")

    for name, tested in TESTED.items():
        with open(os.path.join(args.build, tested), "rb") as f:
            built = f.read()
        if name.endswith(".dll"):
            same = without_signature(files.get(name, b"")) == without_signature(built)
        else:
            same = files.get(name) == built
        expect(same, "%s is the tested file" % name)

    images = sorted(n for n in files if n.endswith((".dll", ".exe")))
    with tempfile.TemporaryDirectory() as work:
        paths = []
        for name in images:
            paths.append(os.path.join(work, name.replace("/", "_")))
            with open(paths[-1], "wb") as f:
                f.write(files[name])
        rules = subprocess.run([sys.executable, CHECK_DLL, "--rules-only", "--machine",
                                args.machine] + paths, capture_output=True, text=True)
        expect(rules.returncode == 0, "every image passes the hardening and start-up rules",
               "\n" + rules.stdout)
        for name, path in zip(images, paths):
            signed = signature_size(files[name]) > 0
            if args.ca_file:
                verify = subprocess.run(["osslsigncode", "verify", "-CAfile", args.ca_file,
                                         "-in", path], capture_output=True, text=True)
                expect(signed and verify.returncode == 0, "%s: signature verifies" % name,
                       verify.stdout[-400:] + verify.stderr[-400:])
            else:
                expect(not signed, "%s: unsigned" % name)
    print("%s: %s" % (args.archive, "%d check(s) failed" % len(failures) if failures
                      else "all checks passed"))
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    make_args = commands.add_parser("make")
    make_args.add_argument("stage")
    make_args.add_argument("archive")
    make_args.add_argument("--epoch", type=int, required=True)
    check_args = commands.add_parser("check")
    check_args.add_argument("archive")
    check_args.add_argument("--build", required=True)
    check_args.add_argument("--machine", choices=("i386", "amd64"), required=True)
    check_args.add_argument("--ca-file")
    args = parser.parse_args()
    if args.command == "make":
        make(args.stage, args.archive, args.epoch)
        return 0
    return check(args)


if __name__ == "__main__":
    sys.exit(main())
