#!/usr/bin/env python3
"""velmora.load() on Linux: it finds the DLL where the release archive and a wheel put it, and
says plainly what is wrong when there is none, the file is not a Windows image, or the Python is
not a Windows one. Loading itself needs Windows, so it is not tried here."""
import importlib.util
import os
import shutil
import struct
import sys
import tempfile
import unittest

BINDING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings",
                       "velmora.py")


def import_copy(folder):
    """The module as imported from a copy of it in folder."""
    os.makedirs(folder, exist_ok=True)
    path = shutil.copy(BINDING, folder)
    spec = importlib.util.spec_from_file_location("velmora_copy", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def pe_image(path, machine):
    """A file with the DOS header's pointer to a PE header naming machine."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"PE\0\0" +
                struct.pack("<H", machine) + b"\0" * 18)


class FindsTheDll(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.root)

    def test_where_the_archive_and_a_wheel_lay_it(self):
        # (where the module is, where the DLL is) -> found
        layouts = [("bindings", "bin/Velmora.dll"),          # the release archive
                   ("site/velmora", "site/velmora/Velmora.dll"),  # a wheel: beside the module
                   ("both", "both/Velmora.dll")]
        for module_folder, dll in layouts:
            pe_image(os.path.join(self.root, dll), 0x14C)
            module = import_copy(os.path.join(self.root, module_folder))
            self.assertEqual(os.path.realpath(module.find_dll()),
                             os.path.realpath(os.path.join(self.root, dll)), module_folder)

    def test_none_found_names_every_place_looked(self):
        module = import_copy(os.path.join(self.root, "bindings"))
        with self.assertRaises(FileNotFoundError) as caught:
            module.find_dll()
        said = str(caught.exception)
        self.assertIn(os.path.join(self.root, "bindings", "Velmora.dll"), said)
        self.assertIn(os.path.join(self.root, "bin", "Velmora.dll"), said)
        self.assertIn("velmora.load(path)", said)


class SaysWhatIsWrong(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.module = import_copy(os.path.join(self.root, "bindings"))

    def tearDown(self):
        shutil.rmtree(self.root)

    def test_a_file_that_is_not_a_windows_image(self):
        # contents -> what the error says (never struct.error)
        rows = [(b"", "no MZ header"), (b"M", "no MZ header"), (b"\x7fELF" + b"\0" * 60,
                "no MZ header"), (b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40), "no PE header"),
                (b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"NE\0\0\x4c\x01", "no PE header")]
        path = os.path.join(self.root, "Velmora.dll")
        for contents, said in rows:
            with open(path, "wb") as f:
                f.write(contents)
            with self.assertRaises(OSError) as caught:
                self.module.dll_bits(path)
            self.assertIn(said, str(caught.exception), contents[:8])

    def test_the_bitness_is_read_from_the_machine(self):
        path = os.path.join(self.root, "Velmora.dll")
        for machine, bits in ((0x14C, 32), (0x8664, 64)):
            pe_image(path, machine)
            self.assertEqual(self.module.dll_bits(path), bits)

    @unittest.skipIf(sys.platform == "win32", "off Windows only")
    def test_loading_off_windows_says_windows_is_needed(self):
        pe_image(os.path.join(self.root, "bin", "Velmora.dll"), 0x8664)
        with self.assertRaises(OSError) as caught:
            self.module.load()
        self.assertIn("loads only in a Windows Python", str(caught.exception))
        self.assertNotIn("ELF", str(caught.exception))


if __name__ == "__main__":
    unittest.main()
