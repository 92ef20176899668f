"""The connection handle as a Python object, and the built-in test server."""

from __future__ import annotations

import ctypes
import enum
import logging
import os
import random
import threading
import time
from typing import Any, Dict, List, Optional, Tuple, Union

from . import _native
from .address import split_target
from .errors import (AuthenticationFailed, ConnectionFailed, ExpectTimeout, NotConnected, NotSupported, ResizeRefused,
                     Timeout, VncError)
from .image import Image, Rect, RegionLike, check_region
from .keysyms import KEYSYMS, char_keysym, chord
from .security import default_security, parse_security_info

POLL_SECONDS = 0.01
# The longest single wait for the library's events: whatever it misses, a
# look this often still sees.
MAX_EVENT_WAIT_SECONDS = 0.25
# Waiting for a resize's answer: read soon after it shows, the update count
# tells when the new size is whole (see resize).
ANSWER_POLL_SECONDS = 0.001
DEFAULT_TIMEOUT = 10.0
# Between the halves of a click and the clicks of a double click: some
# toolkits ignore a press and release that arrive in the same instant.
CLICK_GAP_SECONDS = 0.02
DRAG_STEPS = 10

_AUTH_FAILED_TEXT = "VNC Authentication failed"
# connect(reconnect=True): the first pause after a drop, doubled after each
# failed attempt up to the last; each pause is varied by the jitter (a
# fraction either way) so that many clients of one restarted server do not
# all knock at once.
RECONNECT_FIRST_SECONDS = 1.0
RECONNECT_MAX_SECONDS = 30.0
RECONNECT_JITTER = 0.2
_EVENT_STATUS = 2

log = logging.getLogger("quenvira_vnc")
_SCROLL_BUTTONS = {"up": 4, "down": 5, "left": 6, "right": 7}

# connect's keywords and the library's option names; True/False are on/off.
_OPTIONS = {"encodings": "encodings", "cursor": "cursor", "desktop_size": "desktop-size",
            "qemu_keys": "qemu-keys", "clipboard": "clipboard", "shared": "shared",
            "jpeg_quality": "jpeg-quality", "compress_level": "compress-level",
            "continuous_updates": "continuous-updates", "security": "security", "username": "username",
            "ca_file": "tls-ca-file", "pin": "tls-pin", "verify": "tls-verify",
            "rsa_pin": "rsa-pin"}
# Characters a US keyboard types with Shift: with qemu_keys the server sees
# the key's scancode, which carries no shift state, so type() holds Shift.
_SHIFTED = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZ~!@#$%^&*()_+{}|:\"<>?")
_RESIZE_REFUSALS = {1: "prohibited", 2: "out of resources", 3: "invalid layout"}


class Status(enum.IntEnum):
    ERROR = -1
    DISCONNECTED = 0
    CONNECTING = 1
    CONNECTED = 2


