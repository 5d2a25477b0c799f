#!/usr/bin/python3
"""Checks built Windows images without running them (python3-pefile).

usage: check_dll.py DLL --edition {2,3} --machine {i386,amd64} [--objdump O] [--pdbutil P]
       check_dll.py --rules-only --machine {i386,amd64} IMAGE...
       check_dll.py --start-up-only --machine {i386,amd64} IMAGE...

The first form checks a Velmora.dll: the hardening rules, the export names and their ordinals,
exactly the imported functions, an entry point that does nothing, the version block, the PDB
that belongs to it and, for 32-bit x86, that every export leaves its arguments to the caller.
The second checks only the rules every image is held to, for every image of a release: the
hardening rules, the start-up rules and the version block's strings. The third checks the start-up rules alone, for programs
that do not ship (the tests): what a run would otherwise be the first to show, and a machine
that cannot execute 32-bit code never runs. Prints one line per check and exits 1 if any fails.
"""
import argparse
import os
import re
import subprocess
import sys

import pefile

EDITION2_FUNCTIONS = [
    "CancelJob", "ChangeJobState", "DeleteJob", "DeleteJobFile", "DeleteJobFileByName",
    "DeleteJobProfile", "RestartJob", "SetProcessPriority", "StartJob", "StartJobOnBoot",
    "StartScheduler", "StopScheduler",
]
EDITION3_FUNCTIONS = EDITION2_FUNCTIONS + ["StartMigJob", "StartSyncJob", "RunProcAsAdmin"]
VARIABLE = "?nVelmora@@3HA"
# The sources every export runs through, whose lines a crash dump must be able to show.
EXPORT_SOURCES = ["src/api/exports.cpp", "src/api/send_job_command.cpp",
                  "src/transport/exchange.cpp", "src/transport/job_frames.cpp"]

# What the library calls, and nothing else: no C runtime start-up, no DLL looked up or loaded.
IMPORTS = {
    "KERNEL32.dll": {"CloseHandle", "CreateFileW", "FormatMessageW", "GetLastError", "LocalFree",
                     "ReadFile", "SetLastError", "SetNamedPipeHandleState", "Sleep",
                     "WaitNamedPipeW", "WideCharToMultiByte", "WriteFile", "lstrlenW"},
    "msvcrt.dll": {"_snprintf", "_snwprintf", "memcpy", "memset"},
}
# The entry point's whole code: return TRUE (stdcall on x86 removes its three arguments).
ENTRY_CODE = {"i386": bytes.fromhex("b801000000c20c00"), "amd64": bytes.fromhex("b801000000c3")}
MACHINES = {"i386": (0x14C, 0x10B), "amd64": (0x8664, 0x20B)}
VERSIONS = {
    3: {"FileVersion": "3.0.0.85", "ProductVersion": "3.0.0.85"},
    2: {"FileVersion": "2.0.0.29", "ProductVersion": "2.0.0.29",
        "InternalName": "Velmora", "OriginalFilename": "Velmora.dll"},
}
NUMERIC_VERSIONS = {3: (3, 0, 0, 85), 2: (2, 0, 0, 29)}
# What every shipped image's version block says, so that Explorer's Details tab and an
# installer's inventory show one product from one publisher.
SHIPPED_STRINGS = {"CompanyName": "The Velmora developers",
                   "LegalCopyright": "Copyright (c) 2026 The Velmora developers",
                   "ProductName": "Velmora"}
NAMING_KEYS = ("InternalName", "OriginalFilename")

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT, NO_SEH = 0x40, 0x20, 0x100, 0x400
WRITE, EXECUTE = 0x80000000, 0x20000000
RELOCS_STRIPPED = 0x1


def version_strings(pe):
    """The version block's strings (one table is all an image of ours has)."""
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    for info in getattr(pe, "FileInfo", [[]])[0] if getattr(pe, "FileInfo", None) else []:
        if info.Key == b"StringFileInfo" and info.StringTable:
            return {k.decode(): v.decode() for k, v in info.StringTable[0].entries.items()}
    return {}


