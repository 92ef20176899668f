"""The package's exceptions. Every one is a VncError."""

from __future__ import annotations

from typing import Optional


class VncError(Exception):
    """A failure of the library or of this package; ``text`` is the library's own text, if any,
    ``reason`` why the connection failed or ended in the library's detail ("" when it gave none)."""

    def __init__(self, message: str, text: Optional[str] = None, reason: str = "") -> None:
        super().__init__(message)
        self.text = text if text is not None else message
        self.reason = reason


class LibraryNotFound(VncError, ImportError):
    """The shared library could not be loaded; the message lists every place tried."""


class ConnectionFailed(VncError):
    """Host not found, unreachable, refused, or the handshake broke off."""


class AuthenticationFailed(ConnectionFailed):
    """The server refused the password (or wanted one and none was given)."""


class NotConnected(VncError):
    """Input was sent, or a picture awaited, without a live connection."""


class NotSupported(VncError):
    """The loaded library is too old for the feature asked for, or the server does not offer it."""


class LibraryTooOld(NotSupported):
    """The loaded library lacks a function the feature needs."""


class ResizeRefused(VncError):
    """The server answered a desktop resize with a refusal; ``status`` is its code (1 to 3)."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class Timeout(VncError):
    """A wait ran out of time."""


class ExpectTimeout(Timeout):
    """``expect`` saw no matching screen in time; ``differing`` counts the last mismatch."""

    def __init__(self, message: str, differing: int) -> None:
        super().__init__(message)
        self.differing = differing
