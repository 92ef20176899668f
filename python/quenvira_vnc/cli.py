"""vnc-do: drive a VNC server from the command line, one chain of commands a run."""

from __future__ import annotations

import os
import re
import shlex
import sys
import time
from typing import Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

from . import _native
from .address import AddressError, parse_target
from .client import DEFAULT_TIMEOUT, Client, TestServer
from .errors import (AuthenticationFailed, ConnectionFailed, ExpectTimeout, LibraryNotFound, LibraryTooOld,
                     NotConnected, NotSupported, ResizeRefused, Timeout, VncError)
from .image import Image, Rect
from .keysyms import char_keysym, chord
from .security import known_host_pin, known_hosts_path

PROG = "vnc-do"

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_CONNECT = 3
EXIT_AUTH = 4
EXIT_TIMEOUT = 5
EXIT_OUTPUT = 6
EXIT_EXPECT = 7
EXIT_REFUSED = 8

MAX_PASSWORD_FILE_BYTES = 4096

HELP = f"""\
Usage: {PROG} [OPTIONS] COMMAND [ARGS...] [COMMAND [ARGS...]]...

Connects to a VNC (RFB) server and runs the commands in order, e.g.
  {PROG} -s host:1 capture shot.png move 100 200 click 1 type "hello" key enter expect ok.png

Options (before the first command):
  -s, --server HOST[:DISPLAY|::PORT]
                         the server: HOST is port 5900, HOST:N port 5900 + N,
                         HOST::PORT that port; IPv6 in brackets ([::1]::5901)
  --demo                 start the library's built-in test server on a free
                         loopback port and use it instead of --server
  --password-env NAME    password from environment variable NAME
                         (default: VNC_PASSWORD, when it is set)
  --password-file FILE   password from the first line of FILE
  -p, --password PW      the password itself (visible in the process list:
                         prefer the two above)
  --security LIST        security types to accept, by preference, from
                         x509vnc, x509plain, x509none, tlsvnc, tlsplain,
                         tlsnone, anontls, plain, vncauth and none (default:
                         the X.509 types, then anonymous TLS, then vncauth,
                         then none; plain, a password sent unencrypted, only
                         when listed)
  --username NAME        the user name for the Plain types (wayvnc, VeNCrypt
                         servers with user logins); the password as above
  --ca-file FILE         trust the CA certificates in FILE (PEM) for the
                         server's certificate (default: the system's)
  --pin sha256:HEX       accept the server's certificate when its SHA-256
                         fingerprint is HEX, and no other, whoever signed it
  --insecure             accept any certificate (unsafe: anyone between here
                         and the server can read and change everything)
  -t, --timeout SECONDS  limit for connecting, for the whole screen and for
                         each expect and resize (default {DEFAULT_TIMEOUT:g})
  --tolerance N          expect: largest channel difference still counted as
                         equal (default 0)
  --max-diff N           expect: pixels allowed to differ (default 0)
  --delay MS             wait MS milliseconds after each command (default 0:
                         commands go out in order on one connection anyway)
  --encodings LIST       the encodings to offer, by preference, from tight,
                         zrle, hextile, rre, copyrect, raw (default: all but
                         tight, in this order)
  --jpeg-quality Q       0-9 or off: Tight may send photo-like areas as JPEG
                         (lossy: not for exact expects; puts tight first when
                         --encodings is not given)
  --cursor local|server  local: the server leaves its pointer out of the
                         screen, so captures show none (default server: the
                         pointer is in the picture when the server draws it)
  --nocursor             the same as --cursor local
  --no-qemu-keys         keys go as keysyms only; by default they go also as
                         scancodes of a US keyboard to servers that take them
                         (QEMU's key event, which others ignore), and type
                         and a lone key such as 'key at' hold Shift for upper
                         case and shifted signs, as the scancodes carry no
                         case (--qemu-keys: the default, said explicitly)
  --force-caps           hold Shift for upper case and shifted signs also
                         with --no-qemu-keys
  --no-sync              do not wait, before a capture, expect or clipboard
                         that follows input, until the server has handled
                         the input and sent what it drew by then (the
                         default waits; see Sync below)
  --continuous-updates   ask a server that takes them to send updates
                         unasked (many more over a slow link); syncs then
                         use a fence
  --clipboard latin1|utf8
                         utf8: clipboard text in UTF-8 with servers that take
                         it (Extended Clipboard), else as Latin-1 (default)
  -v, --verbose          report progress on stderr
  -h, --help             show this help and exit
  --version              show the versions and exit

Commands (REGION is X,Y,W,H; BUTTON 1 left, 2 middle, 3 right):
  capture FILE [REGION]  write the screen (or a region) as a PNG
  expect FILE [REGION]   wait until the screen (or region) matches the picture
  move X Y               move the pointer
  click [BUTTON]         press and release a button (default 1)
  doubleclick [BUTTON]   click twice
  mousedown [BUTTON], mouseup [BUTTON]
                         press, release a button (default 1)
  drag X Y [BUTTON]      hold a button while moving to X Y
  scroll up|down|left|right [COUNT]
                         turn the wheel COUNT steps (default 1)
  key CHORD              press and release keys: enter, Return, ctrl-alt-del,
                         shift-F10, 0xff0d (X keysym names and aliases)
  keydown CHORD, keyup CHORD
                         press, release keys (held until released)
  type TEXT              type text (any Unicode; a newline in TEXT is Return,
                         a tab Tab)
  paste TEXT             put text on the server's clipboard (Latin-1 unless
                         --clipboard utf8 took: other characters become '?')
  clipboard              print the server's clipboard text: the last it sent
                         since connecting (empty if none), with a newline
                         after it when it has none
  resize W H             ask the server to resize its desktop to W x H and
                         wait until it has drawn the new size (the server
                         must support it)
  pause SECONDS          wait (also: sleep)
  FILE or -              run the commands in FILE (or standard input): words
                         as in a shell, '#' starts a comment

vncdotool's forms work too: mousemove X Y (move), rcapture FILE X Y W H,
rexpect FILE X Y [N] (the picture's size at X Y), expect FILE N, where N is
taken as the --tolerance of that expect (vncdotool's N is an RMS over colour
histograms; a channel difference per pixel is stricter about where pixels
differ), and its key names (bsp, bslash, fslash, lshift, rctrl, ralt, lmeta,
lsuper, spacebar, kpenter, kp0 ...).

capture and expect wait until the server has drawn every pixel of its
screen (after a resize: of its new size); a capture that times out waiting
writes nothing. expect then compares the screen after every update until
it matches or --timeout passes.

Sync: a capture, expect or clipboard that follows input first waits until
the server has handled that input and every update it sent by then is in
the picture (a fence with --continuous-updates and a server that takes it,
else a request of the server's top-left pixel that it answers after the
input), and then until no update has come for 0.1 s, so that what the
application drew in reply is in too; --no-sync leaves the wait out.

Certificates: X.509 types check the server's certificate against the CA
certificates and the server's name. A server whose certificate vnc-view was
told to trust has its fingerprint in the known-hosts file ($XDG_CONFIG_HOME
or ~/.config, then quenvira-vnc/known_hosts; on Windows %APPDATA% in their
place; one "HOST:PORT sha256:HEX" a line); that pin is used unless --pin,
--ca-file or --insecure is given.
vnc-do never asks.

Exit status:
  0  all commands done
  1  internal failure (library not found, test server would not start)
  2  usage error, or the password or a reference picture cannot be read
  3  host not found, unreachable, refused, handshake failed (the server's
     certificate refused included), connection lost (also before the whole
     screen arrived)
  4  authentication failed (wrong or missing password)
  5  timed out connecting, waiting for the whole screen, or for the answer
     to a resize
  6  a capture could not be written
  7  an expect timed out: the screen never matched
  8  the server refused a resize, or does not support it
"""


