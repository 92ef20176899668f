"""The package and vnc-do against the library's built-in test server."""

import contextlib
import os
import re
import socket
import struct
import subprocess
import sys
import threading

import pytest

import quenvira_vnc as qv
from quenvira_vnc import _native
from quenvira_vnc import image as image_module

from conftest import free_port, wait_until


def known_picture():
    """What the test server shows: a gradient at (0,0) and a green square with a red centre at (40,40)."""
    px = bytearray(640 * 480 * 3)

    def put(x, y, rgb):
        px[(y * 640 + x) * 3:(y * 640 + x) * 3 + 3] = bytes(rgb)

    for y in range(32):
        for x in range(32):
            put(x, y, (y * 8, x * 8, 255))
            inner = 4 <= x < 28 and 4 <= y < 28
            put(40 + x, 40 + y, (255, 0, 0) if inner else (0, 255, 0))
    return qv.Image(640, 480, bytes(px))


def test_capture_shows_the_known_picture(test_server, tmp_path, monkeypatch):
    want = known_picture()
    with qv.Client() as c:
        c.connect("127.0.0.1", test_server.port)
        assert c.status == qv.Status.CONNECTED and c.size == (640, 480)
        assert c.wait_for_frame(5) == qv.Rect(0, 0, 640, 480)
        assert c.capture(tmp_path / "a.png") == want
        assert c.capture(region=(30, 35, 20, 10)) == want.crop((30, 35, 20, 10))
        c.expect(want, timeout=2)
        with pytest.raises(qv.ExpectTimeout) as failed:
            c.expect(want, region=(0, 0, 8, 8), timeout=0.2)
        assert "8x8" in str(failed.value)
        # Input is accepted while connected (the test server ignores it).
        c.move(5, 6)
        c.click(3)
        c.type("Aé€\n")
        c.key("ctrl-alt-del")
        c.paste("x€")
        # The server goes away: its last picture is stale, reads raise as input does.
        test_server.stop()
        assert wait_until(lambda: not c.connected)
        for use in (c.capture, c.grab, lambda: c.expect(want), lambda: c.type("x")):
            with pytest.raises(qv.NotConnected, match=r"not connected \(Server closed the connection\)"):
                use()
    assert qv.Image.open(tmp_path / "a.png") == want
    want.save(tmp_path / "best.png", compress="best")
    assert qv.Image.open(tmp_path / "best.png") == want
    with pytest.raises(ValueError, match="compress"):
        want.save(tmp_path / "c.png", compress="small")
    # Without Pillow and numpy: the package's own PNG writer and reader, and comparison.
    monkeypatch.setattr(image_module, "_PIL", None)
    monkeypatch.setattr(image_module, "_np", None)
    for compress in ("fast", "best"):
        want.save(tmp_path / "b.png", compress)
        assert qv.Image.open(tmp_path / "b.png") == want
    darker = qv.Image(640, 480, bytes(max(v - 3, 0) for v in want.rgb))
    assert (want.count_differences(darker, 2), want.count_differences(darker, 3)) == (2048, 0)


def test_opt_in_options_fall_back_with_a_server_that_has_no_extensions(test_server):
    with qv.Client() as c:
        c.connect("127.0.0.1", test_server.port, encodings=["raw", "zrle"], cursor="local",
                  desktop_size="extended", qemu_keys=True, clipboard="utf8", shared=False,
                  continuous_updates=True)
        assert c.wait_for_frame(2) == qv.Rect(0, 0, 640, 480) and c.update_count >= 1
        assert c.capture() == known_picture()
        assert c.sync(2) == "update"  # no fences here: a request of its top-left pixel
        assert (c.desktop_name, c.clipboard, c.cursor, c.end_reason) == ("QuenviraMockVNC", "", None, "")
        # The encrypted types come first by default; this server has None only.
        assert c.security_info.get("type") == "none"
        with pytest.raises(qv.NotSupported, match="ExtendedDesktopSize"):
            c.resize(800, 600, timeout=2)
        c.type("Hi!")  # Shift goes around H and !
        c.paste("x€")
        c.disconnect()
        assert c.end_reason != ""
        assert c.capture() == known_picture()  # a disconnect here keeps the last picture readable
    with qv.Client() as c:
        with pytest.raises(qv.NotSupported, match="desktop_size"):
            c.connect("127.0.0.1", test_server.port).resize(800, 600, timeout=2)
        for bad in ({"cursor": "sideways"}, {"encodings": "zlib"}):
            with pytest.raises(ValueError):
                c.connect("127.0.0.1", test_server.port, **bad)


