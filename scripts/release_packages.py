#!/usr/bin/python3
"""The packages made from the two staged release folders, beside the zips:

  release_packages.py make --win32 STAGE --win64 STAGE --out DIR --version V --epoch SECONDS
  release_packages.py check --win32 STAGE --win64 STAGE --out DIR --version V

- Velmora.<V>.nupkg (edition 3) and Velmora.Edition2.<V>.nupkg, packed by NuGet: each
  architecture's DLL and PDB under runtimes/, the C# binding as source under contentFiles/,
  build/<id>.targets for .NET Framework projects and build/native/<id>.targets for Visual C++
  ones (the header, the import libraries);
- Velmora.Testing.<V>.nupkg: velmora-devservice.exe of each architecture under runtimes/, the C#
  test helper as source, the C++ one under build/native/include, and targets that copy the
  service of the program's platform beside it;
- velmora-<V>-py3-none-win32.whl and -win_amd64.whl (edition 3), built by setuptools' bdist_wheel:
  the Python module as the package "velmora" with the DLL beside it, and its test helper as
  velmora.testing with the service beside it.

Each package is the same bytes from the same sources: every entry carries the time of the
epoch, and the names NuGet draws at random are replaced by ones made from the content. `check`
reads each package back and compares its files with the staged ones.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NUGET_TEMPLATES = os.path.join(ROOT, "dist", "nuget")
ARCHES = {"win32": "x86", "win64": "x64"}
WHEEL_PLATFORMS = {"win32": "win32", "win64": "win_amd64"}
# Package id, the edition's folder inside the stage, and what its hosts must define.
NUGET_EDITIONS = [("Velmora", "", "", ""),
                  ("Velmora.Edition2", "edition2/", "VELMORA_EDITION=2;", ";VELMORA_EDITION2")]
DESCRIPTION = ("Velmora.dll, the library through which a program controls the jobs of the local "
               "scheduler service over the named pipe \\\\.\\pipe\\pipe_job.")


def nuget_layout(stages, edition_folder):
    """{path in the package: path of the staged file} for one edition."""
    layout = {}
    for build, arch in ARCHES.items():
        stage = stages[build]
        for name in ("Velmora.dll", "Velmora.pdb"):
            layout["runtimes/win-%s/native/%s" % (arch, name)] = os.path.join(
                stage, "bin", edition_folder + name)
        layout["build/native/lib/%s/Velmora.lib" % arch] = os.path.join(
            stage, "lib", edition_folder + "Velmora.lib")
    stage = stages["win64"]
    layout["build/native/include/velmora.h"] = os.path.join(stage, "include", "velmora.h")
    layout["contentFiles/cs/any/Velmora.cs"] = os.path.join(stage, "bindings", "Velmora.cs")
    layout["LICENSE.txt"] = os.path.join(stage, "LICENSE")
    layout["THIRD-PARTY-NOTICES.txt"] = os.path.join(stage, "THIRD-PARTY-NOTICES.txt")
    layout["CHANGELOG.md"] = os.path.join(stage, "CHANGELOG.md")
    return layout


TESTING_ID = "Velmora.Testing"


def testing_layout(stages):
    """{path in the package: path of the staged file} for Velmora.Testing."""
    layout = {}
    for build, arch in ARCHES.items():
        layout["runtimes/win-%s/native/velmora-devservice.exe" % arch] = os.path.join(
            stages[build], "bin", "velmora-devservice.exe")
    stage = stages["win64"]
    layout["build/native/include/velmora_devservice.hpp"] = os.path.join(
        stage, "testing", "velmora_devservice.hpp")
    layout["contentFiles/cs/any/VelmoraDevService.cs"] = os.path.join(
        stage, "testing", "VelmoraDevService.cs")
    for name in ("LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "CHANGELOG.md"):
        layout[name] = os.path.join(stage, "LICENSE" if name == "LICENSE.txt" else name)
    return layout


def nuget_packages(stages):
    """(id, layout, {targets file in the package: template file and its replacements}, title,
    what it holds) for each package."""
    packages = []
    for package_id, edition_folder, defines, csharp_defines in NUGET_EDITIONS:
        edition = "edition 2 (no StartMigJob, StartSyncJob or RunProcAsAdmin)" if edition_folder \
            else "edition 3"
        packages.append((
            package_id, nuget_layout(stages, edition_folder),
            {"build/%s.targets" % package_id:
                 ("csharp.targets", {"@VELMORA_CSHARP_DEFINES@": csharp_defines}),
             "build/native/%s.targets" % package_id:
                 ("native.targets", {"@VELMORA_DEFINES@": defines})},
            "Velmora (%s)" % edition,
            "%s This package holds %s for 32- and 64-bit processes: C# projects get the\n"
            "binding compiled in and the DLL of their platform copied beside the program; Visual "
            "C++\nprojects get the header, the import library and the DLL." % (DESCRIPTION,
                                                                             edition)))
    packages.append((
        TESTING_ID, testing_layout(stages),
        {"build/%s.targets" % TESTING_ID: ("testing-csharp.targets", {}),
         "build/native/%s.targets" % TESTING_ID: ("testing-native.targets", {})},
        "Velmora test tools",
        "velmora-devservice, the development service that a test suite drives over its control "
        "pipe, for 32- and 64-bit test programs: C# projects get the test helper compiled in, "
        "Visual C++\nprojects its header; both get the service of their platform copied beside "
        "the program. Add it beside the Velmora package."))
    return packages


def nuspec(package_id, version, title, holds, files):
    return """<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>%s</id>
    <version>%s</version>
    <title>%s</title>
    <authors>The Velmora developers</authors>
    <owners>The Velmora developers</owners>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <description>%s MIT licence (LICENSE.txt).</description>
    <copyright>Copyright (c) 2026 The Velmora developers</copyright>
    <tags>native scheduler jobs pipe</tags>
    <!-- contentFiles/cs/any/Velmora.cs needs no contentFiles entry: a .cs file is compiled by
         default. NuGet 2.8 knows no such element. -->
  </metadata>
  <files>