class UsageError(Exception):
    pass


class Step:
    """One parsed command: its words (for messages) and what it does."""

    def __init__(self, words: Sequence[str], run: Callable[[Client], None]) -> None:
        self.words = list(words)
        self.run = run


class Options:
    def __init__(self) -> None:
        self.server: Optional[str] = None
        self.demo = False
        self.password_sources: List[Tuple[str, str]] = []
        self.timeout = DEFAULT_TIMEOUT
        self.tolerance = 0
        self.max_diff = 0
        self.verbose = False
        self.delay = 0.0
        self.force_caps = False
        self.sync = True
        self.commands: List[str] = []
        # connect's keywords: only what the command line asked for.
        self.connect_options: Dict[str, object] = {}


def parse_options(argv: Sequence[str]) -> Options:
    o = Options()
    i = 0
    with_value = {"-s", "--server", "-p", "--password", "--password-env", "--password-file",
                  "-t", "--timeout", "--tolerance", "--max-diff", "--delay", "--encodings", "--jpeg-quality", "--cursor",
                  "--clipboard", "--security", "--username", "--ca-file", "--pin"}
    choices = {"--cursor": ("local", "server"), "--clipboard": ("latin1", "utf8")}
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            i += 1
            break
        if not arg.startswith("-") or arg == "-":
            break
        name, eq, value = arg.partition("=") if arg.startswith("--") else (arg, "", "")
        if name in ("-h", "--help"):
            print(HELP, end="")
            raise SystemExit(EXIT_OK)
        if name == "--version":
            print(f"{PROG} (quenvira-vnc {_native.version()})")
            raise SystemExit(EXIT_OK)
        if name in ("-v", "--verbose"):
            o.verbose = True
        elif name == "--demo":
            o.demo = True
        elif name == "--qemu-keys":
            o.connect_options["qemu_keys"] = True
        elif name == "--no-qemu-keys":
            o.connect_options["qemu_keys"] = False
        elif name == "--nocursor":
            o.connect_options["cursor"] = "local"
        elif name == "--force-caps":
            o.force_caps = True
        elif name == "--no-sync":
            o.sync = False
        elif name == "--continuous-updates":
            o.connect_options["continuous_updates"] = True
        elif name == "--insecure":
            o.connect_options["verify"] = False
        elif name in with_value:
            if not eq:
                if i + 1 >= len(argv):
                    raise UsageError(f"{name} needs a value")
                i += 1
                value = argv[i]
            if name in ("-s", "--server"):
                o.server = value
            elif name in ("-p", "--password", "--password-env", "--password-file"):
                if name != "-p" and name != "--password" and not value:
                    raise UsageError(f"{name} needs a value")
                o.password_sources.append((name, value))
            elif name in ("-t", "--timeout"):
                o.timeout = _number(value, name, 1e-3, 86400.0)
            elif name == "--delay":
                o.delay = _number(value, name, 0, 3600e3) / 1000
            elif name in ("--security", "--username", "--ca-file", "--pin"):
                if not value and name != "--username":
                    raise UsageError(f"{name} needs a value")
                o.connect_options[name[2:].replace("-", "_")] = value  # the library judges it
            elif name == "--encodings":
                o.connect_options["encodings"] = value  # the library judges the list
            elif name == "--jpeg-quality":
                o.connect_options["jpeg_quality"] = value
                if value != "off":
                    o.connect_options.setdefault("encodings", "tight,zrle,hextile,rre,copyrect,raw")
            elif name in choices:
                if value not in choices[name]:
                    raise UsageError(f"{name} needs {' or '.join(choices[name])}, not '{value}'")
                o.connect_options[name[2:]] = value
            else:
                n = _number(value, name, 0, 1 << 30)
                if n != int(n):
                    raise UsageError(f"{name} needs a whole number")
                if name == "--tolerance":
                    o.tolerance = int(n)
                else:
                    o.max_diff = int(n)
        else:
            raise UsageError(f"unknown option '{arg}'")
        i += 1
    o.commands = list(argv[i:])
    if len(o.password_sources) > 1:
        raise UsageError("give the password one way only (--password-env, --password-file or -p)")
    if "pin" in o.connect_options and "verify" in o.connect_options:
        raise UsageError("--pin and --insecure contradict each other: give one")
    if o.demo == (o.server is not None):
        raise UsageError("give a server with -s HOST[:DISPLAY|::PORT], or --demo")
    if not o.commands:
        raise UsageError("no commands")
    return o


