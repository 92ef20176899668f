"""The package against Xvnc: pictures compared with xwd, input seen by xev."""

import re
import subprocess
import sys

import pytest

import quenvira_vnc as qv

from conftest import Xvnc, wait_until


def stripes():
    """Stripes of many colours: a swapped channel or a shifted row shows."""
    w, h = Xvnc.WIDTH, Xvnc.HEIGHT
    return qv.Image(w, h, bytes(v for y in range(h) for x in range(w)
                                for v in ((x * 7 + y) & 0xFF, (y * 3) & 0xFF, 0x40 + (x // 16) * 9 & 0xFF)))


@pytest.fixture(scope="module")
def screen(xvnc):
    picture = stripes()
    xvnc.show(picture)
    with qv.Client() as c:
        c.connect("127.0.0.1", xvnc.port, timeout=10)
        yield c, picture


def test_capture_and_expect_match_the_x_screen(xvnc, screen, tmp_path):
    c, picture = screen
    c.expect(picture, timeout=10)
    root = xvnc.grab_root()
    assert root == picture
    assert c.capture(tmp_path / "shot.png") == root
    assert qv.Image.open(tmp_path / "shot.png") == root
    assert c.capture(region=(100, 50, 60, 40)) == root.crop((100, 50, 60, 40))
    # A picture one shade off in a 10 x 10 corner: equal within the
    # tolerance, else 100 pixels apart.
    off = bytearray(picture.rgb)
    for y in range(10):
        for x in range(10):
            i = (y * picture.width + x) * 3
            off[i] ^= 1
    off = qv.Image(picture.width, picture.height, bytes(off))
    c.expect(off, tolerance=1, timeout=5)
    c.expect(off, max_diff=100, timeout=5)
    c.expect(off.crop((10, 0, 100, 100)), region=(10, 0, 100, 100), timeout=5)
    with pytest.raises(qv.ExpectTimeout) as failed:
        c.expect(off, max_diff=99, timeout=0.5)
    assert failed.value.differing == 100


class Events:
    """Key and button events on the root window, as xev reports them."""

    def __init__(self, xvnc):
        self.log = xvnc.dir / "xev.log"
        xvnc.spawn(["xev", "-root", "-event", "keyboard", "-event", "button"], "xev.log")
        # xev is ready once it reports a key pressed through the X server itself.
        def probe():
            xvnc.tool("xdotool", "key", "F12")
            return "F12" in self.text()

        assert wait_until(probe, timeout=15, interval=0.2), "xev never reported the probe key"
        self.seen = len(self.all())

    def text(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def all(self):
        events = []
        for block in self.text().split("\n\n"):
            kind = re.match(r"(Key|Button)(Press|Release) event", block)
            if kind:
                detail = re.search(r"keysym (0x[0-9a-f]+)|button (\d+)", block)
                root = re.search(r"root:\((\d+),(\d+)\)", block)
                value = int(detail.group(1), 16) if detail.group(1) else int(detail.group(2))
                events.append((kind.group(1) + kind.group(2), value, int(root.group(1)), int(root.group(2))))
        return events

    def wait(self, last):
        """The events since the last wait, once one equal to ``last`` (kind, value) arrived."""
        new = []

        def arrived():
            nonlocal new
            new = self.all()[self.seen:]
            return any(e[:2] == last for e in new)

        wait_until(arrived, timeout=10)
        self.seen += len(new)
        return new


@pytest.fixture(scope="module")
def events(xvnc, screen):
    return Events(xvnc)


# Locks and shifts the server presses by itself to make upper case.
SERVER_MADE = {0xFFE1, 0xFFE5}


def test_typed_text_and_chords_arrive(screen, events):
    c, _ = screen
    c.type("Hi é€\n")
    c.key("ctrl-alt-t")
    c.key("shift-Tab")
    c.key("F9")  # the end
    got = [(kind, sym) for kind, sym, _, _ in events.wait(("KeyRelease", 0xFFC6))][:-2]
    typed = [sym for kind, sym in got[:-10] if kind == "KeyPress" and sym not in SERVER_MADE]
    assert typed == [0x48, 0x69, 0x20, 0xE9, 0x10020AC, 0xFF0D]
    # Chords: pressed left to right, released right to left; shift-Tab is
    # what X calls ISO_Left_Tab.
    assert got[-10:] == [("KeyPress", 0xFFE3), ("KeyPress", 0xFFE9), ("KeyPress", 0x74), ("KeyRelease", 0x74),
                         ("KeyRelease", 0xFFE9), ("KeyRelease", 0xFFE3), ("KeyPress", 0xFFE1),
                         ("KeyPress", 0xFE20), ("KeyRelease", 0xFE20), ("KeyRelease", 0xFFE1)]


def test_pointer_clicks_arrive_where_sent(screen, events):
    c, _ = screen
    c.move(123, 77)
    c.click(1)
    c.move(301, 222)
    c.click(3)
    c.scroll("down")
    c.move(10, 20)
    c.drag(50, 60, 2)
    got = [e for e in events.wait(("ButtonRelease", 2)) if e[0] == "ButtonPress"]
    assert got == [("ButtonPress", 1, 123, 77), ("ButtonPress", 3, 301, 222), ("ButtonPress", 5, 301, 222),
                   ("ButtonPress", 2, 10, 20)]


def test_vnc_do_runs_ending_in_a_key_lose_nothing(xvnc, events):
    """Each run closes right after its last key: the close must not discard it."""
    runs = 20
    for i in range(runs):
        run = subprocess.run([sys.executable, "-m", "quenvira_vnc", "-s", f"127.0.0.1::{xvnc.port}",
                              "type", f"n{i}", "key", "enter"], capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stderr
    xvnc.tool("xdotool", "key", "F8")  # the end
    presses = [sym for kind, sym, _, _ in events.wait(("KeyRelease", 0xFFC5)) if kind == "KeyPress"]
    assert presses == [sym for i in range(runs) for sym in [ord("n"), *map(ord, str(i)), 0xFF0D]] + [0xFFC5]


def test_qemu_keys_type_shifted_characters(xvnc, events):
    with qv.Client() as c:
        c.connect("127.0.0.1", xvnc.port, timeout=10)  # QEMU's key event by default
        c.wait_for_frame(10)
        c.type("aB!")
        c.key("exclam")  # a key alone: its scancode is the 1 key's, Shift comes with it
        c.key("F9")  # the end
        presses = [sym for kind, sym, _, _ in events.wait(("KeyRelease", 0xFFC6)) if kind == "KeyPress"]
    # The scancodes carry no shift (Xvnc takes them): the Shift held around B
    # and ! makes them.
    assert presses == [0x61, 0xFFE1, 0x42, 0x21, 0xFFE1, 0x21, 0xFFC6]


def test_clipboard_both_ways_in_utf8(xvnc):
    # Pasted as the first thing after connecting, before Xvnc has shown that
    # it takes UTF-8: still whole.
    text = "pasted: é€ 日本"
    run = subprocess.Popen([sys.executable, "-m", "quenvira_vnc", "-s", f"127.0.0.1::{xvnc.port}",
                            "--clipboard", "utf8", "paste", text, "pause", "3"])
    def clipboard():  # xclip fails while nobody owns the clipboard
        out = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=xvnc.env, capture_output=True)
        return out.stdout

    try:
        assert wait_until(lambda: clipboard() == text.encode()), clipboard()
    finally:
        assert run.wait(timeout=30) == 0
    with qv.Client() as c:
        c.connect("127.0.0.1", xvnc.port, timeout=10, clipboard="utf8")
        c.wait_for_frame(10)
        for i, text in enumerate(["plain", "Grüße, ĉiu 日本 €"]):
            source = xvnc.dir / f"clip{i}.txt"
            source.write_text(text, encoding="utf-8")
            # In the foreground: xclip serves the text until the next one takes over.
            xvnc.spawn(["xclip", "-quiet", "-selection", "clipboard", "-i", str(source)], "xclip.log")
            assert wait_until(lambda: c.clipboard == text), repr(c.clipboard)
        c.paste("back: ĉiu €")
        assert wait_until(lambda: xvnc.tool("xclip", "-o", "-selection", "clipboard") == "back: ĉiu €".encode())


def test_local_cursor_is_a_shape_and_stays_out_of_the_picture(xvnc, screen):
    _, picture = screen
    xvnc.tool("xsetroot", "-cursor_name", "left_ptr")
    try:
        with qv.Client() as drawn, qv.Client() as local:
            drawn.connect("127.0.0.1", xvnc.port, timeout=10)
            local.connect("127.0.0.1", xvnc.port, timeout=10, cursor="local")
            local.move(100, 100)
            assert wait_until(lambda: local.cursor is not None)
            shape = local.cursor
            assert 0 <= shape.hot_x < shape.width and 0 <= shape.hot_y < shape.height
            assert set(shape.mask) == {0, 255} and len(shape.image.rgb) == shape.width * shape.height * 3
            local.expect(picture, timeout=10)
            with pytest.raises(qv.ExpectTimeout):  # the server draws its pointer for the other
                drawn.expect(picture, timeout=1)
    finally:
        xvnc.show(picture)  # the invisible pointer again


def test_resize_as_xrandr_sees_it(xvnc):
    def xrandr_size():
        return tuple(map(int, re.search(r"current (\d+) x (\d+)", xvnc.tool("xrandr").decode()).groups()))

    with qv.Client() as c:
        c.connect("127.0.0.1", xvnc.port, timeout=10, desktop_size="extended")
        try:
            assert c.resize(400, 300) == (400, 300) == xrandr_size()
            assert c.capture() == xvnc.grab_root()  # resize waited for the whole new size
        finally:
            assert c.resize(Xvnc.WIDTH, Xvnc.HEIGHT) == (Xvnc.WIDTH, Xvnc.HEIGHT) == xrandr_size()


def test_tight_is_exact_and_with_jpeg_close(xvnc, screen):
    _, picture = screen
    with qv.Client() as c:
        c.connect("127.0.0.1", xvnc.port, timeout=10, encodings="tight")
        c.expect(picture, timeout=10)
    with qv.Client() as c:
        c.connect("127.0.0.1", xvnc.port, timeout=10, encodings=["tight"], jpeg_quality=8)
        c.expect(picture, tolerance=48, timeout=10)
        with pytest.raises(qv.ExpectTimeout):  # JPEG is lossy: not the same pixels
            c.expect(picture, timeout=0.5)


def test_reconnect_comes_back_with_the_restarted_servers_picture(xvnc, tmp_path):
    (tmp_path / "a").mkdir(), (tmp_path / "b").mkdir()
    first = Xvnc(tmp_path / "a")
    servers = [first]
    try:
        first.show(stripes())
        with qv.Client() as c:
            c.connect("127.0.0.1", first.port, timeout=10, reconnect=True)
            before = c.capture()
            assert before == stripes()
            first.stop()
            assert wait_until(lambda: c.reconnecting, 10)
            assert c.grab() == before  # the last picture, while it is down
            servers.append(Xvnc(tmp_path / "b", port=first.port))
            servers[1].show(qv.Image(Xvnc.WIDTH, Xvnc.HEIGHT, bytes([200, 30, 90]) * (Xvnc.WIDTH * Xvnc.HEIGHT)))
            c.expect(servers[1].grab_root(), timeout=40)
            assert c.reconnects == 1 and not c.reconnecting
    finally:
        for server in servers:
            server.stop()