def version_rules(pe):
    """(rule, holds, what was found) for the version block of a shipped image: the publisher,
    the copyright and one product name, a description and both versions, and the file's own
    name, except in edition 3's Velmora.dll, which does not name the file."""
    strings = version_strings(pe)
    rules = [("version: %s is %s" % (key, value), strings.get(key) == value,
              repr(strings.get(key))) for key, value in SHIPPED_STRINGS.items()]
    rules += [("version: %s is given" % key, bool(strings.get(key)), repr(strings.get(key)))
              for key in ("FileDescription", "FileVersion", "ProductVersion")]
    edition3_library = pe.is_dll() and strings.get("FileVersion") == "3.0.0.85"
    for key in NAMING_KEYS:
        rules.append(("version: %s is %s" % (key, "not given" if edition3_library else "given"),
                      (key in strings) != edition3_library, repr(strings.get(key))))
    return rules


def hardening_rules(pe, machine):
    """(rule, holds, what was found) for the rules Windows images are held to."""
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    wx = [s.Name.rstrip(b"\0").decode() for s in pe.sections
          if s.Characteristics & WRITE and s.Characteristics & EXECUTE]
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size
    rules = [
        ("DYNAMICBASE", flags & DYNAMIC_BASE != 0, "flags 0x%x" % flags),
        ("NXCOMPAT", flags & NX_COMPAT != 0, "flags 0x%x" % flags),
        ("relocations kept", relocations > 0 and not pe.FILE_HEADER.Characteristics &
         RELOCS_STRIPPED, "%d bytes" % relocations),
        ("no section both writable and executable", not wx, ", ".join(wx)),
        ("valid checksum", pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(),
         "0x%x, computed 0x%x" % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())),
    ]
    if machine == "amd64":
        rules.append(("HIGHENTROPYVA", flags & HIGH_ENTROPY_VA != 0, "flags 0x%x" % flags))
    else:
        config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
        safe_seh = config is not None and getattr(config.struct, "SEHandlerTable", 0) != 0
        rules.append(("SafeSEH table or NO_SEH", safe_seh or flags & NO_SEH != 0,
                      "flags 0x%x, no handler table" % flags))
    return rules


# The DLLs an image may import: Windows' own, and Velmora.dll for the hosts. A program that needs
# a MinGW runtime DLL (libgcc_s_dw2-1.dll, libstdc++-6.dll, libwinpthread-1.dll) does not start
# where that DLL is not installed.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll", "user32.dll",
               "version.dll", "dbghelp.dll", "ntdll.dll", "velmora.dll"}
# The oldest Windows the images are made for (Vista); the loader refuses an image that asks for a
# newer one.
SUBSYSTEM_VERSION = (6, 0)


def section_name(pe, section):
    """A section's full name: a long one ("/4") is looked up in the COFF string table, which
    stripped images no longer have (they keep the first eight characters)."""
    name = section.Name.rstrip(b"\0").decode()
    table = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    if name.startswith("/") and name[1:].isdigit() and pe.FILE_HEADER.PointerToSymbolTable:
        start = table + int(name[1:])
        return pe.__data__[start:pe.__data__.find(b"\0", start)].decode()
    return name


def registers_unwind_tables(pe):
    """(holds, found) for a 32-bit image with DWARF unwind tables: its code must take their
    address, as GCC's start-up object does to hand them to the unwinder at start. MinGW-w64's stub
    start-up object does not, and the program's first C++ exception then aborts it."""
    tables = [s for s in pe.sections if section_name(pe, s).startswith(".eh_fram")]
    if not tables or tables[0].Misc_VirtualSize == 0:
        return True, "no unwind tables"
    base = pe.OPTIONAL_HEADER.ImageBase
    low = base + tables[0].VirtualAddress
    high = low + tables[0].Misc_VirtualSize
    code = [s for s in pe.sections if s.Characteristics & EXECUTE]
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if (entry.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"] and
                    any(s.contains_rva(entry.rva) for s in code) and
                    low <= pe.get_dword_at_rva(entry.rva) < high):
                return True, "registered"
    return False, "%d bytes of unwind tables that no code refers to" % (high - low)


