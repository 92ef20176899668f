"""Finding and loading the quenvira-vnc shared library, with every signature declared.

ctypes assumes ``int`` for results and arguments it knows nothing about, which
truncates the 64-bit handle pointer; so each function is declared here before
anything calls it. The sixteen original functions must be there; the opt-in
extensions may be missing from an older library, which then still serves
everything else: ``extension`` raises LibraryTooOld only when one is used.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any, List, Optional, Set

from .errors import LibraryNotFound, LibraryTooOld

ENV_VARIABLE = "QUENVIRA_VNC_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES = ["quenvira-vnc.dll"]
elif sys.platform == "darwin":
    _FILE_NAMES = ["quenvira-vnc.dylib", "libquenvira-vnc.dylib", "quenvira-vnc.so"]
else:
    _FILE_NAMES = ["quenvira-vnc.so", "libquenvira-vnc.so"]

_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_uint_p = ctypes.POINTER(ctypes.c_uint)

# name: (restype, argtypes); the handle travels as an opaque void pointer.
_SIGNATURES = {
    "vnc_version": (ctypes.c_char_p, []),
    "vnc_last_error": (ctypes.c_char_p, []),
    "vnc_create": (ctypes.c_void_p, []),
    "vnc_connect": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]),
    "vnc_disconnect": (ctypes.c_int, [ctypes.c_void_p]),
    "vnc_destroy": (None, [ctypes.c_void_p]),
    "vnc_get_status": (ctypes.c_int, [ctypes.c_void_p]),
    "vnc_get_dimensions": (ctypes.c_int, [ctypes.c_void_p, _c_int_p, _c_int_p]),
    "vnc_lock_framebuffer": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), _c_int_p, _c_int_p, _c_int_p],
    ),
    "vnc_unlock_framebuffer": (None, [ctypes.c_void_p]),
    "vnc_get_dirty_rect": (ctypes.c_int, [ctypes.c_void_p, _c_int_p, _c_int_p, _c_int_p, _c_int_p]),
    "vnc_send_pointer": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]),
    "vnc_send_key": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int]),
    "vnc_send_client_cut_text": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]),
    "vnc_test_server_start": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p]),
    "vnc_test_server_stop": (None, []),
}

# The opt-in extensions; buffers travel as void pointers (None for null).
_EXTENSIONS = {
    "vnc_set_option": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]),
    "vnc_get_cut_text": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, _c_uint_p]),
    "vnc_get_desktop_name": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]),
    "vnc_get_cursor": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, _c_int_p, _c_int_p, _c_int_p, _c_int_p, _c_uint_p],
    ),
    "vnc_get_update_count": (ctypes.c_uint, [ctypes.c_void_p]),
    "vnc_get_end_reason": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]),
    "vnc_request_desktop_size": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]),
    "vnc_get_desktop_size_status": (ctypes.c_int, [ctypes.c_void_p, _c_uint_p]),
    "vnc_wait_event": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "vnc_sync": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "vnc_get_security_info": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_library_path: Optional[str] = None
# The extensions the loaded library lacks.
_missing: Set[str] = set()


def _candidates() -> List[str]:
    """Where to look, in order: the environment, beside the package, the system."""
    found: List[str] = []
    override = os.environ.get(ENV_VARIABLE)
    if override:
        found.append(override)
    here = os.path.dirname(os.path.abspath(__file__))
    found.extend(os.path.join(here, name) for name in _FILE_NAMES)
    # Bare names: the system loader's own search (LD_LIBRARY_PATH, ld.so.cache, ...).
    found.extend(_FILE_NAMES)
    return found


def _declare(lib: ctypes.CDLL) -> Set[str]:
    """Declares every function; returns the extensions the library lacks."""
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    missing = set()
    for name, (restype, argtypes) in _EXTENSIONS.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            missing.add(name)
            continue
        function.restype = restype
        function.argtypes = argtypes
    return missing


def library() -> ctypes.CDLL:
    """The loaded library (loaded on first use); raises LibraryNotFound."""
    global _library, _library_path
    with _lock:
        if _library is not None:
            return _library
        tried: List[str] = []
        candidates = _candidates()
        override = os.environ.get(ENV_VARIABLE)
        found = ctypes.util.find_library("quenvira-vnc")
        if found:
            candidates.append(found)
        for index, candidate in enumerate(candidates):
            is_path = os.sep in candidate or (os.altsep is not None and os.altsep in candidate)
            try:
                if is_path and not os.path.exists(candidate):
                    raise OSError("no such file")
                lib = ctypes.CDLL(candidate)
                missing = _declare(lib)
            except (OSError, AttributeError) as error:
                tried.append(f"{candidate}: {error}")
                # A library named explicitly that does not load is an error
                # of its own: silently taking another would hide it.
                if index == 0 and override:
                    break
                continue
            _library, _library_path = lib, candidate
            _missing.clear()
            _missing.update(missing)
            return lib
        if not found and not override:
            tried.append('ctypes.util.find_library("quenvira-vnc"): nothing found')
        raise LibraryNotFound(
            "cannot load the quenvira-vnc library; tried:\n  "
            + "\n  ".join(tried)
            + f"\nSet {ENV_VARIABLE} to the library's path, or install the library."
        )


def library_path() -> str:
    """The file the library was loaded from (loading it first); raises LibraryNotFound."""
    lib = library()
    return _loaded_file(lib) or str(_library_path)


def _loaded_file(lib: ctypes.CDLL) -> Optional[str]:
    """The loader's own idea of the file behind lib: a bare name tells nothing of where it was found."""
    try:
        if sys.platform == "win32":
            buf = ctypes.create_unicode_buffer(32768)
            n = ctypes.windll.kernel32.GetModuleFileNameW(ctypes.c_void_p(lib._handle), buf, len(buf))
            return buf.value if n else None

        class DlInfo(ctypes.Structure):
            _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                        ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

        dladdr = ctypes.CDLL(None).dladdr
        dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
        info = DlInfo()
        address = ctypes.cast(lib.vnc_version, ctypes.c_void_p)
        if dladdr(address, ctypes.byref(info)) and info.dli_fname:
            return os.path.realpath(os.fsdecode(info.dli_fname))
    except (AttributeError, OSError):
        pass
    return None


def has(name: str) -> bool:
    """Whether the library has the extension function ``name``."""
    library()
    return name not in _missing


def extension(name: str, what: str) -> Any:
    """The extension function ``name``; LibraryTooOld, naming ``what`` needs it, when the library lacks it."""
    lib = library()
    if name in _missing:
        raise LibraryTooOld(f"{what} needs a newer quenvira-vnc library: {_library_path} (version "
                           f"{version()}) has no {name}")
    return getattr(lib, name)


def decode(text: Optional[bytes]) -> str:
    return (text or b"").decode("utf-8", "replace")


def last_error() -> str:
    """vnc_last_error(): the most recent connection failure text in the process."""
    return decode(library().vnc_last_error())


def version() -> str:
    """vnc_version(): the library's version."""
    return decode(library().vnc_version())
