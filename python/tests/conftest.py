"""Fixtures: the built-in test server, and an Xvnc with the X tools that look at it."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

import quenvira_vnc as qv


@pytest.fixture
def test_server():
    with qv.TestServer() as server:
        yield server


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout=10.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def parse_xwd(data):
    """An XWD dump of a 32-bit TrueColor drawable as an Image."""
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height, byte_order = fields[0], fields[4], fields[5], fields[7]
    bpp, bytes_per_line, masks, ncolors = fields[11], fields[12], fields[14:17], fields[19]
    assert bpp == 32 and masks == (0xFF0000, 0xFF00, 0xFF), f"unexpected XWD layout {fields}"
    start = header_size + ncolors * 12
    rows = b"".join(data[start + y * bytes_per_line:start + y * bytes_per_line + width * 4] for y in range(height))
    red, green, blue = (2, 1, 0) if byte_order == 0 else (1, 2, 3)
    rgb = bytearray(width * height * 3)
    rgb[0::3], rgb[1::3], rgb[2::3] = rows[red::4], rows[green::4], rows[blue::4]
    return qv.Image(width, height, bytes(rgb))


class Xvnc:
    """Xvnc on a free display, on loopback only, with no security; with the
    scancodes of QEMU key events used as they come (-RawKeyboard), else it
    maps their keysyms like any other. ``port`` (default 5900 + display)
    lets a new one take a stopped one's place."""

    WIDTH, HEIGHT = 320, 240

    def __init__(self, directory, port=None):
        self.dir = directory
        self.children = []
        for display in range(140, 400):
            if os.path.exists(f"/tmp/.X11-unix/X{display}") or os.path.exists(f"/tmp/.X{display}-lock"):
                continue
            try:
                if not port:
                    with socket.socket() as s:
                        s.bind(("127.0.0.1", 5900 + display))
            except OSError:
                continue
            if self._start(display, port or 5900 + display):
                return
        raise RuntimeError("Xvnc did not start: " + (directory / "xvnc.log").read_text()[-2000:])

    def _start(self, display, port):
        self.display, self.port = display, port
        self.env = dict(os.environ, DISPLAY=f":{display}", HOME=str(self.dir))
        proc = self.spawn(["Xvnc", f":{display}", "-geometry", f"{self.WIDTH}x{self.HEIGHT}", "-depth", "24",
                           "-rfbport", str(self.port), "-interface", "127.0.0.1", "-localhost", "-nolisten", "tcp",
                           "-noreset", "-SecurityTypes", "None", "-AlwaysShared", "-RawKeyboard"], "xvnc.log")

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return os.path.exists(f"/tmp/.X11-unix/X{display}")
            except OSError:
                return False

        if wait_until(lambda: proc.poll() is not None or listening(), 15) and proc.poll() is None:
            return True
        self.stop()
        return False

    def spawn(self, argv, log):
        with open(self.dir / log, "ab") as out:
            proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=getattr(self, "env", None),
                                    start_new_session=True)
        self.children.append(proc)
        return proc

    def tool(self, *argv):
        run = subprocess.run(argv, env=self.env, capture_output=True, timeout=30)
        assert run.returncode == 0, f"{' '.join(argv)}: {run.stderr.decode(errors='replace')}"
        return run.stdout

    def grab_root(self):
        return parse_xwd(self.tool("xwd", "-root", "-silent"))

    def show(self, image):
        """Puts a screen-sized picture on the root window, with an invisible cursor."""
        path = self.dir / "root.png"
        image.save(path)
        # display exits with 1 even when the picture is up: the pixels decide.
        subprocess.run(["display-im6.q16", "-window", "root", str(path)], env=self.env, capture_output=True,
                       timeout=30)
        blank = self.dir / "blank.xbm"
        blank.write_text("#define b_width 1\n#define b_height 1\n#define b_x_hot 0\n#define b_y_hot 0\n"
                         "static unsigned char b_bits[] = {\n   0x00};\n")
        self.tool("xsetroot", "-cursor", str(blank), str(blank))
        assert wait_until(lambda: self.grab_root() == image), "the picture never showed on the root window"

    def stop(self):
        for proc in self.children:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        self.children = []


@pytest.fixture(scope="module")
def xvnc(tmp_path_factory):
    for tool in ("Xvnc", "xwd", "xsetroot", "xev", "xdotool", "display-im6.q16"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed")
    server = Xvnc(tmp_path_factory.mktemp("xvnc"))
    yield server
    server.stop()