class Client:
    """One connection to a VNC server, with its copy of the remote screen.

    Use it as a context manager (or call ``close``)::

        with Client() as vnc:
            vnc.connect("127.0.0.1", 5901, password=os.environ.get("VNC_PASSWORD"))
            vnc.capture("screen.png")

    Coordinates are framebuffer pixels; buttons count from 1 (left, middle,
    right, 4/5 wheel up/down). Input may be sent from any thread; the other
    methods belong to one thread at a time.
    """

    def __init__(self) -> None:
        self._lib = _native.library()
        handle = self._lib.vnc_create()
        if not handle:
            text = _native.last_error()
            raise VncError(f"cannot create a client: {text}", text)
        self._handle: Optional[int] = handle
        self._x = 0
        self._y = 0
        self._buttons = 0
        # After a resize asked for here: the size and an update count the
        # library must pass before the picture is whole again.
        # After resize(): the update count at the resize, which the new
        # size's first whole picture goes past.
        self._resized_to: Optional[int] = None
        # The options set so far: the handle keeps them for later connects.
        self._options: Dict[str, str] = {}
        # Whether disconnect() ended the connection: then the last picture
        # stays readable; a connection that died on its own raises instead.
        self._left = False
        # connect(reconnect=True)'s loop, while one runs.
        self._watch: Optional[_Reconnector] = None
        # Hold Shift around upper case and shifted signs even without
        # qemu_keys (vncdotool's --force-caps), for servers that take the
        # keysym's key and not its case.
        self.force_caps = False

    # -- life cycle -------------------------------------------------------------

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def _h(self) -> int:
        if self._handle is None:
            raise VncError("the client is closed")
        return self._handle

    def connect(self, host: str, port: Optional[int] = None, password: Optional[str] = None,
                timeout: Optional[float] = None, *, encodings: Union[str, Tuple[str, ...], list, None] = None,
                cursor: Optional[str] = None, desktop_size: Optional[str] = None,
                qemu_keys: Optional[bool] = None, clipboard: Optional[str] = None,
                shared: Optional[bool] = None, jpeg_quality: Union[int, str, None] = None,
                compress_level: Union[int, str, None] = None, continuous_updates: Optional[bool] = None,
                security: Union[str, Tuple[str, ...], list, None] = None, username: Optional[str] = None,
                ca_file: Union[str, "os.PathLike[str]", None] = None, pin: Optional[str] = None,
                verify: Optional[bool] = None, rsa_pin: Optional[str] = None,
                reconnect: bool = False) -> "Client":
        """Connects (the whole handshake happens here) and returns self.

        Without ``port``, ``host`` may name it as vnc-do's -s does:
        "HOST" (5900), "HOST:DISPLAY" (5900 + DISPLAY), "HOST::PORT", IPv6
        in brackets ("[::1]::5901"); a bare IPv6 address means port 5900.

        The keywords are the library's opt-in options (None leaves one as it
        is; a set one stays for later connects of this client):
        ``encodings`` "tight,zrle,hextile,rre,copyrect,raw" (a preference, also
        as a list), ``jpeg_quality`` and ``compress_level`` 0-9 or "off"
        (Tight's: JPEG for photo-like areas, lossy; zlib effort), ``cursor`` "server" or "local" (the server leaves its pointer
        out of the picture and sends its shape, see ``cursor``),
        ``desktop_size`` "basic" or "extended" (for ``resize``), ``qemu_keys``
        (default True: keys also go as scancodes to servers that take them,
        QEMU's key event, so that QEMU types "!" and not "1"; the others
        ignore it), ``clipboard`` "latin1" or "utf8", ``shared`` (default
        True), ``continuous_updates`` (a server that takes them sends updates
        unasked, paced by its fences: many more over a slow link; ``sync``
        then uses a fence). A bad value raises ValueError; a library without options,
        LibraryTooOld.

        Security: ``security`` the types accepted, by preference (a list or
        "x509vnc,x509plain,x509none,tlsvnc,tlsplain,tlsnone,anontls,plain,vncauth,none";
        default, as the tools: the X.509 types, then anonymous TLS, then
        vncauth, then none; "plain" sends the password unencrypted and is
        used only when listed), ``username`` for the Plain types (the
        password is ``password``; it goes as UTF-8, and as Latin-1 to VNC
        authentication and MSLogonII, as their servers compare it), ``ca_file`` the CA certificates (PEM) to
        check the server's certificate with (default the system's),
        ``pin`` "sha256:HEX": accept exactly the certificate with that
        fingerprint, ``rsa_pin`` "sha256:HEX": accept exactly that RSA-AES
        server key (``security_info["rsa-sha256"]``), ``verify=False`` accept any certificate (unsafe). After
        a connect, also a refused one, ``security_info`` says what was
        negotiated and shows the certificate; the pin vnc-view remembered
        for a server is ``quenvira_vnc.known_host_pin(host, port)``.

        Raises AuthenticationFailed when the password was refused,
        ConnectionFailed for anything else (the library's text in ``.text``),
        Timeout when ``timeout`` seconds pass first. A timed-out attempt
        cannot be interrupted: its handle is given up (and freed once the
        attempt ends) and this client is closed.

        ``reconnect=True`` keeps the connection up once this connect has
        succeeded: when it ends other than by ``disconnect``/``close``, a
        thread connects again with the same address, password and options,
        after a pause of about 1 s that doubles with each failed attempt up
        to 30 s (varied by 20 % either way). Meanwhile ``grab`` returns the
        last picture; ``capture``, ``expect``, ``wait_for_frame`` and
        ``wait_for_update`` wait, within their timeouts, for the connection
        to come back and, where they need one, for its first whole picture;
        input raises NotConnected. A refused password ends the loop for good
        (``reconnect_error``); after that the client is a dead connection.
        Each drop and reconnect is logged as a warning on the
        "quenvira_vnc" logger, each failed attempt as info; ``reconnects``
        counts them and ``reconnecting`` is True while one is due.
        """
        if port is None:
            host, port = split_target(host)
        handle = self._h()
        self._stop_watch()
        if reconnect:
            for name in ("vnc_wait_event", "vnc_get_end_reason"):
                _native.extension(name, "connect(reconnect=True)")
        if qemu_keys is None and "qemu-keys" not in self._options and _native.has("vnc_set_option"):
            qemu_keys = True
        # Encryption preferred, as the tools do, where the library has it.
        if security is None and "security" not in self._options and _native.has("vnc_get_security_info"):
            security = default_security(username is not None or "username" in self._options)
        self._set_options(encodings=encodings, cursor=cursor, desktop_size=desktop_size, qemu_keys=qemu_keys,
                          clipboard=clipboard, shared=shared, jpeg_quality=jpeg_quality,
                          compress_level=compress_level, continuous_updates=continuous_updates,
                          security=security, username=username,
                          ca_file=os.fspath(ca_file) if ca_file is not None else None, pin=pin, verify=verify,
                          rsa_pin=rsa_pin)
        # UTF-8, which RSA-AES, Apple DH and Plain servers expect; the library
        # gives VNC authentication and MSLogonII the Latin-1 form they compare.
        # A library without the option takes Latin-1 for every type.
        utf8 = _native.has("vnc_set_option") and _native.extension("vnc_set_option", "connect")(
            handle, b"password-charset", b"utf8") == 0
        pw = password.encode("utf-8" if utf8 else "latin-1", "replace") if password else None
        args = (handle, host.encode("utf-8"), int(port), pw)
        if timeout is None:
            result = self._lib.vnc_connect(*args)
        else:
            result = self._connect_with_timeout(args, timeout)
        if result != 0:
            text = _native.last_error()
            reason = self._reason()
            kind = AuthenticationFailed if text == _AUTH_FAILED_TEXT else ConnectionFailed
            where = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
            raise kind(f"{where}: {with_reason(text or 'the server refused the connection', reason)}", text, reason)
        self._resized_to = None
        self._left = False
        self._x = self._y = self._buttons = 0
        if reconnect:
            where = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
            self._watch = _Reconnector(self._lib, args, where)
        return self

    def _stop_watch(self) -> None:
        watch, self._watch = self._watch, None
        if watch is not None:
            watch.stop()

    @property
    def reconnects(self) -> int:
        """How often connect(reconnect=True)'s loop has connected again after a drop."""
        return self._watch.reconnects if self._watch is not None else 0

    @property
    def reconnecting(self) -> bool:
        """True from a drop until the loop has connected again (the picture is the last one)."""
        watch = self._watch
        return watch is not None and watch.alive and (watch.down or self.status != Status.CONNECTED)

    @property
    def reconnect_error(self) -> Optional[VncError]:
        """Why connect(reconnect=True)'s loop stopped for good (a refused password), or None."""
        return self._watch.error if self._watch is not None else None

    def _repairing(self) -> bool:
        """Whether a connection that is down now will be connected again."""
        return self._watch is not None and self._watch.alive

    def _set_options(self, **values: Any) -> None:
        given = {key: value for key, value in values.items() if value is not None}
        if not given:
            return
        set_option = _native.extension("vnc_set_option", "connect(" + ", ".join(f"{k}=" for k in given) + ")")
        for key, value in given.items():
            if isinstance(value, bool):
                text = "on" if value else "off"
            elif isinstance(value, (list, tuple)):
                text = ",".join(str(v) for v in value)
            else:
                text = str(value)
            if set_option(self._h(), _OPTIONS[key].encode("utf-8"), text.encode("utf-8")) != 0:
                raise ValueError(f"{key}={value!r}: {_native.last_error()}")
            self._options[_OPTIONS[key]] = text

    def _connect_with_timeout(self, args: tuple, timeout: float) -> int:
        lib = self._lib
        state = {"result": -1, "abandoned": False}
        done = threading.Event()
        guard = threading.Lock()

        def attempt() -> None:
            result = lib.vnc_connect(*args)
            with guard:
                state["result"] = result
                done.set()
                if state["abandoned"]:
                    lib.vnc_destroy(args[0])

        threading.Thread(target=attempt, name="vnc_connect", daemon=True).start()
        if not done.wait(timeout):
            with guard:
                if not done.is_set():
                    state["abandoned"] = True
                    self._handle = None
                    raise Timeout(f"timed out after {timeout:g} s while connecting")
        return int(state["result"])

    def disconnect(self) -> None:
        """Closes the connection (and ends reconnecting); the last picture stays readable."""
        if self._handle is not None:
            self._left = True
            self._stop_watch()
            self._lib.vnc_disconnect(self._handle)

    def close(self) -> None:
        """Disconnects and frees the handle. Harmless when already closed."""
        if self._handle is not None:
            self._stop_watch()
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.vnc_destroy(handle)

    @property
    def status(self) -> Status:
        if self._handle is None:
            return Status.DISCONNECTED
        return Status(self._lib.vnc_get_status(self._handle))

    @property
    def connected(self) -> bool:
        return self.status == Status.CONNECTED

    @property
    def size(self) -> Tuple[int, int]:
        """(width, height) of the framebuffer; (0, 0) before the first connection."""
        w, h = ctypes.c_int(0), ctypes.c_int(0)
        self._lib.vnc_get_dimensions(self._h(), ctypes.byref(w), ctypes.byref(h))
        return (w.value, h.value)

    def _text(self, name: str, what: str, *serial: Any) -> str:
        """A text from one of the library's buffer getters, however long it is."""
        get = _native.extension(name, what)
        size = 256
        while True:
            buf = ctypes.create_string_buffer(size)
            n = get(self._h(), buf, size, *serial)
            if n < 0:
                raise VncError(f"{name} failed")
            if n < size:
                return buf.raw[:n].decode("utf-8", "replace")
            size = n + 1  # it grew since it was measured, or the first guess was short

    @property
    def desktop_name(self) -> str:
        """The desktop's name from the server's greeting (or its last rename)."""
        return self._text("vnc_get_desktop_name", "desktop_name")

    @property
    def clipboard(self) -> str:
        """The last clipboard text from the server ("" before any); setting it is ``paste``.

        Servers send their text when it changes on their side (Xvnc: when
        an X application takes the selection or clipboard); with
        ``clipboard="utf8"`` and a server that takes it, any Unicode, else
        Latin-1.
        """
        return self._text("vnc_get_cut_text", "clipboard", None)

    @clipboard.setter
    def clipboard(self, text: str) -> None:
        self.paste(text)

    @property
    def clipboard_serial(self) -> int:
        """A count that grows with every new clipboard text from the server."""
        serial = ctypes.c_uint(0)
        _native.extension("vnc_get_cut_text", "clipboard_serial")(self._h(), None, 0, ctypes.byref(serial))
        return serial.value

    @property
    def update_count(self) -> int:
        """Updates that drew something since the whole screen was first drawn (0 until then).

        1 or more: a full picture of this connection is in the framebuffer.
        """
        return int(_native.extension("vnc_get_update_count", "update_count")(self._h()))

    @property
    def security_info(self) -> Dict[str, str]:
        """What the last connect negotiated, also when it refused the certificate.

        Keys as the library gives them: "type" (as ``security`` names it),
        "tls-version", "tls-cipher", and for a certificate "subject",
        "issuer", "not-before", "not-after", "sha256" (its fingerprint,
        hex) and "verification" ("ok" or why not). Empty before a connect,
        and for a connect that got no further than the plain handshake.
        """
        return parse_security_info(self._text("vnc_get_security_info", "security_info"))

    @property
    def end_reason(self) -> str:
        """Why the last connect failed or the last connection ended, in detail ("" while connected)."""
        return self._text("vnc_get_end_reason", "end_reason")

    def _reason(self) -> str:
        """end_reason, or "" where it cannot be had (a closed client, an older library)."""
        if self._handle is None or not _native.has("vnc_get_end_reason"):
            return ""
        return self.end_reason

    def _not_connected(self, what: str) -> NotConnected:
        error = self.reconnect_error
        if error is not None:
            return NotConnected(f"{what}: {error}", reason=error.reason)
        reason = self._reason()
        return NotConnected(f"{what}: " + with_reason("not connected", reason), reason=reason)

    def _check_live(self, what: str) -> None:
        """Raises NotConnected when the connection died (not when disconnect() ended it,
        nor while it is being connected again)."""
        if not self._left and self.status != Status.CONNECTED and not self._repairing():
            raise self._not_connected(what)

    @property
    def cursor(self) -> Optional["Cursor"]:
        """The server's pointer shape (connect with ``cursor="local"``), or None when it sent none."""
        get = _native.extension("vnc_get_cursor", "cursor")
        w, h, hx, hy = (ctypes.c_int(0) for _ in range(4))
        serial = ctypes.c_uint(0)
        outputs = (ctypes.byref(w), ctypes.byref(h), ctypes.byref(hx), ctypes.byref(hy), ctypes.byref(serial))
        need = get(self._h(), None, 0, None, None, None, None, None)
        for _ in range(10):  # a new shape may come in between: measure again
            if need <= 0:
                return None
            buf = ctypes.create_string_buffer(need)
            got = get(self._h(), buf, need, *outputs)
            if got == need and w.value * h.value * 4 == need:
                bgra = buf.raw
                rgba = bytearray(need)  # memory order is blue, green, red, mask
                rgba[0::4], rgba[1::4], rgba[2::4], rgba[3::4] = bgra[2::4], bgra[1::4], bgra[0::4], bgra[3::4]
                return Cursor(w.value, h.value, hx.value, hy.value, bytes(rgba), serial.value)
            need = got
        raise VncError("the pointer shape kept changing while it was read")

    def resize(self, width: int, height: int, timeout: float = DEFAULT_TIMEOUT) -> Tuple[int, int]:
        """Asks the server to resize its desktop, waits until it has drawn the new size whole; returns the new size.

        Needs ``desktop_size="extended"`` at connect and a server that takes
        it (NotSupported otherwise). Raises ResizeRefused with the server's
        reason, Timeout when no answer or no whole picture comes within
        ``timeout`` (captures then go on waiting for that picture).
        """
        width, height = int(width), int(height)
        if not (1 <= width <= 65535 and 1 <= height <= 65535) or width * height > 1 << 27:
            raise ValueError(f"cannot ask for {width}x{height}: sides 1 to 65535, at most 2^27 pixels")
        request = _native.extension("vnc_request_desktop_size", "resize")
        status_of = _native.extension("vnc_get_desktop_size_status", "resize")
        deadline = time.monotonic() + timeout
        handle = self._h()
        serial = ctypes.c_uint(0)
        status_of(handle, ctypes.byref(serial))
        before = serial.value
        # The server shows that it can resize in its first update.
        while self.update_count == 0 and self.connected and time.monotonic() < deadline:
            self._pause(deadline)
        old_size = self.size
        if request(handle, width, height) != 0:
            if not self.connected:
                raise self._not_connected("cannot resize the desktop")
            if self._options.get("desktop-size") != "extended":
                raise NotSupported("resize needs connect(..., desktop_size=\"extended\")")
            raise NotSupported("the server does not offer desktop resizing (no ExtendedDesktopSize)")
        while True:
            status = status_of(handle, ctypes.byref(serial))
            if serial.value != before and status >= 0:
                break
            if not self.connected:
                raise self._not_connected("the connection ended while waiting for the resize")
            if time.monotonic() >= deadline:
                raise Timeout(f"timed out after {timeout:g} s waiting for the server to resize to {width}x{height}")
            time.sleep(ANSWER_POLL_SECONDS)
        # The answer comes with the resize, and every update before it has
        # been counted by the time it shows: read now, the count is at least
        # its value at the resize, where it stays until the new size has
        # been drawn whole. Read late, it may be past it, and the wait is for
        # one more update.
        base = self.update_count
        if status != 0:
            why = _RESIZE_REFUSALS.get(status, f"status {status}")
            raise ResizeRefused(f"the server refused to resize to {width}x{height}: {why}", status)
        if (width, height) != old_size:
            self._resized_to = base
            try:
                self.wait_for_frame(max(deadline - time.monotonic(), 0.0))
            finally:
                # Given up or not, later captures do not wait for it again.
                self._resized_to = None
        return self.size

    # -- screen -----------------------------------------------------------------

    def poll_update(self) -> Optional[Rect]:
        """The area changed since the last look, or None (does not wait)."""
        x, y, w, h = (ctypes.c_int() for _ in range(4))
        if not self._lib.vnc_get_dirty_rect(self._h(), ctypes.byref(x), ctypes.byref(y), ctypes.byref(w),
                                            ctypes.byref(h)):
            return None
        return Rect(x.value, y.value, w.value, h.value)

    def wait_for_update(self, timeout: float = DEFAULT_TIMEOUT) -> Optional[Rect]:
        """Waits for the screen to change; the changed rectangle, or None after ``timeout``."""
        deadline = time.monotonic() + timeout
        while True:
            r = self.poll_update()
            if r is not None:
                return r
            self._check_live("no more updates will come")
            if time.monotonic() >= deadline:
                return None
            self._pause(deadline)

    def _pause(self, deadline: float) -> None:
        """Until the library reports something (pixels, the status, ...) or ``deadline``.

        A library without vnc_wait_event is looked at again after a short sleep.
        """
        left = deadline - time.monotonic()
        if left <= 0:
            return
        if self._watch is not None:
            # Its thread is the handle's one waiter and passes the events on.
            self._watch.wait(min(left, MAX_EVENT_WAIT_SECONDS))
            return
        if not _native.has("vnc_wait_event"):
            time.sleep(min(POLL_SECONDS, left))
            return
        wait = _native.extension("vnc_wait_event", "waiting")
        wait(self._h(), int(min(left, MAX_EVENT_WAIT_SECONDS) * 1000) + 1)

    def _whole(self) -> bool:
        """Whether the framebuffer holds a whole picture of this connection."""
        count = int(_native.extension("vnc_get_update_count", "waiting for the whole screen")(self._h()))
        if self._resized_to is None:
            return count >= 1
        # Not the size asked for: a server may choose another one.
        return count > self._resized_to

    def sync(self, timeout: float = DEFAULT_TIMEOUT) -> str:
        """Waits until the server has handled everything sent so far and the
        updates it sent until then are in the picture.

        Returns how: "fence" (a server that takes Fence, with
        ``continuous_updates=True``) or "update" (an update it sent after
        handling the input). The screen shows an application's reaction to
        input only once the application has drawn it, which no server can
        promise. Raises Timeout, or NotConnected with the library's reason.
        """
        sync = _native.extension("vnc_sync", "sync")
        result = sync(self._h(), int(timeout * 1000))
        if result == 0:
            raise Timeout(f"timed out after {timeout:g} s waiting for the server to catch up")
        if result < 0:
            raise self._not_connected("cannot sync with the server")
        return "fence" if result == 1 else "update"

    def wait_for_frame(self, timeout: float = DEFAULT_TIMEOUT) -> Rect:
        """Waits until the whole screen has been drawn; returns it as Rect(0, 0, width, height).

        Whole: the server's first picture after the connect has arrived (the
        library's update count is 1 or more), and after ``resize`` every
        pixel has been drawn again at the new size.
        Returns at once when it is. Raises Timeout when ``timeout`` passes
        first, NotConnected (with the library's reason) when the connection
        has ended (unless ``disconnect`` ended it after a whole picture),
        LibraryTooOld with a library that does not count updates. The
        picture itself is ``capture``'s (the Rect is kept for the callers
        that compare it).
        """
        self._wait_whole(timeout, stale_ok=False)
        width, height = self.size
        return Rect(0, 0, width, height)

    def _wait_whole(self, timeout: float, stale_ok: bool) -> None:
        """wait_for_frame's wait; stale_ok takes the last picture while reconnecting."""
        deadline = time.monotonic() + timeout
        while not self._whole() or self.status != Status.CONNECTED:
            down = self.status != Status.CONNECTED
            if down and not self._repairing():
                if self._whole():
                    if self._left:
                        break
                    raise self._not_connected("cannot read the screen")
                if self.reconnect_error is not None:
                    raise self._not_connected("cannot read the screen")
                reason = self._reason()
                raise NotConnected("the connection ended before the whole screen arrived: "
                                   + (reason or "no reason given"), reason=reason)
            if down and stale_ok and self._whole():
                break
            if time.monotonic() >= deadline:
                if down:
                    raise Timeout(f"timed out after {timeout:g} s waiting for the connection to come back: "
                                  + (self._reason() or "no reason given"))
                after = " after the resize" if self._resized_to is not None else ""
                raise Timeout(f"timed out after {timeout:g} s waiting for the whole screen{after}: "
                              "the server has not drawn all of it")
            self._pause(deadline)

    def capture(self, path: Union[str, "os.PathLike[str]", None] = None, region: Optional[RegionLike] = None,
                timeout: float = DEFAULT_TIMEOUT, compress: str = "fast") -> Image:
        """The screen (or a region x, y, w, h of it) as an Image; with ``path`` also written
        (as Image.save writes it, ``compress`` too).

        Waits up to ``timeout`` for the whole screen first (see wait_for_frame):
        a picture is never returned before every pixel has been drawn.
        """
        self.wait_for_frame(timeout)
        image = self.grab(region)
        if path is not None:
            image.save(path, compress)
        return image

    def grab(self, region: Optional[RegionLike] = None) -> Image:
        """The framebuffer (or a region of it) as it is now, without waiting for anything.

        Raises Timeout (or NotConnected) while the whole screen has not been
        drawn yet (see wait_for_frame): its undrawn parts would show black.
        Raises NotConnected once the connection has died: the picture would
        be stale. After ``disconnect``, and while ``reconnecting``, the last
        picture stays readable.
        """
        self._wait_whole(0, stale_ok=True)
        handle = self._h()
        pixels = ctypes.c_void_p()
        stride, width, height = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        try:
            ok = self._lib.vnc_lock_framebuffer(handle, ctypes.byref(pixels), ctypes.byref(stride),
                                                ctypes.byref(width), ctypes.byref(height)) == 0
            if not ok or not pixels.value:
                raise VncError("there is no framebuffer yet")
            r = check_region(region, width.value, height.value)
            # Copy the rows under the lock, convert after it: the worker
            # cannot decode while we hold it.
            base = pixels.value + r.y * stride.value + r.x * 4
            if r.x == 0 and r.w == width.value and stride.value == r.w * 4:
                raw = ctypes.string_at(base, r.w * 4 * r.h)
            else:
                raw = b"".join(ctypes.string_at(base + j * stride.value, r.w * 4) for j in range(r.h))
        finally:
            self._lib.vnc_unlock_framebuffer(handle)
        rgb = bytearray(r.w * r.h * 3)
        rgb[0::3] = raw[2::4]  # memory order is blue, green, red, unused
        rgb[1::3] = raw[1::4]
        rgb[2::3] = raw[0::4]
        return Image(r.w, r.h, bytes(rgb))

    def expect(self, image_or_path: Union[Image, str, "os.PathLike[str]"], region: Optional[RegionLike] = None,
               timeout: float = DEFAULT_TIMEOUT, tolerance: int = 0, max_diff: int = 0) -> Image:
        """Waits until the screen (or a region) matches a reference picture; returns the screen seen.

        Matching means at most ``max_diff`` pixels whose largest channel
        difference exceeds ``tolerance``. Raises ExpectTimeout otherwise.
        """
        want = image_or_path if isinstance(image_or_path, Image) else Image.open(image_or_path)
        deadline = time.monotonic() + timeout
        # An undrawn screen may match a dark picture: compare whole ones only.
        self.wait_for_frame(timeout)
        while True:
            seen = self.grab(region)
            differing = seen.count_differences(want, tolerance)
            if differing <= max_diff:
                return seen
            left = deadline - time.monotonic()
            if left <= 0:
                if seen.size != want.size:
                    why = f"the area seen is {seen.width}x{seen.height}, the picture {want.width}x{want.height}"
                else:
                    why = f"{differing} pixels differ (allowed {max_diff}, tolerance {tolerance})"
                raise ExpectTimeout(f"the screen did not match within {timeout:g} s: {why}", differing)
            if not self.connected and not self._repairing():
                raise self._not_connected("the connection ended while waiting for the screen to match")
            # Look again only once something changed.
            self.wait_for_update(left)
            # A picture of the reconnected server only.
            self.wait_for_frame(max(deadline - time.monotonic(), 0.0))

    # -- input ------------------------------------------------------------------

    def _pointer(self) -> None:
        if self._lib.vnc_send_pointer(self._h(), self._x, self._y, self._buttons) != 0:
            raise self._not_connected("cannot send pointer input")

    def _send_key(self, sym: int, down: bool) -> None:
        if self._lib.vnc_send_key(self._h(), sym, 1 if down else 0) != 0:
            raise self._not_connected("cannot send key input")

    @staticmethod
    def _bit(button: int) -> int:
        if not 1 <= button <= 8:
            raise ValueError(f"button {button} is not 1 to 8")
        return 1 << (button - 1)

    def move(self, x: int, y: int) -> None:
        """Moves the pointer (with the buttons held as they are)."""
        self._x, self._y = int(x), int(y)
        self._pointer()

    def mouse_down(self, button: int = 1) -> None:
        self._buttons |= self._bit(button)
        self._pointer()

    def mouse_up(self, button: int = 1) -> None:
        self._buttons &= ~self._bit(button)
        self._pointer()

    def click(self, button: int = 1) -> None:
        """Presses and releases a button where the pointer is."""
        self.mouse_down(button)
        time.sleep(CLICK_GAP_SECONDS)
        self.mouse_up(button)

    def double_click(self, button: int = 1) -> None:
        self.click(button)
        time.sleep(CLICK_GAP_SECONDS)
        self.click(button)

    def drag(self, x: int, y: int, button: int = 1) -> None:
        """Presses a button where the pointer is, moves to (x, y) in steps, releases it there."""
        x0, y0 = self._x, self._y
        self.mouse_down(button)
        for step in range(1, DRAG_STEPS + 1):
            self.move(x0 + (int(x) - x0) * step // DRAG_STEPS, y0 + (int(y) - y0) * step // DRAG_STEPS)
            time.sleep(CLICK_GAP_SECONDS)
        self.mouse_up(button)

    def scroll(self, direction: str = "down", clicks: int = 1) -> None:
        """Turns the wheel: "up", "down" (buttons 4, 5) or "left", "right" (6, 7)."""
        button = _SCROLL_BUTTONS.get(direction)
        if button is None:
            raise ValueError(f"scroll direction {direction!r} is not up, down, left or right")
        for _ in range(clicks):
            self.click(button)

    def _shifting(self) -> bool:
        """Whether Shift is held around shifted characters: the scancodes carry no case."""
        return self.force_caps or self._options.get("qemu-keys") == "on"

    def _chord(self, keys: str) -> List[int]:
        syms = chord(keys)
        # A shifted sign alone ("exclam", "A") with Shift, as type() sends it.
        if len(syms) == 1 and syms[0] < 0x80 and chr(syms[0]) in _SHIFTED and self._shifting():
            syms.insert(0, KEYSYMS["Shift_L"])
        return syms

    def key(self, keys: str) -> None:
        """Presses a key or chord and releases it: "Return", "enter", "ctrl-alt-del", "shift-F10".

        Keys are pressed left to right and released right to left. A
        shifted character alone ("exclam", "A") comes with Shift while
        ``type`` would hold it (see there).
        """
        syms = self._chord(keys)
        for sym in syms:
            self._send_key(sym, True)
        for sym in reversed(syms):
            self._send_key(sym, False)

    def key_down(self, keys: str) -> None:
        for sym in self._chord(keys):
            self._send_key(sym, True)

    def key_up(self, keys: str) -> None:
        for sym in reversed(self._chord(keys)):
            self._send_key(sym, False)

    def type(self, text: str) -> None:
        """Types text key by key: Latin-1 as its keysym, other characters as Unicode
        keysyms, newline as Return, tab as Tab. With ``qemu_keys`` on (the
        default) or ``force_caps``, Shift is held around upper case letters
        and shifted US punctuation; else upper case is left to the server."""
        # "\r\n" is one line end; everything is checked before anything is sent.
        text = text.replace("\r\n", "\n")
        syms = [char_keysym(ch) for ch in text]
        shift = KEYSYMS["Shift_L"] if self._shifting() else None
        held = False
        for ch, sym in zip(text, syms):
            if shift is not None and (ch in _SHIFTED) != held:
                held = not held
                self._send_key(shift, held)
            self._send_key(sym, True)
            self._send_key(sym, False)
        if held:
            self._send_key(shift, False)

    def paste(self, text: str) -> None:
        """Puts text on the server's clipboard.

        RFB carries clipboard text as Latin-1: characters outside it become
        "?", unless the client connected with ``clipboard="utf8"`` to a server
        that takes UTF-8.
        """
        if self._options.get("clipboard") == "utf8":
            data = text.encode("utf-8")  # the library falls back to Latin-1 itself
        else:
            data = text.encode("latin-1", "replace")
        if self._lib.vnc_send_client_cut_text(self._h(), data, len(data)) != 0:
            raise self._not_connected("cannot send clipboard text")


class _Reconnector:
    """connect(reconnect=True)'s thread: the handle's only caller of
    vnc_wait_event, it passes the events on to the Client's waits and, when
    the connection ends by itself, connects again with backoff.

    It holds the handle, never the Client, so that a forgotten Client can
    still be collected (and closed, which stops it).
    """

    def __init__(self, lib: Any, args: tuple, where: str) -> None:
        self.lib, self.args, self.where = lib, args, where
        self.handle = args[0]
        self.stopping = threading.Event()
        self.changed = threading.Condition()
        self.bits = 0
        self.reconnects = 0
        self.down = False  # between a drop and the reconnect that repairs it
        self.error: Optional[VncError] = None  # why it gave up for good
        self.thread = threading.Thread(target=self._run, name="vnc-reconnect", daemon=True)
        self.thread.start()

    @property
    def alive(self) -> bool:
        """Whether a drop is still going to be repaired."""
        return self.error is None and not self.stopping.is_set()

    def stop(self) -> None:
        """Ends the loop; vnc_disconnect abandons an attempt under way and wakes the wait."""
        self.stopping.set()
        self.lib.vnc_disconnect(self.handle)
        if threading.current_thread() is self.thread:
            return
        # An attempt that began just after that vnc_disconnect is not
        # abandoned by it: again until the thread has left.
        while self.thread.is_alive():
            self.thread.join(0.05)
            self.lib.vnc_disconnect(self.handle)

    def wait(self, seconds: float) -> None:
        """Until an event comes (or came since the last call), or seconds pass."""
        with self.changed:
            if not self.bits:
                self.changed.wait(seconds)
            self.bits = 0

    def _post(self, bits: int) -> None:
        with self.changed:
            self.bits |= bits
            self.changed.notify_all()

    def _reason(self) -> str:
        buf = ctypes.create_string_buffer(512)
        self.lib.vnc_get_end_reason(self.handle, buf, len(buf))
        return buf.value.decode("utf-8", "replace")

    def _run(self) -> None:
        lib, handle = self.lib, self.handle
        while not self.stopping.is_set():
            # Bounded, so that nothing can keep it from seeing the stop.
            bits = lib.vnc_wait_event(handle, int(MAX_EVENT_WAIT_SECONDS * 1000))
            if bits < 0:
                return
            if bits:
                self._post(bits)
            if self.stopping.is_set() or lib.vnc_get_status(handle) == Status.CONNECTED:
                continue
            self.down = True
            log.warning("%s: the connection was lost (%s); reconnecting", self.where,
                        self._reason() or "no reason given")
            if not self._repair():
                return
            self.down = False
            self.reconnects += 1
            log.warning("%s: reconnected", self.where)
            self._post(_EVENT_STATUS)

    def _repair(self) -> bool:
        """Connects again until it works (True), the password is refused or stop() is called."""
        delay = RECONNECT_FIRST_SECONDS
        while True:
            pause = delay * random.uniform(1 - RECONNECT_JITTER, 1 + RECONNECT_JITTER)
            if self.stopping.wait(pause):
                return False
            result = self.lib.vnc_connect(*self.args)
            if self.stopping.is_set():
                # stop() came between its look and this attempt's start.
                self.lib.vnc_disconnect(self.handle)
                return False
            if result == 0:
                return True
            text, reason = _native.last_error(), self._reason()
            if text == _AUTH_FAILED_TEXT or _AUTH_FAILED_TEXT in reason:
                self.error = AuthenticationFailed(
                    f"{self.where}: reconnecting stopped: {with_reason(_AUTH_FAILED_TEXT, reason)}",
                    _AUTH_FAILED_TEXT, reason)
                log.error("%s", self.error)
                self._post(_EVENT_STATUS)
                return False
            delay = min(delay * 2, RECONNECT_MAX_SECONDS)
            log.info("%s: reconnecting failed (%s); next try in about %g s", self.where,
                     with_reason(text, reason) or "no reason given", delay)


class Cursor:
    """The server's pointer shape: ``width`` x ``height`` pixels as ``rgba`` (4 bytes a
    pixel, alpha 0 transparent or 255 opaque), the hot spot (``hot_x``, ``hot_y``) and
    ``serial``, which grows with every new shape."""

    __slots__ = ("width", "height", "hot_x", "hot_y", "rgba", "serial")

    def __init__(self, width: int, height: int, hot_x: int, hot_y: int, rgba: bytes, serial: int = 0) -> None:
        if len(rgba) != width * height * 4:
            raise ValueError(f"{len(rgba)} bytes are not a {width}x{height} RGBA picture")
        self.width, self.height, self.hot_x, self.hot_y, self.serial = width, height, hot_x, hot_y, serial
        self.rgba = bytes(rgba)

    def __repr__(self) -> str:
        return f"Cursor({self.width}x{self.height}, hot spot {self.hot_x},{self.hot_y})"

    @property
    def image(self) -> Image:
        """The colours as an Image (transparent pixels keep whatever colour they have)."""
        rgb = bytearray(self.width * self.height * 3)
        for c in range(3):
            rgb[c::3] = self.rgba[c::4]
        return Image(self.width, self.height, bytes(rgb))

    @property
    def mask(self) -> bytes:
        """One byte a pixel: 0 transparent, 255 opaque."""
        return self.rgba[3::4]

    def to_pil(self) -> Any:
        """A Pillow ``Image`` in mode RGBA (needs Pillow)."""
        from . import image as _image
        if _image._PIL is None:
            raise RuntimeError("to_pil() needs Pillow (Debian: python3-pil)")
        return _image._PIL.frombytes("RGBA", (self.width, self.height), self.rgba)


class TestServer:
    """The library's built-in RFB server on 127.0.0.1, as a context manager.

    It serves one client at a time a fixed 640 x 480 picture (a 32 x 32
    gradient and a green square with a red centre on black). There is one per
    process: starting another stops the first. ``port=None`` takes the first
    free port from 25900 upward.
    """

    __test__ = False  # not a pytest test class

    FIRST_PORT = 25900
    PORT_COUNT = 100

    def __init__(self, port: Optional[int] = None, password: Optional[str] = None) -> None:
        self.port = port
        self.password = password
        self._lib = _native.library()
        self._running = False

    def start(self) -> "TestServer":
        pw = self.password.encode("latin-1", "replace") if self.password else None
        ports = [self.port] if self.port else range(self.FIRST_PORT, self.FIRST_PORT + self.PORT_COUNT)
        for port in ports:
            if self._lib.vnc_test_server_start(port, pw) == 0:
                self.port = port
                self._running = True
                return self
        if self.port:
            raise VncError(f"cannot start the test server: port {self.port} cannot be bound")
        raise VncError(f"cannot start the test server: ports {self.FIRST_PORT} to "
                       f"{self.FIRST_PORT + self.PORT_COUNT - 1} are all taken")

    def stop(self) -> None:
        if self._running:
            self._lib.vnc_test_server_stop()
            self._running = False

    def __enter__(self) -> "TestServer":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def with_reason(text: str, reason: str) -> str:
    """A failure's text with the library's detail of it, when that adds anything."""
    if not reason or reason == text:
        return text
    if not text or reason.startswith(text):
        return reason
    return f"{text} ({reason})"