def _number(text: str, what: str, low: float, high: float) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not low <= value <= high:
        raise UsageError(f"{what} needs a number from {low:g} to {high:g}, not '{text}'")
    return value


def load_password(o: Options) -> Optional[str]:
    if not o.password_sources:
        return os.environ.get("VNC_PASSWORD")
    kind, value = o.password_sources[0]
    if kind in ("-p", "--password"):
        return value
    if kind == "--password-env":
        if value not in os.environ:
            raise UsageError(f"environment variable {value} (from --password-env) is not set")
        return os.environ[value]
    try:
        with open(value, "rb") as f:
            first = f.read(MAX_PASSWORD_FILE_BYTES).split(b"\n", 1)[0]
    except OSError as error:
        raise UsageError(f"cannot read password file '{value}': {error.strerror}") from None
    first = first.rstrip(b"\r")
    # UTF-8, as a terminal writes it; a file that is not UTF-8 is read as
    # Latin-1, whose form VNC authentication gets back byte for byte.
    try:
        return first.decode("utf-8")
    except UnicodeDecodeError:
        return first.decode("latin-1")


MAX_SCRIPT_WORDS = 100000


def _script_words(source: str) -> List[str]:
    """The command words of a script file, or of standard input for '-'."""
    try:
        if source == "-":
            text = sys.stdin.read()
        else:
            with open(source, encoding="utf-8") as f:
                text = f.read()
        return shlex.split(text, comments=True)
    except OSError as error:
        raise UsageError(f"cannot read script '{source}': {error.strerror}") from None
    except ValueError as error:
        raise UsageError(f"script '{source}': {error}") from None