def test_a_library_without_the_extensions_serves_the_rest(test_server, monkeypatch):
    monkeypatch.setattr(_native, "_missing", set(_native._EXTENSIONS))
    with qv.Client() as c:
        c.connect("127.0.0.1", test_server.port)
        assert c.wait_for_update(5) is not None  # input and updates still work
        # Without the count nothing tells a whole picture from a partial one.
        uses = (lambda: c.capture(), lambda: c.grab(), lambda: c.clipboard, lambda: c.resize(8, 8),
                lambda: c.connect("127.0.0.1", 1, cursor="local"))
        for use in uses:
            with pytest.raises(qv.LibraryTooOld, match="newer quenvira-vnc library"):
                use()


@pytest.mark.parametrize("password, kind, text, reason", [
    (None, qv.ConnectionFailed, "Could not connect to VNC server", "Connection refused"),
    ("wrong", qv.AuthenticationFailed, "VNC Authentication failed", "VNC Authentication failed"),
])
def test_refusals_raise_with_the_library_text(password, kind, text, reason):
    port = free_port()
    with qv.TestServer(password="secret") if password else qv.TestServer() as server:
        target = server.port if password else port
        with qv.Client() as c, pytest.raises(kind) as failed:
            c.connect("127.0.0.1", target, password)
    assert failed.value.text == text == qv.last_error()
    assert reason in failed.value.reason and failed.value.reason in str(failed.value)


def test_reconnect_reports_drops_and_stops_at_a_refused_password(caplog):
    with qv.TestServer(password="secret") as server, qv.Client() as c:
        c.connect("127.0.0.1", server.port, "secret", reconnect=True)
        c.capture()
        server.stop()
        assert wait_until(lambda: c.reconnecting, 10)
        with pytest.raises(qv.NotConnected):
            c.key("a")
        server.start()
        c.capture(timeout=20)  # back
        assert c.reconnects == 1
        server.stop()
        server.password = "changed"
        server.start()
        assert wait_until(lambda: c.reconnect_error is not None, 20)
        assert isinstance(c.reconnect_error, qv.AuthenticationFailed) and not c.reconnecting
        with pytest.raises(qv.NotConnected, match="Authentication failed"):
            c.capture(timeout=20)
    assert [r.levelname for r in caplog.records if r.name == "quenvira_vnc"] == ["WARNING"] * 3 + ["ERROR"]


@pytest.mark.parametrize("keys, keysyms", [
    ("ctrl-alt-del", [0xFFE3, 0xFFE9, 0xFFFF]),
    ("shift-F10", [0xFFE1, 0xFFC7]),
    ("Return", [0xFF0D]), ("enter", [0xFF0D]), ("esc", [0xFF1B]), ("bksp", [0xFF08]),
    ("pgup", [0xFF55]), ("pgdn", [0xFF56]), ("super-l", [0xFFEB, 0x6C]), ("F24", [0xFFD5]),
    ("KP_7", [0xFFB7]), ("KP_Enter", [0xFF8D]), ("lshift-rctrl-ralt-bsp", [0xFFE1, 0xFFE4, 0xFFEA, 0xFF08]), ("ctrl--", [0xFFE3, 0x2D]), ("0x1008ff13", [0x1008FF13]),
])
def test_key_chords(keys, keysyms):
    assert qv.chord(keys) == keysyms


def test_text_to_keysyms():
    assert [qv.char_keysym(ch) for ch in "aZ\n\té€"] == [0x61, 0x5A, 0xFF0D, 0xFF09, 0xE9, 0x10020AC]
    for bad in ("ctrl-nosuchkey", "ctrl-"):
        with pytest.raises(ValueError):
            qv.chord(bad)


