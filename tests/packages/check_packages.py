#!/usr/bin/python3
"""The NuGet packages and the Python wheels as their users take them, from a local folder:

  check_packages.py --packages DIR --version V

- `nuget install` of Velmora and Velmora.Edition2;
- a .NET Framework console project (packages.config) built by xbuild for x86, x64 and AnyCPU:
  its output folder holds the DLL of the process it becomes, and it compiles only with the
  package's binding (a build without the package must fail);
- the Visual C++ targets evaluated by xbuild in a stub project: the include folder, the import
  library and the defines it gives, the DLL it copies, the platform it refuses;
- `pip install --target` of each wheel for its platform: the installed module finds its DLL
  (loading it needs Windows, which the module says).
"""
import argparse
import importlib.util
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
MACHINES = {0x14C: "i386", 0x8664: "amd64"}
FAILURES = []


def expect(ok, what, detail=""):
    print("%s %s%s" % ("ok  " if ok else "FAIL", what, (": " + detail) if detail and not ok
                       else ""))
    if not ok:
        FAILURES.append(what)


def machine(path):
    """The machine a PE image is for, or None."""
    try:
        with open(path, "rb") as f:
            data = f.read(4096)
        offset = struct.unpack_from("<I", data, 0x3C)[0]
        return MACHINES.get(struct.unpack_from("<H", data, offset + 4)[0]) \
            if data[offset:offset + 4] == b"PE\0\0" else None
    except (OSError, struct.error):
        return None


def run(command, cwd, home):
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home)
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)


def install_packages(source, version, work):
    packages = os.path.join(work, "packages")
    for package_id in ("Velmora", "Velmora.Edition2", "Velmora.Testing"):
        done = run(["nuget", "install", package_id, "-Source", source, "-Version", version,
                    "-OutputDirectory", packages, "-NonInteractive"], work, work)
        expect(done.returncode == 0 and
               os.path.isdir(os.path.join(packages, "%s.%s" % (package_id, version))),
               "nuget install %s %s from a local folder" % (package_id, version),
               done.stdout + done.stderr)
    return packages


def check_csharp(packages, version, work):
    edition2 = ["/p:VelmoraPackage=Velmora.Edition2"]
    testing = ["/p:VelmoraTesting=true"]  # the helper compiled in, the service beside
    mig = ["/p:CallStartMigJob=true"]
    rows = [
        # platform, more properties, the DLL's machine (None: the build must fail), and what
        # the compiler must then name
        ("x86", [], "i386", ""),
        ("x64", [], "amd64", ""),
        ("AnyCPU", ["/p:Prefer32Bit=true"], "i386", ""),
        ("AnyCPU", ["/p:Prefer32Bit=false"], "amd64", ""),
        ("x86", ["/p:VelmoraVersion=0.0.0.0"], None, "VelmoraInterop"),  # no package: no binding
        ("x64", mig, "amd64", ""),
        ("x64", edition2, "amd64", ""),
        ("x64", edition2 + mig, None, "StartMigJob"),  # edition 2 has no such export
        ("x86", testing, "i386", ""),
        ("AnyCPU", testing + ["/p:Prefer32Bit=false"], "amd64", ""),
    ]
    for number, (platform, extra, wanted, named) in enumerate(rows):
        project = os.path.join(work, "consumer%d" % number)
        os.makedirs(project)
        for name in ("Consumer.csproj", "Program.cs"):
            shutil.copy(os.path.join(HERE, name), project)
        package_ids = ["Velmora.Edition2" if edition2[0] in extra else "Velmora"] + \
            (["Velmora.Testing"] if testing[0] in extra else [])
        with open(os.path.join(project, "packages.config"), "w") as f:
            f.write('<?xml version="1.0" encoding="utf-8"?>\n<packages>\n%s</packages>\n' % "".join(
                '  <package id="%s" version="%s" targetFramework="net45" />\n' % (p, version)
                for p in package_ids))
        os.symlink(packages, os.path.join(project, "packages"))
        done = run(["xbuild", "/nologo", "/v:minimal", "/p:Platform=" + platform,
                    "/p:VelmoraVersion=" + version] + extra + ["Consumer.csproj"], project, work)
        output = os.path.join(project, "bin", platform)
        what = "C# project, %s %s" % (platform, " ".join(extra))
        if wanted is None:
            expect(done.returncode != 0 and named in done.stdout,
                   "%s: fails to compile, naming %s" % (what, named), done.stdout[-2000:])
            continue
        expect(done.returncode == 0 and os.path.exists(os.path.join(output, "Consumer.exe")),
               "%s: builds with the binding compiled in" % what,
               done.stdout[-2000:] + done.stderr[-2000:])
        found = machine(os.path.join(output, "Velmora.dll"))
        expect(found == wanted, "%s: Velmora.dll for %s beside the program" % (what, wanted),
               "found %s" % found)
        if testing[0] in extra:
            found = machine(os.path.join(output, "velmora-devservice.exe"))
            expect(found == wanted, "%s: velmora-devservice.exe for %s beside the program, the "
                   "helper compiled in" % (what, wanted), "found %s" % found)