%s
  </files>
</package>
""" % (package_id, version, title, holds, "\n".join(
        '    <file src="%s" target="%s" />' % (name, os.path.dirname(name))
        for name in sorted(files)))


def normalized(raw, stamp):
    """The package's entries in name order, each stamped `stamp`, with NuGet's random names
    (the core-properties part, the relationship ids) replaced by ones drawn from the content."""
    with zipfile.ZipFile(raw) as package:
        entries = {n: package.read(n) for n in package.namelist()}
    properties = [n for n in entries if n.endswith(".psmdcp")]
    renames = {}
    for name in properties:
        # NuGet signs the part with the packing machine's kernel version: left out.
        entries[name] = re.sub(rb"(<lastModifiedBy>NuGet[^;<]*)[^<]*", rb"\1", entries[name])
        fixed = "package/services/metadata/core-properties/%s.psmdcp" % hashlib.sha256(
            entries[name]).hexdigest()[:32]
        renames[name] = fixed
    result = {}
    for name, data in entries.items():
        if name == "_rels/.rels":
            text = data.decode("utf-8")
            for old, new in renames.items():
                text = text.replace("/" + old, "/" + new)
            ids = iter(range(1000))
            text = re.sub(r'Id="[^"]*"', lambda _: 'Id="R%d"' % next(ids), text)
            data = text.encode("utf-8")
        result[renames.get(name, name)] = data
    out = raw + ".normalized"
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as package:
        for name in sorted(result):
            entry = zipfile.ZipInfo(name, stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            package.writestr(entry, result[name])
    return out


def make_nuget(stages, out, version, stamp):
    made = []
    for package_id, layout, targets, title, holds in nuget_packages(stages):
        with tempfile.TemporaryDirectory() as work:
            folder = os.path.join(work, "package")
            for name, source in layout.items():
                os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
                shutil.copyfile(source, os.path.join(folder, name))
            for name, (template, replacements) in targets.items():
                with open(os.path.join(NUGET_TEMPLATES, template)) as f:
                    text = f.read()
                for old, new in replacements.items():
                    text = text.replace(old, new)
                os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
                with open(os.path.join(folder, name), "w", newline="\n") as f:
                    f.write(text)
            spec = os.path.join(folder, package_id + ".nuspec")
            files = [os.path.relpath(os.path.join(d, n), folder).replace(os.sep, "/")
                     for d, _, names in os.walk(folder) for n in names]
            with open(spec, "w", newline="\n") as f:
                f.write(nuspec(package_id, version, title, holds, files))
            # Mono's NuGet wants a home of its own to write its settings in.
            env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=work)
            done = subprocess.run(["nuget", "pack", spec, "-OutputDirectory", work,
                                   "-NoPackageAnalysis", "-NonInteractive", "-NoDefaultExcludes"],
                                  cwd=folder, env=env, capture_output=True, text=True)
            raw = os.path.join(work, "%s.%s.nupkg" % (package_id, version))
            if done.returncode != 0 or not os.path.exists(raw):
                sys.exit("nuget pack failed:\n%s%s" % (done.stdout, done.stderr))
            target = os.path.join(out, os.path.basename(raw))
            os.replace(normalized(raw, stamp), target)
            print("made %s" % target)
            made.append(target)
    return made


def wheel_layout(stage):
    return {"velmora/__init__.py": os.path.join(stage, "bindings", "velmora.py"),
            "velmora/Velmora.dll": os.path.join(stage, "bin", "Velmora.dll"),
            "velmora/testing.py": os.path.join(stage, "testing", "velmora_devservice.py"),
            "velmora/velmora-devservice.exe": os.path.join(stage, "bin", "velmora-devservice.exe"),
            "LICENSE": os.path.join(stage, "LICENSE"),
            "THIRD-PARTY-NOTICES.txt": os.path.join(stage, "THIRD-PARTY-NOTICES.txt")}


SETUP = """from setuptools import setup