# After a sync, how long the screen must stay still before it is read.
SETTLE_SECONDS = 0.1
# Commands that send input, and those that read what the server shows.
INPUT_COMMANDS = frozenset({"move", "mousemove", "click", "doubleclick", "double-click", "mousedown",
                            "mouseup", "drag", "scroll", "key", "keydown", "keyup", "type", "paste"})
READ_COMMANDS = frozenset({"capture", "rcapture", "expect", "rexpect", "clipboard"})


def parse_commands(words: Sequence[str], o: Options) -> List[Step]:
    """Turns the command words into steps, checking everything that can be checked before connecting."""
    steps: List[Step] = []
    words = list(words)
    i = 0

    def take(what: str) -> str:
        nonlocal i
        if i >= len(words):
            raise UsageError(f"'{name}' needs {what}")
        i += 1
        return words[i - 1]

    def integer(what: str, low: int = -(1 << 15), high: int = (1 << 16) - 1) -> int:
        text = take(what)
        if not re.fullmatch(r"-?[0-9]+", text) or not low <= int(text) <= high:
            raise UsageError(f"'{name}' needs {what}, a whole number from {low} to {high}, not '{text}'")
        return int(text)

    def optional_int(what: str, default: int, low: int, high: int) -> int:
        if i < len(words) and re.fullmatch(r"[0-9]+", words[i]):
            return integer(what, low, high)
        return default

    def optional_region() -> Optional[Rect]:
        nonlocal i
        if i < len(words) and re.fullmatch(r"-?[0-9]+(,-?[0-9]+){3}", words[i]):
            x, y, w, h = (int(v) for v in words[i].split(","))
            i += 1
            if x < 0 or y < 0 or w <= 0 or h <= 0:
                raise UsageError(f"'{name}' region needs X,Y >= 0 and W,H > 0")
            return Rect(x, y, w, h)
        return None

    def picture(path: str) -> Image:
        try:
            return Image.open(path)
        except (OSError, ValueError) as error:
            raise UsageError(f"cannot read picture '{path}': {error}") from None

    def key_chord() -> str:
        keys = take("a key chord")
        try:
            chord(keys)
        except ValueError as error:
            raise UsageError(str(error)) from None
        return keys

    while i < len(words):
        start = i
        name = words[i]
        i += 1
        run: Callable[[Client], None]
        if name == "capture":
            path = take("a file name")
            region = optional_region()
            run = lambda c, p=path, r=region: _capture(c, p, r, o)
        elif name == "rcapture":
            path = take("a file name")
            x, y = integer("X", 0), integer("Y", 0)
            w, h = integer("W", 1), integer("H", 1)
            run = lambda c, p=path, r=Rect(x, y, w, h): _capture(c, p, r, o)
        elif name in ("expect", "rexpect"):
            path = take("a picture file")
            want = picture(path)
            if name == "rexpect":
                x, y = integer("X", 0), integer("Y", 0)
                region: Optional[Rect] = Rect(x, y, want.width, want.height)
            else:
                region = optional_region()
            tolerance = o.tolerance
            if (region is None or name == "rexpect") and i < len(words) and re.fullmatch(r"[0-9]+(\.[0-9]*)?",
                                                                                         words[i]):
                # vncdotool's fuzz argument: any number; from 255 up everything matches.
                tolerance = min(int(float(take("a tolerance"))), 255)
            run = lambda c, w=want, r=region, t=tolerance: c.expect(w, r, o.timeout, t, o.max_diff) and None
        elif name in ("move", "mousemove"):
            x, y = integer("X"), integer("Y")
            run = lambda c, x=x, y=y: c.move(x, y)
        elif name in ("click", "doubleclick", "double-click", "mousedown", "mouseup"):
            button = optional_int("a button", 1, 1, 8)
            method = {"click": "click", "doubleclick": "double_click", "double-click": "double_click",
                      "mousedown": "mouse_down", "mouseup": "mouse_up"}[name]
            run = lambda c, m=method, b=button: getattr(c, m)(b)
        elif name == "drag":
            x, y = integer("X"), integer("Y")
            button = optional_int("a button", 1, 1, 8)
            run = lambda c, x=x, y=y, b=button: c.drag(x, y, b)
        elif name == "scroll":
            direction = take("up, down, left or right")
            if direction not in ("up", "down", "left", "right"):
                raise UsageError(f"'scroll' needs up, down, left or right, not '{direction}'")
            count = optional_int("a count", 1, 1, 1000)
            run = lambda c, d=direction, n=count: c.scroll(d, n)
        elif name in ("key", "keydown", "keyup"):
            keys = key_chord()
            method = {"key": "key", "keydown": "key_down", "keyup": "key_up"}[name]
            run = lambda c, m=method, s=keys: getattr(c, m)(s)
        elif name == "type":
            text = take("a text")
            try:
                for ch in text:
                    char_keysym(ch)
            except ValueError as error:
                raise UsageError(str(error)) from None
            run = lambda c, t=text: c.type(t)
        elif name == "paste":
            text = take("a text")
            run = lambda c, t=text: c.paste(t)
        elif name == "clipboard":
            run = lambda c: _print_clipboard(c, o)
        elif name == "resize":
            w, h = integer("W", 1, 65535), integer("H", 1, 65535)
            o.connect_options["desktop_size"] = "extended"  # the only way it can work
            run = lambda c, w=w, h=h: c.resize(w, h, o.timeout) and None
        elif name in ("pause", "sleep"):
            seconds = _number(take("seconds"), "'pause'", 0, 86400.0)
            run = lambda c, s=seconds: time.sleep(s)
        elif name == "-" or os.path.isfile(name):
            words[i:i] = _script_words(name)
            if len(words) > MAX_SCRIPT_WORDS:
                raise UsageError(f"scripts of more than {MAX_SCRIPT_WORDS} words (one that runs itself?)")
            continue
        else:
            raise UsageError(f"unknown command '{name}'")
        steps.append(Step(words[start:i], run))
    return steps


