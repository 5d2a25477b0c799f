"""Velmora.dll from Python, through ctypes.

    import velmora
    lib = velmora.load()                 # the DLL as the archive or a wheel lays it out, or load(path)
    status = lib.StartJob(5)             # the service's status, 0 for success
    lib.StartJobOnBoot()                 # returns None: the status is lib.last_error()
    lib.DeleteJobFileByName("C:\\temp\\a.txt")

Each function sends one request to the scheduler service over \\\\.\\pipe\\pipe_job and returns
its status, or a Windows error code when the service could not be reached; the same value is
the thread's last error (lib.last_error()). Texts (str) are encoded in the ANSI code page,
strictly: a character it cannot hold raises UnicodeEncodeError instead of being sent as a
look-alike; bytes are sent as they are. The interpreter must have the DLL's bitness (a 32-bit
Python for the win32 archive's DLL). Importing the module works anywhere; loading needs Windows.
"""
import ctypes
import os
import struct
import sys

INT = ctypes.c_int
TEXT = ctypes.c_char_p

# Every export: its argument types and its return type (None: it returns nothing, and its
# status is the last error).
EXPORTS = {
    "StartScheduler": ((), INT),
    "StopScheduler": ((), INT),
    "StartJob": ((INT,), INT),
    "RestartJob": ((INT,), INT),
    "CancelJob": ((INT,), INT),
    "DeleteJob": ((INT,), INT),
    "ChangeJobState": ((INT, INT), INT),
    "StartJobOnBoot": ((), None),
    "SetProcessPriority": ((INT,), None),
    "DeleteJobFile": ((INT,), INT),
    "DeleteJobFileByName": ((TEXT,), INT),
    "DeleteJobProfile": ((INT,), INT),
    "StartMigJob": ((INT, TEXT), INT),  # edition 3 only, as are the next two
    "StartSyncJob": ((INT, TEXT, TEXT), INT),
    "RunProcAsAdmin": ((TEXT,), INT),
}
VARIABLE = "?nVelmora@@3HA"  # the name the DLL exports the int nVelmora under


def dll_bits(path):
    """32 or 64: the bitness of the DLL at path, read from its PE header. OSError when the file is
    not a Windows image."""
    with open(path, "rb") as f:
        header = f.read(0x40)
        if len(header) < 0x40 or header[:2] != b"MZ":
            raise OSError("%s is not a Windows DLL (it has no MZ header)" % path)
        f.seek(struct.unpack_from("<I", header, 0x3C)[0])
        pe = f.read(6)
    if len(pe) < 6 or pe[:4] != b"PE\0\0":
        raise OSError("%s is not a Windows DLL (it has no PE header)" % path)
    return 64 if struct.unpack_from("<H", pe, 4)[0] == 0x8664 else 32


def find_dll(module_folder=None):
    """Where Velmora.dll lies for this module: beside it (a wheel, or a copy of both files), or
    in bin/ beside the bindings/ folder that holds it (the release archive)."""
    folder = module_folder or os.path.dirname(os.path.abspath(__file__))
    places = [os.path.join(folder, "Velmora.dll"),
              os.path.join(os.path.dirname(folder), "bin", "Velmora.dll")]
    for place in places:
        if os.path.isfile(place):
            return place
    raise FileNotFoundError("Velmora.dll is in none of the places this module looks: %s; "
                            "give its path to velmora.load(path)" % ", ".join(places))


class Library:
    """A loaded Velmora.dll; each export is a method of the same name."""

    def __init__(self, path):
        if sys.platform != "win32":
            raise OSError("Velmora.dll is a Windows DLL and loads only in a Windows Python "
                          "(this one runs on %s); found %s" % (sys.platform, path))
        bits, own = dll_bits(path), struct.calcsize("P") * 8
        if bits != own:
            raise OSError("%s is a %d-bit DLL, but this Python is %d-bit: use a %d-bit Python, "
                          "or the Velmora archive of this Python's bitness" % (path, bits, own, bits))
        # cdecl: the caller removes the arguments.
        self._dll = ctypes.CDLL(path, use_last_error=True)
        for name, (arguments, result) in EXPORTS.items():
            function = getattr(self._dll, name, None)
            if function is not None:  # edition 2 lacks three of them
                function.argtypes = arguments
                function.restype = result
                setattr(self, name, self._wrap(function))

    @staticmethod
    def _wrap(function):
        def call(*args):
            return function(*(a.encode("mbcs", "strict") if isinstance(a, str) else a
                              for a in args))
        call.__name__ = function.__name__
        return call

    @staticmethod
    def last_error():
        """The calling thread's last error as the last call left it."""
        return ctypes.get_last_error()

    @property
    def nVelmora(self):
        return INT.in_dll(self._dll, VARIABLE).value


def load(path=None):
    """Loads Velmora.dll by its full path: the one find_dll() finds unless one is given."""
    return Library(os.path.abspath(path if path is not None else find_dll()))