def test_c_keysym_header_agrees_with_the_table():
    header = os.path.join(os.path.dirname(__file__), "..", "..", "include", "quenvira_vnc_keysyms.h")
    with open(header) as f:
        text = f.read()
    names = {n: int(v, 16) for n, v in re.findall(r"^#define VNC_KEY_(\w+) +(0x[0-9a-f]+)", text, re.M)}
    assert len(names) == text.count("#define VNC_KEY_") > 150
    assert {n: qv.KEYSYMS.get(n) for n in names} == names


def test_library_path_names_the_file_loaded():
    # In a fresh process, found by the system loader under its bare name.
    lib = os.environ["QUENVIRA_VNC_LIBRARY"]
    env = {k: v for k, v in os.environ.items() if k != "QUENVIRA_VNC_LIBRARY"}
    env["LD_LIBRARY_PATH"] = os.path.dirname(lib)
    run = subprocess.run([sys.executable, "-c", "import quenvira_vnc; print(quenvira_vnc.library_path())"],
                         env=env, capture_output=True, text=True, timeout=60)
    assert run.stdout.strip() == os.path.realpath(lib), run.stderr


def vnc_do(*args, env=None, stdin=""):
    run_env = {k: v for k, v in os.environ.items() if k != "VNC_PASSWORD"}
    run_env.update(env or {})
    return subprocess.run([sys.executable, "-m", "quenvira_vnc", *args], env=run_env, capture_output=True,
                          text=True, timeout=60, input=stdin)