setup(
    name="velmora",
    version=%r,
    description=%r,
    long_description="Velmora.dll and its ctypes binding: import velmora; velmora.load().StartJob(5)",
    author="The Velmora developers",
    license="MIT",
    license_files=["LICENSE", "THIRD-PARTY-NOTICES.txt"],
    packages=["velmora"],
    package_data={"velmora": ["Velmora.dll", "velmora-devservice.exe"]},
    python_requires=">=3.6",
    classifiers=["License :: OSI Approved :: MIT License",
                 "Operating System :: Microsoft :: Windows",
                 "Programming Language :: Python :: 3"],
)
"""


def make_wheels(stages, out, version, epoch):
    made = []
    for build, platform in WHEEL_PLATFORMS.items():
        with tempfile.TemporaryDirectory() as work:
            for name, source in wheel_layout(stages[build]).items():
                os.makedirs(os.path.dirname(os.path.join(work, name)), exist_ok=True)
                shutil.copyfile(source, os.path.join(work, name))
            with open(os.path.join(work, "setup.py"), "w") as f:
                f.write(SETUP % (version, DESCRIPTION))
            env = dict(os.environ, SOURCE_DATE_EPOCH=str(max(epoch, 315532800)))
            done = subprocess.run(["/usr/bin/python3", "setup.py", "-q", "bdist_wheel",
                                   "--plat-name", platform, "--python-tag", "py3", "-d", out],
                                  cwd=work, env=env, capture_output=True, text=True)
            wheel = os.path.join(out, "velmora-%s-py3-none-%s.whl" % (version, platform))
            if done.returncode != 0 or not os.path.exists(wheel):
                sys.exit("bdist_wheel failed:\n%s%s" % (done.stdout, done.stderr))
            print("made %s" % wheel)
            made.append(wheel)
    return made


def check(stages, out, version):
    failures = []

    def expect(ok, what, detail=""):
        print("%s %s%s" % ("ok  " if ok else "FAIL", what, (": " + detail) if not ok else ""))
        if not ok:
            failures.append(what)

    def same_files(package, layout):
        with zipfile.ZipFile(package) as archive:
            names = set(archive.namelist())
            for name, source in sorted(layout.items()):
                with open(source, "rb") as f:
                    expect(name in names and archive.read(name) == f.read(),
                           "%s: %s is the staged %s" % (os.path.basename(package), name,
                                                        os.path.relpath(source, ROOT)))
            return names, archive

    editions = {package_id: defines for package_id, _, defines, _ in NUGET_EDITIONS}
    for package_id, layout, targets, _, _ in nuget_packages(stages):
        package = os.path.join(out, "%s.%s.nupkg" % (package_id, version))
        if not os.path.exists(package):
            expect(False, "%s exists" % package)
            continue
        names, _ = same_files(package, layout)
        for name in list(targets) + ["%s.nuspec" % package_id]:
            expect(name in names, "%s holds %s" % (os.path.basename(package), name))
        if package_id not in editions:
            continue
        with zipfile.ZipFile(package) as archive:
            native = archive.read("build/native/%s.targets" % package_id).decode()
        expect("<VelmoraDefines>%s</VelmoraDefines>" % editions[package_id] in native,
               "%s: its Visual C++ hosts define %r" % (package_id,
                                                       editions[package_id] or "nothing"))
    for build, platform in WHEEL_PLATFORMS.items():
        wheel = os.path.join(out, "velmora-%s-py3-none-%s.whl" % (version, platform))
        if not os.path.exists(wheel):
            expect(False, "%s exists" % wheel)
            continue
        names, _ = same_files(wheel, {n: s for n, s in wheel_layout(stages[build]).items()
                                      if n.startswith("velmora/")})
        with zipfile.ZipFile(wheel) as archive:
            info = "velmora-%s.dist-info/" % version
            tags = archive.read(info + "WHEEL").decode()
            metadata = archive.read(info + "METADATA").decode()
            licences = [n for n in names if n.startswith(info) and
                        n.endswith(("LICENSE", "THIRD-PARTY-NOTICES.txt"))]
        expect("Tag: py3-none-%s" % platform in tags, "%s: tagged py3-none-%s" %
               (os.path.basename(wheel), platform), tags)
        expect("Version: %s" % version in metadata, "%s: version %s" %
               (os.path.basename(wheel), version))
        expect(len(licences) == 2, "%s: the licence and the notices" % os.path.basename(wheel),
               str(licences))
    for name in sorted(os.listdir(out)):
        if name.endswith((".nupkg", ".whl")) and version in name:
            with open(os.path.join(out, name), "rb") as f:
                line = "%s  %s\n" % (hashlib.sha256(f.read()).hexdigest(), name)
            sums = os.path.join(out, name + ".sha256")
            expect(os.path.exists(sums) and open(sums).read() == line,
                   "%s.sha256 holds its digest" % name)
    print("packages: %s" % ("%d check(s) failed" % len(failures) if failures
                            else "all checks passed"))
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=("make", "check"))
    parser.add_argument("--win32", required=True)
    parser.add_argument("--win64", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", type=int, default=0)
    args = parser.parse_args()
    stages = {"win32": args.win32, "win64": args.win64}
    if args.command == "check":
        return check(stages, args.out, args.version)
    stamp = time.gmtime(max(args.epoch, 315532800))[:6]  # a zip cannot say a time before 1980
    made = make_nuget(stages, args.out, args.version, stamp) + \
        make_wheels(stages, args.out, args.version, args.epoch)
    for package in made:
        with open(package, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(package + ".sha256", "w", newline="\n") as f:
            f.write("%s  %s\n" % (digest, os.path.basename(package)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