def check_native(packages, version, work):
    # Velmora.Testing: the helper's include folder and the platform's service in the output.
    for platform, wanted in (("Win32", "i386"), ("x64", "amd64")):
        root = os.path.join(packages, "Velmora.Testing.%s" % version)
        out = os.path.join(work, "native-testing-%s" % platform)
        done = run(["xbuild", "/nologo", "/v:minimal", "/p:Platform=" + platform,
                    "/p:StubOut=" + out,
                    "/p:PackageTargets=" + os.path.join(root, "build", "native",
                                                        "Velmora.Testing.targets"),
                    os.path.join(HERE, "NativeStub.proj")], work, work)
        said = dict(re.findall(r"^\s*(testing)=(.*)$", done.stdout, re.M))
        what = "Visual C++ targets of Velmora.Testing, %s" % platform
        expect(done.returncode == 0 and
               os.path.exists(os.path.join(said.get("testing", ""), "velmora_devservice.hpp")),
               "%s: the include folder holds velmora_devservice.hpp" % what, done.stdout[-1500:])
        expect(machine(os.path.join(out, "velmora-devservice.exe")) == wanted,
               "%s: copies the %s velmora-devservice.exe to the output" % (what, wanted))
    rows = [
        # package, platform, the DLL's machine (None: refused), the defines
        ("Velmora", "Win32", "i386", ""),
        ("Velmora", "x64", "amd64", ""),
        ("Velmora.Edition2", "x64", "amd64", "VELMORA_EDITION=2;"),
        ("Velmora", "ARM64", None, ""),
    ]
    for package_id, platform, wanted, defines in rows:
        root = os.path.join(packages, "%s.%s" % (package_id, version))
        targets = os.path.join(root, "build", "native", package_id + ".targets")
        out = os.path.join(work, "native-%s-%s" % (package_id, platform))
        done = run(["xbuild", "/nologo", "/v:minimal", "/p:Platform=" + platform,
                    "/p:StubOut=" + out, "/p:PackageTargets=" + targets,
                    os.path.join(HERE, "NativeStub.proj")], work, work)
        what = "Visual C++ targets of %s, %s" % (package_id, platform)
        if wanted is None:
            expect(done.returncode != 0 and "no Velmora.dll for the platform 'ARM64'" in
                   done.stdout, "%s: refused by name" % what, done.stdout[-1500:])
            continue
        said = dict(re.findall(r"^\s*(include|library|defines)=(.*)$", done.stdout, re.M))
        arch = "x86" if wanted == "i386" else "x64"
        library = os.path.join(root, "build", "native", "lib", arch, "Velmora.lib")
        expect(done.returncode == 0, "%s: evaluated" % what, done.stdout[-1500:])
        expect(os.path.exists(os.path.join(said.get("include", ""), "velmora.h")),
               "%s: the include folder holds velmora.h" % what, repr(said))
        expect(os.path.realpath(said.get("library", "")) == os.path.realpath(library),
               "%s: links lib/%s/Velmora.lib" % (what, arch), repr(said))
        expect(said.get("defines") == defines, "%s: defines %r" % (what, defines), repr(said))
        expect(machine(os.path.join(out, "Velmora.dll")) == wanted and
               os.path.exists(os.path.join(out, "Velmora.pdb")),
               "%s: copies the %s Velmora.dll and its PDB to the output" % (what, wanted))
    # What xbuild does not evaluate: the compile and link settings are made of those properties.
    namespace = {"m": "http://schemas.microsoft.com/developer/msbuild/2003"}
    tree = ElementTree.parse(os.path.join(packages, "Velmora.%s" % version, "build", "native",
                                          "Velmora.targets"))
    settings = {e.tag.split("}")[1]: e.text for e in
                tree.getroot().iterfind("m:ItemDefinitionGroup/*/*", namespace)}
    expect(settings.get("AdditionalIncludeDirectories", "").startswith("$(VelmoraInclude);") and
           settings.get("AdditionalDependencies", "").startswith("$(VelmoraLibrary);") and
           settings.get("PreprocessorDefinitions", "").startswith("$(VelmoraDefines)"),
           "Visual C++ targets: compile and link settings take the printed properties",
           repr(settings))


def check_wheels(source, version, work):
    for platform, wanted in (("win32", "i386"), ("win_amd64", "amd64")):
        wheel = os.path.join(source, "velmora-%s-py3-none-%s.whl" % (version, platform))
        target = os.path.join(work, "site-" + platform)
        done = run(["/usr/bin/python3", "-m", "pip", "install", "--target", target,
                    "--platform", platform, "--only-binary=:all:", "--no-deps", "--no-index",
                    "--disable-pip-version-check", wheel], work, work)
        expect(done.returncode == 0, "pip installs %s for %s" % (os.path.basename(wheel),
                                                                  platform),
               done.stdout[-1500:] + done.stderr[-1500:])
        installed = os.path.join(target, "velmora", "__init__.py")
        if not os.path.exists(installed):
            expect(False, "%s: the module is installed" % platform)
            continue
        spec = importlib.util.spec_from_file_location("velmora_" + platform, installed)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        testing = os.path.join(target, "velmora", "testing.py")
        spec = importlib.util.spec_from_file_location("velmora_testing_" + platform, testing)
        helper = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(helper)
        service = helper.find_service(os.path.dirname(testing))
        expect(machine(service) == wanted, "%s: velmora.testing finds its %s "
               "velmora-devservice.exe" % (platform, wanted), service)
        found = module.find_dll()
        expect(os.path.dirname(found) == os.path.dirname(installed) and machine(found) == wanted,
               "%s: the installed module finds its %s Velmora.dll" % (platform, wanted), found)
        try:
            module.load()
            expect(sys.platform == "win32", "%s: loading says Windows is needed" % platform)
        except OSError as error:
            expect("loads only in a Windows Python" in str(error),
                   "%s: loading says Windows is needed" % platform, str(error))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packages", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()
    source = os.path.abspath(args.packages)
    with tempfile.TemporaryDirectory() as work:
        packages = install_packages(source, args.version, work)
        check_csharp(packages, args.version, work)
        check_native(packages, args.version, work)
        check_wheels(source, args.version, work)
    print("package consumers: %s" % ("%d check(s) failed" % len(FAILURES) if FAILURES
                                     else "all checks passed"))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