def test_vnc_do_exit_statuses(tmp_path):
    shot, ref = tmp_path / "shot.png", tmp_path / "ref.png"
    known_picture().save(ref)
    wrong = tmp_path / "wrong.png"
    qv.Image(640, 480, bytes(640 * 480 * 3)).save(wrong)
    pwfile = tmp_path / "pw"
    # Not ASCII, and UTF-8 in the file as a terminal writes it.
    pw = "s\u00e9cret"
    pwfile.write_text(pw + "\n", encoding="utf-8")
    with qv.TestServer(password=pw) as server:
        at = f"127.0.0.1::{server.port}"
        run = vnc_do("-s", at, "--password-file", str(pwfile), "capture", str(shot), "move", "10", "20",
                     "click", "1", "type", "hello", "key", "enter", "expect", str(ref), "pause", "0.1")
        assert run.returncode == 0, run.stderr
        assert qv.Image.open(shot) == known_picture()
        shot.unlink()
        cases = [
            (2, ["-s", at, "frobnicate"], {}),
            (2, ["-s", "host:1:2", "type", "x"], {}),
            (2, ["-s", at, "key", "ctrl-nosuchkey"], {}),
            (2, ["-s", at, "click", "9"], {}),
            (2, ["-s", at, "--password-file", str(tmp_path / "none"), "type", "x"], {}),
            (2, ["-s", at, "expect", str(tmp_path / "none.png")], {}),
            (3, ["-s", f"127.0.0.1::{free_port()}", "type", "x"], {}),
            (4, ["-s", at, "-p", "wrong", "type", "x"], {}),
            (4, ["-s", at, "type", "x"], {}),
            (6, ["-s", at, "capture", str(tmp_path / "no" / "dir.png")], {"VNC_PASSWORD": pw}),
            (6, ["-s", at, "capture", str(tmp_path / "shot.nosuchformat")], {"VNC_PASSWORD": pw}),
            (7, ["-s", at, "--timeout", "0.5", "expect", str(wrong)], {"VNC_PASSWORD": pw}),
            (8, ["-s", at, "resize", "800", "600"], {"VNC_PASSWORD": pw}),
            (2, ["-s", at, "--cursor", "sideways", "type", "x"], {}),
            (2, ["-s", at, "--encodings", "zlib", "type", "x"], {"VNC_PASSWORD": pw}),
            (2, ["-s", at, "--security", "rot13", "type", "x"], {"VNC_PASSWORD": pw}),
            (2, ["-s", at, "--pin", "sha256:00", "--insecure", "type", "x"], {}),
        ]
        for status, args, env in cases:
            run = vnc_do(*args, env=env)
            assert run.returncode == status, (args, run.stderr)
            if status == 3:
                assert "Connection refused" in run.stderr, run.stderr
            if args[-2:] == ["click", "9"]:
                assert "a button, a whole number from 1 to 8, not '9'" in run.stderr, run.stderr
            assert run.stderr.startswith("vnc-do: ") and "Traceback" not in run.stderr, run.stderr
        # vncdotool's forms: a script file and standard input, its aliases,
        # options and key names, the fuzz argument of (r)expect;
        # Client.connect takes HOST::PORT.
        script = tmp_path / "run.vdo"
        region = tmp_path / "region.png"
        script.write_text(f"mousemove 10 20  # comment\nclick 1\nrcapture {region} 0 0 64 48\n"
                          f"rexpect {ref} 0 0\nrexpect {ref} 0 0 5\nexpect {ref} 3\nsleep 0.05\n"
                          "key bsp key lctrl-ralt-bslash key spacebar key fslash key lsuper\n")
        run = vnc_do("-s", at, "--delay", "5", "-t", "5", "--nocursor", "--force-caps", "--no-qemu-keys",
                     str(script), "-", env={"VNC_PASSWORD": pw}, stdin="type Hi! key enter\n")
        assert run.returncode == 0, run.stderr
        assert qv.Image.open(region).size == (64, 48)
        with qv.Client() as c:
            assert c.connect(at, password=pw).size == (640, 480)
        # The extension names the format (JPEG through Pillow, when it is there).
        jpeg = tmp_path / "shot.jpg"
        run = vnc_do("-s", at, "capture", str(jpeg), env={"VNC_PASSWORD": pw})
        if image_module._PIL is not None:
            assert run.returncode == 0 and jpeg.read_bytes()[:3] == b"\xff\xd8\xff", run.stderr
        else:
            assert run.returncode == 6 and "Pillow" in run.stderr, run.stderr
        # The options change nothing here.
        run = vnc_do("-s", at, "--timeout", "0.4", "--cursor", "local", "--encodings", "raw", "--qemu-keys",
                     "--clipboard", "utf8", "capture", str(shot), "type", "Hi", "clipboard",
                     env={"VNC_PASSWORD": pw})
        assert run.returncode == 0 and run.stdout == "", run.stderr
        assert qv.Image.open(shot) == known_picture()
    # A server that accepts the connection and never speaks.
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        run = vnc_do("-s", f"127.0.0.1::{silent.getsockname()[1]}", "--timeout", "0.5", "type", "x")
        assert run.returncode == 5, run.stderr
    # Servers that draw part of the screen, then nothing or the end: no file, and why.
    for close, status, why in [(False, 5, "whole screen: the server has not drawn all of it"),
                               (True, 3, "the connection ended before the whole screen arrived: ")]:
        with partial_server(close) as port:
            run = vnc_do("-s", f"127.0.0.1::{port}", "--timeout", "1", "capture", str(tmp_path / "part.png"))
        assert run.returncode == status and why in run.stderr, run.stderr
        assert not (tmp_path / "part.png").exists()
        assert not run.stderr.rstrip().endswith(":"), run.stderr  # the library's reason follows


@contextlib.contextmanager
def partial_server(close):
    """A 64 x 64 server that resizes (to the same size) and then draws only its
    8 x 8 corner, then stays quiet or closes: after a resize every pixel counts."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn, _ = listener.accept()
        with conn:
            conn.sendall(b"RFB 003.008\n")
            conn.recv(12)
            conn.sendall(b"\x01\x01")  # security: None
            conn.recv(1)
            conn.sendall(b"\0\0\0\0")
            conn.recv(1)
            conn.sendall(struct.pack(">HHBBBBHHHBBB3xI", 64, 64, 32, 24, 0, 1, 255, 255, 255, 16, 8, 0, 4) + b"part")
            conn.sendall(struct.pack(">BxHHHHHiHHHHi", 0, 2, 0, 0, 64, 64, -223, 0, 0, 8, 8, 0) + b"\xff" * 256)
            if close:
                conn.shutdown(socket.SHUT_WR)
            while conn.recv(4096):
                pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield listener.getsockname()[1]
    finally:
        listener.close()
        thread.join(5)