def start_up_rules(pe, machine):
    """(rule, holds, what was found) for what a program needs to start and run as built."""
    imported = sorted(e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    rules = [
        ("imports only Windows' own DLLs", set(imported) <= SYSTEM_DLLS, ", ".join(imported)),
        ("runs on Windows %d.%d" % SUBSYSTEM_VERSION, version <= SUBSYSTEM_VERSION,
         "subsystem version %d.%d" % version),
    ]
    if machine == "i386":
        holds, found = registers_unwind_tables(pe)
        rules.append(("DWARF unwind tables registered at start", holds, found))
    return rules


def pdb_summary(pdbutil, path):
    text = subprocess.run([pdbutil, "dump", "-summary", path], check=True, capture_output=True,
                          text=True).stdout
    guid = re.search(r"GUID: \{([0-9A-F-]+)\}", text).group(1)
    age = int(re.search(r"Age: (\d+)", text).group(1))
    return guid, age


def pdb_publics(pdbutil, path):
    text = subprocess.run([pdbutil, "dump", "-publics", path], check=True, capture_output=True,
                          text=True).stdout
    return set(re.findall(r"`([^`]+)`", text))


def pdb_line_counts(pdbutil, path):
    """{source file: line entries} from the PDB's line tables."""
    text = subprocess.run([pdbutil, "dump", "-l", path], check=True, capture_output=True,
                          text=True).stdout
    counts, current = {}, None
    for line in text.splitlines():
        source = re.match(r"^(\S.*) \(MD5: [0-9A-F]+\)$", line)
        if source:
            current = source.group(1)
            counts.setdefault(current, 0)
            continue
        entries = re.search(r"line/addr entries = (\d+)", line)
        if entries and current:
            counts[current] += int(entries.group(1))
    return counts


def pdb_type_count(pdbutil, path):
    text = subprocess.run([pdbutil, "dump", "-types", path], check=True, capture_output=True,
                          text=True).stdout
    found = re.search(r"Showing (\d+) records", text)
    return int(found.group(1)) if found else 0


def codeview_guid(entry):
    """The GUID of an RSDS record, written as llvm-pdbutil writes it."""
    return "%08X-%04X-%04X-%02X%02X-%s" % (
        entry.Signature_Data1, entry.Signature_Data2, entry.Signature_Data3,
        entry.Signature_Data4, entry.Signature_Data5, entry.Signature_Data6.hex().upper())


def check_calling_convention(pe, path, exports, objdump):
    """Follows each exported function through its jumps and branches (not into calls) and
    returns the exports that reach a 'ret N', which would mean the callee removes arguments."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], check=True,
                          capture_output=True, text=True).stdout
    code = {}
    order = []
    for line in text.splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if m:
            address = int(m.group(1), 16)
            code[address] = (m.group(2), m.group(3).strip())
            order.append(address)
    following = {a: b for a, b in zip(order, order[1:])}
    problems = {}
    for name, (_, rva) in exports.items():
        if name == VARIABLE:
            continue
        pending, seen, returns = [pe.OPTIONAL_HEADER.ImageBase + rva], set(), set()
        while pending:
            address = pending.pop()
            while address is not None and address not in seen and address in code:
                seen.add(address)
                mnemonic, operand = code[address]
                if mnemonic.startswith("ret"):
                    returns.add((mnemonic + " " + operand).strip())
                    break
                target = re.match(r"^(?:0x)?([0-9a-f]+)\b", operand)
                if mnemonic.startswith("jmp"):
                    address = int(target.group(1), 16) if target and "*" not in operand else None
                    continue
                if mnemonic.startswith("j") and target:
                    pending.append(int(target.group(1), 16))
                address = following.get(address)
        if not returns or any(r != "ret" for r in returns):
            problems[name] = sorted(returns) or ["no return found"]
    return problems


def check_library(pe, args, check):
    # Exports: the names of the edition, each at the ordinal it has always had (alphabetical from
    # 1); a slot without a name (lld starts counting at 0) must lead nowhere.
    names = (EDITION3_FUNCTIONS if args.edition == 3 else EDITION2_FUNCTIONS) + [VARIABLE]
    wanted = {name: ordinal for ordinal, name in enumerate(sorted(names), start=1)}
    symbols = pe.DIRECTORY_ENTRY_EXPORT.symbols
    exports = {s.name.decode(): (s.ordinal, s.address) for s in symbols if s.name}
    unnamed = [s.ordinal for s in symbols if not s.name and s.address]
    found = {name: ordinal for name, (ordinal, _) in exports.items()}
    check(found == wanted and not unnamed,
          "exports: exactly the %d names of edition %d at ordinals 1 to %d" %
          (len(wanted), args.edition, len(wanted)),
          "differences %s, unnamed entries %s" %
          (sorted(set(found.items()) ^ set(wanted.items())), unnamed))
    if {"StartScheduler", "StopScheduler"} <= set(exports):
        check(exports["StartScheduler"][1] == exports["StopScheduler"][1],
              "exports: StartScheduler and StopScheduler are one function")
    if VARIABLE in exports:
        rva = exports[VARIABLE][1]
        section = pe.get_section_by_rva(rva)
        offset = rva - section.VirtualAddress  # past the section's file bytes it is zero-filled
        value = section.get_data()[offset:offset + 4].ljust(4, b"\0")
        check(not section.Characteristics & EXECUTE and value == b"\0\0\0\0",
              "exports: %s is data, zero at load" % VARIABLE, section.Name.decode())

    imports = {entry.dll.decode(): {i.name.decode() for i in entry.imports}
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    check(imports == IMPORTS, "imports: exactly the functions the library calls",
          "extra %s, missing %s" % (
              {d: sorted(f - IMPORTS.get(d, set())) for d, f in imports.items()},
              {d: sorted(f - imports.get(d, set())) for d, f in IMPORTS.items()}))
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    code = ENTRY_CODE[args.machine]
    check(pe.get_data(entry, len(code)) == code and not hasattr(pe, "DIRECTORY_ENTRY_TLS"),
          "entry point: returns TRUE and nothing else, no TLS callbacks",
          pe.get_data(entry, len(code)).hex())

    fixed = pe.VS_FIXEDFILEINFO[0]
    number = NUMERIC_VERSIONS[args.edition]
    as_tuple = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check(as_tuple(fixed.FileVersionMS, fixed.FileVersionLS) == number and
          as_tuple(fixed.ProductVersionMS, fixed.ProductVersionLS) == number,
          "version: numeric file and product version %d.%d.%d.%d" % number)
    tables, translation = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables = info.StringTable
        elif info.Key == b"VarFileInfo":
            translation = [v.entry for v in info.Var]
    check([t.LangID.upper() for t in tables] == [b"040904E4"],
          "version: one string table for U.S. English, code page 1252",
          str([t.LangID for t in tables]))
    strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()} if tables else {}
    for name, value in list(VERSIONS[args.edition].items()) + list(SHIPPED_STRINGS.items()):
        check(strings.get(name) == value, "version: %s is %s" % (name, value),
              "found %r" % strings.get(name))
    if args.edition == 3:
        check("InternalName" not in strings and "OriginalFilename" not in strings,
              "version: edition 3 does not name the file")
    check(translation == [{b"Translation": "0x0409 0x04e4"}], "version: translation 0x0409, 1252",
          repr(translation))

    # Symbols: none in the DLL; a PDB beside it that the DLL's CodeView record names, by file
    # name only, with the same GUID and age, holding a public symbol for every export.
    sections = [s.Name.rstrip(b"\0").decode() for s in pe.sections]
    check(pe.FILE_HEADER.NumberOfSymbols == 0 and
          not any(n.startswith((".debug", "/")) for n in sections),
          "no symbols and no DWARF in the DLL", "sections %s" % sections)
    records = [d.entry for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])
               if d.struct.Type == 2 and d.entry is not None]
    check(len(records) == 1 and records[0].PdbFileName.rstrip(b"\0") == b"Velmora.pdb",
          "debug record: one CodeView record naming Velmora.pdb", repr(records))
    pdb = os.path.join(os.path.dirname(args.dll), "Velmora.pdb")
    if args.pdbutil and records and os.path.exists(pdb):
        guid, age = pdb_summary(args.pdbutil, pdb)
        check(guid == codeview_guid(records[0]) and age == records[0].Age,
              "PDB: Velmora.pdb has the GUID and age the DLL records",
              "%s/%d against %s/%d" % (guid, age, codeview_guid(records[0]), records[0].Age))
        # A C function's symbol on x86 starts with "_"; the variable's is its decorated name.
        prefix = "_" if args.machine == "i386" else ""
        publics = pdb_publics(args.pdbutil, pdb)
        missing = [n for n in names if (n if n == VARIABLE else prefix + n) not in publics]
        check(not missing, "PDB: a public symbol named for every export", "missing %s" % missing)
        lines = pdb_line_counts(args.pdbutil, pdb)
        root = args.pdb_source_root.replace("/", "\\").rstrip("\\")
        wanted_sources = [root + "\\" + s.replace("/", "\\") for s in EXPORT_SOURCES]
        check(all(lines.get(s, 0) > 0 for s in wanted_sources),
              "PDB: line tables for the export sources, rooted at %s" % args.pdb_source_root,
              "found %s" % lines)
        types = pdb_type_count(args.pdbutil, pdb)
        check(types > 0, "PDB: type records", "%d" % types)
    elif args.pdbutil:
        check(False, "PDB: Velmora.pdb lies beside the DLL")

    if args.objdump:
        problems = check_calling_convention(pe, args.dll, exports, args.objdump)
        check(not problems, "calling convention: every export returns with a plain ret",
              str(problems))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("images", nargs="+")
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("--rules-only", action="store_true")
    parser.add_argument("--start-up-only", action="store_true")
    parser.add_argument("--edition", type=int, choices=(2, 3))
    parser.add_argument("--objdump")
    parser.add_argument("--pdbutil")
    parser.add_argument("--pdb-source-root", default="C:\\velmora")
    args = parser.parse_args()
    args.rules_only = args.rules_only or args.start_up_only
    if not args.rules_only and (len(args.images) != 1 or args.edition is None):
        parser.error("a library check takes one DLL and --edition")
    args.dll = args.images[0]

    failures = []

    def check(ok, what, detail=""):
        print("%s %s%s" % ("ok  " if ok else "FAIL", what,
                           (": " + detail) if detail and not ok else ""))
        if not ok:
            failures.append(what)

    for path in args.images:
        pe = pefile.PE(path)
        machine, magic = MACHINES[args.machine]
        name = os.path.basename(path)
        check(pe.FILE_HEADER.Machine == machine and pe.OPTIONAL_HEADER.Magic == magic,
              "%s: machine 0x%x, optional header 0x%x" % (name, machine, magic),
              "found 0x%x, 0x%x" % (pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic))
        rules = start_up_rules(pe, args.machine)
        if not args.start_up_only:
            rules = hardening_rules(pe, args.machine) + rules + version_rules(pe)
        for rule, holds, found in rules:
            check(holds, "%s: %s" % (name, rule), found)
        if not args.rules_only:
            check(pe.is_dll(), "%s: marked as a DLL" % name)
            check_library(pe, args, check)

    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
