#!/usr/bin/env python3
"""Checks a built Velmora.dll without running it: PE header, export names, imports, the version
block and, for 32-bit x86, that every exported function leaves its arguments to the caller.

usage: check_dll.py DLL --edition {2,3} --machine {i386,amd64} [--objdump OBJDUMP]
Prints one line per check and exits 1 if any fails.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import zlib

EDITION2_FUNCTIONS = {
    "CancelJob", "ChangeJobState", "DeleteJob", "DeleteJobFile", "DeleteJobFileByName",
    "DeleteJobProfile", "RestartJob", "SetProcessPriority", "StartJob", "StartJobOnBoot",
    "StartScheduler", "StopScheduler",
}
EDITION3_FUNCTIONS = EDITION2_FUNCTIONS | {"StartMigJob", "StartSyncJob", "RunProcAsAdmin"}
VARIABLE = "?nVelmora@@3HA"
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll"}
MACHINES = {"i386": (0x14C, 0x10B), "amd64": (0x8664, 0x20B)}
VERSIONS = {
    3: {"FileVersion": "3.0.0.85", "ProductVersion": "3.0.0.85"},
    2: {"FileVersion": "2.0.0.29", "ProductVersion": "2.0.0.29",
        "InternalName": "Velmora", "OriginalFilename": "Velmora.dll"},
}
NUMERIC_VERSIONS = {3: (3, 0, 0, 85), 2: (2, 0, 0, 29)}


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        (self.machine, sections, _, self.symbol_table, self.symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        wide = self.magic == 0x20B
        self.image_base = (struct.unpack_from("<Q", data, optional + 24)[0] if wide
                           else struct.unpack_from("<I", data, optional + 28)[0])
        directories = optional + (112 if wide else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(16)]
        self.sections = []
        table = optional + optional_size
        strings = self.symbol_table + 18 * self.symbol_count
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            name = name.rstrip(b"\0").decode()
            if name.startswith("/") and self.symbol_table:  # a long name, kept in the string table
                start = strings + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode()
            self.sections.append((name, vaddr, max(vsize, rawsize), rawptr, rawsize, flags))

    def raw_section(self, name):
        """The file bytes of the named section, or None."""
        for s in self.sections:
            if s[0] == name:
                return self.data[s[3]:s[3] + s[4]]
        return None

    def section(self, rva):
        for s in self.sections:
            if s[1] <= rva < s[1] + s[2]:
                return s
        raise ValueError("RVA 0x%x is in no section" % rva)

    def read(self, rva, size):
        """Bytes at an RVA; what lies past a section's raw data is zero at load."""
        _, vaddr, _, rawptr, rawsize, _ = self.section(rva)
        offset = rva - vaddr
        raw = self.data[rawptr + offset:rawptr + min(rawsize, offset + size)] if offset < rawsize else b""
        return raw + b"\0" * (size - len(raw))

    def string(self, rva):
        out = bytearray()
        while True:
            c = self.read(rva + len(out), 1)
            if c == b"\0":
                return out.decode("latin-1")
            out += c

    def exports(self):
        rva, _ = self.directories[0]
        (_, _, _, _, _, base, functions, names, eat, npt, ordinals) = struct.unpack_from(
            "<IIHHIIIIIII", self.read(rva, 40))
        table = {}
        for i in range(names):
            name = self.string(struct.unpack("<I", self.read(npt + 4 * i, 4))[0])
            ordinal = struct.unpack("<H", self.read(ordinals + 2 * i, 2))[0]
            table[name] = struct.unpack("<I", self.read(eat + 4 * ordinal, 4))[0]
        return table, functions

    def imports(self):
        rva, _ = self.directories[1]
        dlls = []
        while True:
            entry = struct.unpack("<IIIII", self.read(rva, 20))
            if entry == (0, 0, 0, 0, 0):
                return dlls
            dlls.append(self.string(entry[3]))
            rva += 20

    def version_block(self):
        """The raw VS_VERSIONINFO block of the first RT_VERSION resource."""
        root, _ = self.directories[2]
        if root == 0:
            return None

        def entries(rva):
            named, ids = struct.unpack_from("<HH", self.read(rva + 12, 4))
            for i in range(named + ids):
                ident, target = struct.unpack("<II", self.read(rva + 16 + 8 * i, 8))
                yield ident, target

        for ident, target in entries(root):
            if ident == 16:  # RT_VERSION
                level = root + (target & 0x7FFFFFFF)
                while True:  # name, then language: take the first of each
                    _, target = next(entries(level))
                    if not target & 0x80000000:
                        data_rva, size = struct.unpack("<II", self.read(root + target, 8))
                        return self.read(data_rva, size)
                    level = root + (target & 0x7FFFFFFF)
        return None