def _settle(client: Client, timeout: float) -> None:
    # The server has handled the input; the application it went to draws its
    # reply a moment later. Quiet for SETTLE_SECONDS: it has.
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and client.wait_for_update(SETTLE_SECONDS) is not None:
        pass


def _capture(client: Client, path: str, region: Optional[Rect], o: Options) -> None:
    # Raises before anything is written when the whole screen does not come.
    image = client.capture(region=region, timeout=o.timeout)
    try:
        image.save(path)
    except (OSError, ValueError) as error:
        raise OutputError(f"cannot write '{path}': {getattr(error, 'strerror', None) or error}") from None


def _print_clipboard(client: Client, o: Options) -> None:
    # A text the server sends as the connection starts comes with or soon
    # after its first picture.
    client.wait_for_frame(o.timeout)
    text = client.clipboard
    if text and not text.endswith("\n"):
        text += "\n"
    sys.stdout.buffer.write(text.encode("utf-8"))
    sys.stdout.flush()


class OutputError(VncError):
    pass


def _fail(status: int, message: str) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return status


def _trust_hint(client: Optional[Client]) -> str:
    """How to trust a certificate the connect refused; "" for other failures."""
    try:
        info = client.security_info if client is not None else {}
    except VncError:
        return ""
    # Only where trusting is the answer: not for a mismatch or an expiry.
    if info.get("verification") != "unknown issuer" or not info.get("sha256"):
        return ""
    pin = "sha256:" + info["sha256"].replace(":", "").lower()
    return ("\nTo trust this server: --ca-file with the CA that signed its certificate, or\n"
            f"--pin {pin} after checking that fingerprint with its owner\n"
            "(vnc-view asks and remembers it).")


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        o = parse_options(args)
        password = load_password(o)
        try:
            host, port = parse_target(o.server) if o.server is not None else ("127.0.0.1", 0)
        except AddressError as error:
            raise UsageError(f"bad server address '{o.server}': {error}") from None
        steps = parse_commands(o.commands, o)
    except UsageError as error:
        print(f"{PROG}: {error}\nTry '{PROG} --help' for more information.", file=sys.stderr)
        return EXIT_USAGE
    except LibraryNotFound as error:
        return _fail(EXIT_INTERNAL, str(error))

    def say(message: str) -> None:
        if o.verbose:
            print(f"{PROG}: {message}", file=sys.stderr)

    server: Optional[TestServer] = None
    client: Optional[Client] = None
    try:
        if o.demo:
            server = TestServer(password=password).start()
            port = server.port or 0
            say(f"started the built-in test server on 127.0.0.1:{port}")
        client = Client()
        client.force_caps = o.force_caps
        if not {"pin", "verify", "ca_file"} & set(o.connect_options):
            # What vnc-view was told to trust stands in for a CA.
            remembered = known_host_pin(host, port)
            if remembered:
                say(f"pinned to {remembered} from {known_hosts_path()}")
                o.connect_options["pin"] = remembered
        if "rsa_pin" not in o.connect_options and o.connect_options.get("verify") is not False:
            remembered = known_host_pin(host, port, "rsa-sha256")
            if remembered:
                say(f"RSA key pinned to {remembered} from {known_hosts_path()}")
                o.connect_options["rsa_pin"] = remembered
        say(f"connecting to {host}:{port}")
        client.connect(host, port, password, timeout=o.timeout, **o.connect_options)  # type: ignore[arg-type]
        width, height = client.size
        say(f"connected: desktop {width}x{height}")
        input_pending = False
        for step in steps:
            say(" ".join(step.words))
            # What follows input reads the screen as the server has it
            # after that input, not an update already on its way.
            if step.words[0] in READ_COMMANDS and input_pending and o.sync:
                say(f"sync: {client.sync(o.timeout)}")
                _settle(client, o.timeout)
            input_pending = (input_pending or step.words[0] in INPUT_COMMANDS) and \
                step.words[0] not in READ_COMMANDS
            step.run(client)
            if o.delay:
                time.sleep(o.delay)
        say("done")
        return EXIT_OK
    except AuthenticationFailed as error:
        return _fail(EXIT_AUTH, f"{error} (wrong or missing password?)")
    except LibraryTooOld as error:
        return _fail(EXIT_INTERNAL, str(error))
    except (ResizeRefused, NotSupported) as error:
        return _fail(EXIT_REFUSED, str(error))
    except ExpectTimeout as error:
        return _fail(EXIT_EXPECT, str(error))
    except Timeout as error:
        return _fail(EXIT_TIMEOUT, str(error))
    except (ConnectionFailed, NotConnected) as error:
        return _fail(EXIT_CONNECT, str(error) + _trust_hint(client))
    except OutputError as error:
        return _fail(EXIT_OUTPUT, str(error))
    except ValueError as error:  # a region outside the screen
        return _fail(EXIT_USAGE, str(error))
    except VncError as error:
        return _fail(EXIT_INTERNAL, str(error))
    finally:
        if client is not None:
            client.close()
        if server is not None:
            server.stop()


def run() -> NoReturn:
    """Entry point of the console script."""
    raise SystemExit(main())
