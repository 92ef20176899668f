"""quenvira-vnc for Python: watch and drive a VNC (RFB) server.

Take a picture of a running server::

    import quenvira_vnc
    with quenvira_vnc.Client() as vnc:
        vnc.connect("127.0.0.1", 5901).capture("screen.png")

The shared library is found through QUENVIRA_VNC_LIBRARY, then beside this
package, then by the system's loader. Only the standard library is needed;
Pillow and numpy are used when installed (``Image.to_pil``, ``Image.to_numpy``,
faster comparisons, more picture formats for ``expect``).
"""

from ._native import library_path, last_error, version
from .client import Client, Cursor, Status, TestServer
from .errors import (AuthenticationFailed, ConnectionFailed, ExpectTimeout, LibraryNotFound, LibraryTooOld,
                     NotConnected, NotSupported, ResizeRefused, Timeout, VncError)
from .image import Image, Rect
from .keysyms import KEYSYMS, char_keysym, chord, keysym
from .security import default_security, known_host_pin, known_hosts_path

__all__ = [
    "AuthenticationFailed", "Client", "ConnectionFailed", "Cursor", "ExpectTimeout", "Image", "KEYSYMS",
    "LibraryNotFound", "LibraryTooOld", "NotConnected", "NotSupported", "Rect", "ResizeRefused", "Status",
    "TestServer", "Timeout", "VncError",
    "char_keysym", "chord", "default_security", "keysym", "known_host_pin", "known_hosts_path", "last_error",
    "library_path", "version",
]
__version__ = "1.0.1"
