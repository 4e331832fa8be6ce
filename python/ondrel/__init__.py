"""AdvancedCheck of the ondrel library, through ctypes.

    import ondrel
    ondrel.check("/opt/app/app", "FILESIZE>=4096,MD5=0B60F564B3F039C656BA02BFA0A4E22B")

The library is looked for, in this order:

1. the file named by the environment variable ONDREL_LIBRARY (when it is set,
   nothing else is tried);
2. beside this module: libondrel.so.1 or libondrel.so on Linux, ondrel.dll on
   Windows;
3. the system's search path (the dynamic loader's on Linux, LoadLibrary's on
   Windows).

The library takes 8-bit text. A path or a check list given as bytes is passed
unchanged; str is encoded: on Windows with the ANSI code page (a character it
cannot hold raises UnicodeEncodeError rather than naming another file), elsewhere
with os.fsencode, the file-system encoding, so that every name os.listdir gives
back reaches the same file. A check list as str is encoded the same way, so an
INI fragment in it meets a file written in that encoding.

Every answer is the one a fresh read of the file would give: the library
reuses an "MD5" or "SECMD5" digest only while the file keeps the identity it
had when it was read in full (device and inode, size, times; on Windows
volume, file index, size, last-write time). When the process runs out of
descriptors or memory during a check, check answers False whatever the list
holds after that point, FLAGIFNOFILE included.
"""

import ctypes
import ctypes.util
import os
import sys
import threading

__all__ = ["check", "library_path", "LIBRARY_VARIABLE"]
__version__ = "1.2.0"

LIBRARY_VARIABLE = "ONDREL_LIBRARY"

_WINDOWS = sys.platform == "win32"
_BESIDE = ("ondrel.dll",) if _WINDOWS else ("libondrel.so.1", "libondrel.so")

# Guards the one-time loading; the calls themselves may overlap (the library
# takes its own locks, and ctypes lets other threads run during a call).
_lock = threading.Lock()
_function = None
_path = None


def _candidates():
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in _BESIDE if os.path.exists(os.path.join(here, name))]
    if _WINDOWS:
        found.append("ondrel.dll")
    else:
        found.append(ctypes.util.find_library("ondrel") or "libondrel.so.1")
    return found


def _load():
    global _function, _path
    if _function is not None:
        return _function
    loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # __stdcall on 32-bit Windows
    errors = []
    for candidate in _candidates():
        try:
            library = loader(candidate)
        except OSError as error:
            errors.append("%s: %s" % (candidate, error))
            continue
        function = library.AdvancedCheck
        function.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        function.restype = ctypes.c_ubyte
        _function, _path = function, candidate
        return function
    raise OSError("the ondrel library was not found (" + "; ".join(errors) + ")")


def library_path():
    """The file or name the library was loaded from; loads it first if need be."""
    with _lock:
        _load()
        return _path


def _encode(value, what):
    if isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    elif isinstance(value, str):
        data = value.encode("mbcs", "strict") if _WINDOWS else os.fsencode(value)
    elif what == "path" and isinstance(value, os.PathLike):
        return _encode(os.fspath(value), what)
    else:
        raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))
    # The library reads up to the first zero byte: what follows would be ignored.
    if b"\0" in data:
        raise ValueError("%s holds a zero byte" % what)
    return data


def check(path, checklist):
    """True when every rule of checklist holds for the file at path (an empty
    list holds), False otherwise. path: str, bytes or os.PathLike; checklist:
    str or bytes. Raises OSError when the library cannot be loaded."""
    name = _encode(path, "path")
    rules = _encode(checklist, "checklist")
    with _lock:
        function = _load()
    return function(name, rules) == 1