def parse_version_node(block, offset=0):
    """One node of a version block: (key, value, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", block, offset)
    end = offset + length
    position = offset + 6
    key_end = position
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = block[position:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    if kind == 1:
        value = block[position:position + 2 * value_length].decode("utf-16-le").rstrip("\0")
        position += 2 * value_length
    else:
        value = block[position:position + value_length]
        position += value_length
    children = []
    position = (position + 3) & ~3
    while position < end:
        child = parse_version_node(block, position)
        children.append(child[:3])
        position = (position + child[3] + 3) & ~3
    return key, value, children, length


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
    for name, rva in exports.items():
        if name == VARIABLE:
            continue
        pending, seen, returns = [pe.image_base + rva], set(), set()
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dll")
    parser.add_argument("--edition", type=int, choices=(2, 3), required=True)
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("--objdump")
    args = parser.parse_args()

    with open(args.dll, "rb") as f:
        pe = Pe(f.read())
    failures = []

    def check(ok, what, detail=""):
        print("%s %s%s" % ("ok  " if ok else "FAIL", what,
                           (": " + detail) if detail and not ok else ""))
        if not ok:
            failures.append(what)

    machine, magic = MACHINES[args.machine]
    check(pe.machine == machine and pe.magic == magic,
          "PE header: machine 0x%x, optional header 0x%x" % (machine, magic),
          "found 0x%x, 0x%x" % (pe.machine, pe.magic))
    check(pe.characteristics & 0x2000 != 0, "PE header: marked as a DLL")

    exports, count = pe.exports()
    wanted = (EDITION3_FUNCTIONS if args.edition == 3 else EDITION2_FUNCTIONS) | {VARIABLE}
    check(set(exports) == wanted and count == len(wanted),
          "exports: exactly the %d names of edition %d" % (len(wanted), args.edition),
          "extra %s, missing %s, %d addresses" % (sorted(set(exports) - wanted),
                                                  sorted(wanted - set(exports)), count))
    if {"StartScheduler", "StopScheduler"} <= set(exports):
        check(exports["StartScheduler"] == exports["StopScheduler"],
              "exports: StartScheduler and StopScheduler are one function")
    if VARIABLE in exports:
        section = pe.section(exports[VARIABLE])
        check(not section[5] & 0x20000000 and pe.read(exports[VARIABLE], 4) == b"\0\0\0\0",
              "exports: %s is data, zero at load" % VARIABLE, "in section %s" % section[0])

    dlls = {d.lower() for d in pe.imports()}
    check("kernel32.dll" in dlls and dlls <= ALLOWED_IMPORTS,
          "imports: only %s" % ", ".join(sorted(ALLOWED_IMPORTS)), ", ".join(sorted(dlls)))

    block = pe.version_block()
    check(block is not None, "version: the file has a version block")
    if block is not None:
        key, fixed, children, _ = parse_version_node(block)
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIIIII", fixed)
        number = NUMERIC_VERSIONS[args.edition]
        as_tuple = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        check(key == "VS_VERSION_INFO" and signature == 0xFEEF04BD
              and as_tuple(file_ms, file_ls) == number and as_tuple(product_ms, product_ls) == number,
              "version: numeric file and product version %d.%d.%d.%d" % number)
        nodes = {k: c for k, v, c in children}
        strings = {}
        table_keys = [k for k, _, _ in nodes.get("StringFileInfo", [])]
        for _, _, entries in nodes.get("StringFileInfo", []):
            strings = {k: v for k, v, _ in entries}
        check([k.upper() for k in table_keys] == ["040904E4"],
              "version: one string table for U.S. English, code page 1252", str(table_keys))
        for name, value in VERSIONS[args.edition].items():
            check(strings.get(name) == value, "version: %s is %s" % (name, value),
                  "found %r" % strings.get(name))
        if args.edition == 3:
            check("InternalName" not in strings and "OriginalFilename" not in strings,
                  "version: edition 3 does not name the file")
        translation = [v for k, v, _ in nodes.get("VarFileInfo", []) if k == "Translation"]
        check(translation == [struct.pack("<HH", 0x409, 1252)],
              "version: translation 0x0409, 1252", repr(translation))

    names = [s[0] for s in pe.sections]
    check(pe.symbol_count == 0 and not any(n.startswith(".debug") for n in names),
          "stripped: no symbols and no debug sections", "%d symbols, sections %s" %
          (pe.symbol_count, names))
    link = pe.raw_section(".gnu_debuglink")
    check(link is not None, "debug link: the DLL names its separate debug file")
    if link is not None:
        name = link.split(b"\0")[0].decode()
        crc = struct.unpack_from("<I", link, (len(name) + 4) & ~3)[0]
        path = os.path.join(os.path.dirname(args.dll), name)
        check(name == "Velmora.dll.debug" and os.path.exists(path)
              and zlib.crc32(open(path, "rb").read()) == crc,
              "debug link: Velmora.dll.debug lies beside it and matches its checksum", name)

    if args.objdump:
        problems = check_calling_convention(pe, args.dll, exports, args.objdump)
        check(not problems, "calling convention: every export returns with a plain ret",
              str(problems))

    print("%s: %d check(s) failed" % (args.dll, len(failures)) if failures
          else "%s: all checks passed" % args.dll)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
