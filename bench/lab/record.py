#!/usr/bin/env python3
"""record.py - record a real RFB session from TigerVNC's Xvnc on loopback.

Starts Xvnc on display :D (port 59xx, loopback only, security None), puts a
photo-like wallpaper (ImageMagick) on the root window, opens xterms with
text generators (textgen.py), connects as an RFB 3.8 client, sends
exactly the library's SetPixelFormat (32 bpp, depth 24, little-endian, true
colour, max 255, shifts R16 G8 B0) and the SetEncodings list given, asks for
a full update, then answers every FramebufferUpdate with an incremental
request (like the library) while a scripted workload runs: text scrolling,
typing and in-place redraws, a window dragged with xdotool (CopyRect), a
wallpaper change and one non-incremental full-screen refresh.  When the
workload is done and the screen has settled it snapshots the X screen with
xwd, whose checksum is the expected final framebuffer of every client that
decodes the recording correctly.

Output: NAME.rfbrec (magic "RFBREC1\\n", u32 BE ServerInit length, ServerInit,
then every byte the server sent after ServerInit) and NAME.json (sidecar).

  record.py --name zrle-1080p --size 1920x1080 --encodings 16,5,2,1,0,-223
  record.py --name zrle-2160p --size 3840x2160 --encodings 16,-223 \\
            --scenario fullframes --frames 3

Python stdlib only; needs Xvnc, xterm, xdotool, xsetroot, xwd and
ImageMagick's convert/display.
"""
import argparse
import datetime
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Recordings and scratch files go into the build's bench/lab (record.sh sets it).
LAB = os.environ.get("QV_LAB_DIR") or os.getcwd()

# The library's fixed pixel format (16 bytes) and SetPixelFormat (20 bytes).
PIXEL_FORMAT = bytes([32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0])
SET_PIXEL_FORMAT = bytes([0, 0, 0, 0]) + PIXEL_FORMAT
LIB_ENCODINGS = [16, 5, 2, 1, 0, -223]
ENC_NAMES = {0: "raw", 1: "copyrect", 2: "rre", 4: "corre", 5: "hextile", 7: "tight", 16: "zrle",
             -223: "desktopsize", -224: "lastrect", -239: "richcursor", -240: "xcursor"}
ENC_NAMES.update({-32 + q: "quality%d" % q for q in range(10)})     # JPEG quality level (Tight)
ENC_NAMES.update({-256 + c: "compress%d" % c for c in range(10)})   # compress level (Tight, Zlib)


def is_lossy(encodings):
    """Tight with a JPEG quality level: the server may send JPEG rectangles."""
    return 7 in encodings and any(-32 <= e <= -23 for e in encodings)

FNV_BASIS = 0xcbf29ce484222325
FNV_PRIME = 0x100000001b3
MASK64 = (1 << 64) - 1


def log(*a):
    print("[record]", *a, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- images

def make_wallpaper(path, w, h, variant):
    """Photo-like picture: sky gradient with soft plasma clouds over a
    textured plasma landscape (deterministic: fixed seeds)."""
    if os.path.exists(path):
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    sky_h = int(h * 0.42)
    land_h = h - sky_h
    v = {"A": ("#2b5d9b", "#cfe2f3", "#ffffff-#9ab6d8", "#4f6b2a-#9c7b4f", 11),
         "B": ("#3b2f6b", "#f2a65a", "#ffd1a1-#7a4f8f", "#2f3d2a-#6b5a3d", 23),
         "C": ("#0f3b57", "#8fc1d4", "#e0f0ff-#5f8fb0", "#6b5a3d-#b0a080", 37)}[variant]
    tmp = path + ".tmp.png"
    cmd = ["convert",
           "-size", "%dx%d" % (w, sky_h), "gradient:%s-%s" % (v[0], v[1]),
           "(", "-seed", str(v[4]), "-size", "%dx%d" % (w, sky_h), "plasma:%s" % v[2],
           "-blur", "0x%d" % max(2, w // 480), ")",
           "-compose", "dissolve", "-define", "compose:args=35", "-composite",
           "(", "-seed", str(v[4] + 1), "-size", "%dx%d" % (w, land_h), "plasma:%s" % v[3],
           "-blur", "0x0.7", ")",
           "-append", "-depth", "8", "PNG24:" + tmp]
    subprocess.run(cmd, check=True)
    os.replace(tmp, path)


# ---------------------------------------------------------------- X side

class Desktop:
    def __init__(self, display, port, w, h, scratch):
        self.display, self.port, self.w, self.h = display, port, w, h
        self.scratch = scratch
        self.procs = []
        self.env = dict(os.environ, DISPLAY=":%d" % display)
        self.env.pop("XAUTHORITY", None)

    def run(self, *cmd, check=True, capture=False):
        r = subprocess.run(list(cmd), env=self.env, check=check,
                           stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL if not capture else subprocess.PIPE)
        return r.stdout.decode() if capture else r.returncode

    def spawn(self, *cmd):
        p = subprocess.Popen(list(cmd), env=self.env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        self.procs.append(p)
        return p

    def start(self):
        lock = "/tmp/.X%d-lock" % self.display
        if os.path.exists(lock) or os.path.exists("/tmp/.X11-unix/X%d" % self.display):
            raise SystemExit("display :%d looks busy (%s exists); pick another --display "
                             "(this lab uses :40-:59) or remove a stale lock of your own" % (self.display, lock))
        self.xvnc_log = open(os.path.join(self.scratch, "xvnc-%d.log" % self.display), "w")
        self.xvnc_args = ["-geometry", "%dx%d" % (self.w, self.h), "-depth", "24",
                          "-rfbport", str(self.port), "-interface", "127.0.0.1", "-localhost",
                          "-SecurityTypes", "None", "-desktop", "perf-lab", "-UseIPv6=0", "-AlwaysShared",
                          "-nolisten", "tcp"]
        self.xvnc = subprocess.Popen(
            ["Xvnc", ":%d" % self.display] + self.xvnc_args,
            stdout=self.xvnc_log, stderr=subprocess.STDOUT, start_new_session=True)
        t0 = time.time()
        while True:
            if self.xvnc.poll() is not None:
                raise SystemExit("Xvnc exited; see %s" % self.xvnc_log.name)
            if self.run("xdpyinfo", check=False) == 0:
                break
            if time.time() - t0 > 20:
                raise SystemExit("Xvnc did not come up")
            time.sleep(0.1)
        # Invisible root cursor, pointer parked in the bottom-right corner:
        # Xvnc renders the cursor into updates for clients without cursor
        # pseudo-encodings, and xwd would not see it.
        blank = os.path.join(self.scratch, "blank.xbm")
        with open(blank, "w") as f:
            f.write("#define blank_width 16\n#define blank_height 16\n"
                    "static unsigned char blank_bits[] = {\n   %s};\n" % ", ".join(["0x00"] * 32))
        self.run("xsetroot", "-cursor", blank, blank)
        self.run("xdotool", "mousemove", str(self.w - 1), str(self.h - 1))

    def wallpaper(self, path):
        self.run("display", "-window", "root", path, check=False)  # exits 1 even on success

    def window_id(self, title):
        out = self.run("xdotool", "search", "--sync", "--name", "^%s$" % title, capture=True)
        return out.split()[0]

    def snapshot_fnv(self):
        """FNV-1a over B,G,R of the current X screen (xwd -root)."""
        data = subprocess.run(["xwd", "-root", "-silent"], env=self.env, check=True,
                              stdout=subprocess.PIPE).stdout
        hdr = struct.unpack(">25I", data[:100])
        (header_size, _fv, _fmt, depth, pw, ph, _xo, byte_order, _unit, _bo, _pad, bpp, bpl,
         _vc, red_mask, green_mask, blue_mask, _bprgb, _cme, ncolors) = hdr[:20]
        if (bpp != 32 or byte_order != 0 or red_mask != 0xFF0000 or green_mask != 0xFF00
                or blue_mask != 0xFF or pw != self.w or ph != self.h):
            raise SystemExit("unexpected xwd format %r" % (hdr,))
        off = header_size + ncolors * 12
        bgr = bytearray(pw * ph * 3)
        rows = bytearray()
        for y in range(ph):
            rows += data[off + y * bpl: off + y * bpl + pw * 4]
        bgr[0::3] = rows[0::4]
        bgr[1::3] = rows[1::4]
        bgr[2::3] = rows[2::4]
        h = FNV_BASIS
        for b in bgr:
            h = ((h ^ b) * FNV_PRIME) & MASK64
        return "%016x" % h

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)  # own session: the xterm and its child
                except ProcessLookupError:
                    pass
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
        if getattr(self, "xvnc", None) and self.xvnc.poll() is None:
            self.xvnc.terminate()
            try:
                self.xvnc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvnc.kill()


# ---------------------------------------------------------------- RFB side

def recv_exact(sock, n):
    b = bytearray()
    while len(b) < n:
        c = sock.recv(n - len(b))
        if not c:
            raise EOFError("server closed during handshake")
        b += c
    return bytes(b)


class Recorder:
    """Reads the server stream in a thread, keeps every byte, walks the
    messages and answers each FramebufferUpdate with an incremental
    FramebufferUpdateRequest."""

    def __init__(self, sock, w, h):
        self.sock, self.w, self.h = sock, w, h
        self.chunks = []
        self.buf = bytearray()
        self.pos = 0
        self.base = 0            # stream offset of buf[0]
        self.cv = threading.Condition()
        self.send_lock = threading.Lock()
        self.updates = 0
        self.pixels_since_mark = 0
        self.last_update_t = time.time()
        self.complete_offset = 0  # end of the last complete message
        self.stopping = False
        self.error = None
        self.msg_counts = {0: 0, 1: 0, 2: 0, 3: 0}
        self.rects_by_enc, self.pixels_by_enc, self.bytes_by_enc = {}, {}, {}
        self.per_update = []
        self.tight_kinds = {}    # Tight rectangles by compression type (fill, jpeg, copy, palette2, ...)
        self.t0 = time.time()

    # -- buffered reading
    def _fill(self, n):
        while len(self.buf) - self.pos < n:
            if self.pos > (8 << 20):
                del self.buf[:self.pos]
                self.base += self.pos
                self.pos = 0
            c = self.sock.recv(4 << 20)
            if not c:
                raise EOFError
            self.chunks.append(c)
            self.buf += c

    def offset(self):
        return self.base + self.pos

    def take(self, n):
        self._fill(n)
        b = bytes(self.buf[self.pos:self.pos + n])
        self.pos += n
        return b

    def skip(self, n):
        self._fill(n)
        self.pos += n

    def u8(self):
        self._fill(1)
        v = self.buf[self.pos]
        self.pos += 1
        return v

    def pending_bytes(self):
        return len(self.buf) - self.pos

    # -- requests
    def request(self, incremental):
        m = struct.pack(">BBHHHH", 3, 1 if incremental else 0, 0, 0, self.w, self.h)
        with self.send_lock:
            self.sock.sendall(m)

    # -- payload walkers
    def skip_payload(self, w, h, enc):
        if enc == 0:
            self.skip(w * h * 4)
        elif enc == 1:
            self.skip(4)
        elif enc == 2:
            n = struct.unpack(">I", self.take(4))[0]
            self.skip(4 + n * 12)
        elif enc == 4:
            n = struct.unpack(">I", self.take(4))[0]
            self.skip(4 + n * 8)
        elif enc == 5:
            for ty in range(0, h, 16):
                th = min(16, h - ty)
                for tx in range(0, w, 16):
                    tw = min(16, w - tx)
                    s = self.u8()
                    if s & 1:
                        self.skip(tw * th * 4)
                        continue
                    n = (4 if s & 2 else 0) + (4 if s & 4 else 0)
                    if n:
                        self.skip(n)
                    if s & 8:
                        k = self.u8()
                        self.skip(k * (6 if s & 16 else 2))
        elif enc == 7:  # Tight at 32 bpp depth 24: TPIXEL = 3 bytes
            kind = self.u8() >> 4  # low nibble: zlib stream resets
            raw, compact = 0, False
            sub = {8: "fill", 9: "jpeg"}.get(kind, "basic")
            if kind == 8:          # fill: one TPIXEL
                self.skip(3)
            elif kind == 9:        # JPEG: compact length + data
                compact = True
            elif kind < 8:         # basic: bit 6 = filter id follows
                filt = self.u8() if kind & 4 else 0
                if filt in (0, 2):  # copy, gradient
                    raw = w * h * 3
                    sub = "copy" if filt == 0 else "gradient"
                elif filt == 1:     # palette: n-1, n TPIXELs, indices (1 bit if n == 2)
                    n = self.u8() + 1
                    self.skip(n * 3)
                    raw = (w + 7) // 8 * h if n == 2 else w * h
                    sub = "palette2" if n == 2 else "palette"
                else:
                    raise ValueError("unknown Tight filter %d" % filt)
                if raw < 12:        # under TIGHT_MIN_TO_COMPRESS: sent as is
                    self.skip(raw)
                else:
                    compact = True
            else:
                raise ValueError("unknown Tight compression control 0x%x" % (kind << 4))
            self.tight_kinds[sub] = self.tight_kinds.get(sub, 0) + 1
            if compact:
                n = 0
                for i in range(3):
                    b = self.u8()
                    n |= (b if i == 2 else b & 0x7f) << (7 * i)
                    if i < 2 and not b & 0x80:
                        break
                self.skip(n)
        elif enc == 16:
            n = struct.unpack(">I", self.take(4))[0]
            self.skip(n)
        elif enc in (-223, -224):
            pass
        elif enc == -239:
            self.skip(w * h * 4 + (w + 7) // 8 * h)
        elif enc == -240:
            if w and h:
                self.skip(6 + 2 * ((w + 7) // 8) * h)
        else:
            raise ValueError("unknown encoding %d" % enc)

    def run(self):
        try:
            while True:
                start = self.offset()
                t = self.u8()
                if t == 0:
                    self.skip(1)
                    n = struct.unpack(">H", self.take(2))[0]
                    rects = pixels = 0
                    for _ in range(n):
                        x, y, w, h, enc = struct.unpack(">HHHHi", self.take(12))
                        p0 = self.offset()
                        self.skip_payload(w, h, enc)
                        name = ENC_NAMES.get(enc, str(enc))
                        self.rects_by_enc[name] = self.rects_by_enc.get(name, 0) + 1
                        self.bytes_by_enc[name] = self.bytes_by_enc.get(name, 0) + 12 + self.offset() - p0
                        if enc >= 0:
                            rects += 1
                            pixels += w * h
                            self.pixels_by_enc[name] = self.pixels_by_enc.get(name, 0) + w * h
                        if enc == -224:
                            break
                    now = time.time()
                    with self.cv:
                        self.updates += 1
                        self.msg_counts[0] += 1
                        self.pixels_since_mark += pixels
                        self.last_update_t = now
                        self.complete_offset = self.offset()
                        self.per_update.append([round((now - self.t0) * 1000, 1),
                                                self.offset() - start, rects, pixels])
                        self.cv.notify_all()
                    if not self.stopping:
                        self.request(True)
                elif t == 1:
                    self.skip(1)
                    _first, count = struct.unpack(">HH", self.take(4))
                    self.skip(6 * count)
                elif t == 2:
                    pass
                elif t == 3:
                    self.skip(3)
                    self.skip(struct.unpack(">I", self.take(4))[0])
                else:
                    raise ValueError("unknown server message type %d at offset %d" % (t, start))
                if t != 0:
                    with self.cv:
                        self.msg_counts[t] += 1
                        self.complete_offset = self.offset()
                        self.cv.notify_all()
        except (EOFError, OSError):
            pass
        except Exception as e:  # protocol error: remember and stop
            self.error = repr(e)
        with self.cv:
            self.stopping = True
            self.cv.notify_all()

    # -- waiting helpers for the scenario
    def wait_updates(self, n, timeout):
        with self.cv:
            target = self.updates + n
            end = time.time() + timeout
            while self.updates < target and not self.error and time.time() < end:
                self.cv.wait(end - time.time())
            return self.updates >= target

    def mark_pixels(self):
        with self.cv:
            self.pixels_since_mark = 0

    def wait_pixels(self, n, timeout):
        with self.cv:
            end = time.time() + timeout
            while self.pixels_since_mark < n and not self.error and time.time() < end:
                self.cv.wait(end - time.time())
            return self.pixels_since_mark >= n

    def wait_idle(self, quiet_s, timeout):
        end = time.time() + timeout
        while time.time() < end:
            with self.cv:
                idle = time.time() - self.last_update_t
                if idle >= quiet_s and self.pending_bytes() == 0:
                    return True
            time.sleep(0.05)
        return False


def connect(port, encodings):
    s = None
    for _ in range(100):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            break
        except OSError:
            time.sleep(0.1)
    if s is None:
        raise SystemExit("cannot connect to 127.0.0.1:%d" % port)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    ver = recv_exact(s, 12)
    if not ver.startswith(b"RFB 003.00"):
        raise SystemExit("unexpected server version %r" % ver)
    s.sendall(b"RFB 003.008\n")
    n = recv_exact(s, 1)[0]
    if n == 0:
        ln = struct.unpack(">I", recv_exact(s, 4))[0]
        raise SystemExit("server refused: %r" % recv_exact(s, ln))
    types = recv_exact(s, n)
    if 1 not in types:
        raise SystemExit("server does not offer security None (offers %r)" % list(types))
    s.sendall(b"\x01")
    if struct.unpack(">I", recv_exact(s, 4))[0] != 0:
        raise SystemExit("SecurityResult failed")
    s.sendall(b"\x01")  # ClientInit, shared
    hdr = recv_exact(s, 24)
    name = recv_exact(s, struct.unpack(">I", hdr[20:24])[0])
    s.settimeout(None)
    s.sendall(SET_PIXEL_FORMAT)
    s.sendall(struct.pack(">BBH", 2, 0, len(encodings)) + b"".join(struct.pack(">i", e) for e in encodings))
    return s, hdr + name


# ---------------------------------------------------------------- scenarios

class Scenario:
    def __init__(self, a, desk, rec, scratch, images):
        self.a, self.desk, self.rec, self.scratch, self.images = a, desk, rec, scratch, images
        self.phases = []

    def phase(self, name, fn):
        u0, t0 = self.rec.updates, time.time()
        ok = fn()
        self.phases.append({"phase": name, "first_update": u0 + 1, "last_update": self.rec.updates,
                            "seconds": round(time.time() - t0, 3), "completed": bool(ok)})
        log("phase %-10s updates %4d..%-4d %.2fs%s" % (name, u0 + 1, self.rec.updates, time.time() - t0,
                                                        "" if ok else "  (timed out)"))
        if self.rec.error:
            raise SystemExit("stream parse error: %s" % self.rec.error)

    def wallpaper_change(self, img):
        self.rec.mark_pixels()
        self.desk.wallpaper(img)
        ok = self.rec.wait_pixels(self.rec.w * self.rec.h // 2, 20)
        self.rec.wait_updates(2, 2)
        return ok

    def full_refresh(self):
        self.rec.mark_pixels()
        self.rec.request(False)
        return self.rec.wait_pixels(self.rec.w * self.rec.h, 20)

    def drag(self, wid, x0, y0, x1, y1, steps):
        ok = True
        for i in range(1, steps + 1):
            x = x0 + (x1 - x0) * i // steps
            y = y0 + (y1 - y0) * i // steps
            self.desk.run("xdotool", "windowmove", wid, str(x), str(y))
            ok &= self.rec.wait_updates(1, 2)
        return ok


def start_xterms(desk, a, scratch, go, stop):
    """Four terminals; geometry scaled to the screen."""
    W, H = desk.w, desk.h
    tg = [sys.executable, os.path.join(HERE, "textgen.py")]
    ctl = ["--go-file", go, "--stop-file", stop]
    xft = ["-fa", "DejaVu Sans Mono"]
    wins = [
        # title, geometry, font args, colours, textgen args
        ("perf-log", "80x24+%d+%d" % (W * 40 // 1920, H * 60 // 1080), xft + ["-fs", "9"],
         ["-bg", "#1e1e1e", "-fg", "#d4d4d4"], ["scroll", "--seed", "1", "--interval", "0.25", "--burst", "2", "--prefill", "30"]),
        ("perf-type", "72x8+%d+%d" % (W * 40 // 1920, H * 520 // 1080), xft + ["-fs", "11"],
         ["-bg", "#ffffff", "-fg", "#202020"], ["type", "--seed", "2", "--rate", "12", "--width", "70"]),
        ("perf-table", "78x22+%d+%d" % (W * 1100 // 1920, H * 80 // 1080), ["-fn", "fixed"],
         ["-bg", "#002b36", "-fg", "#93a1a1"], ["table", "--seed", "3", "--interval", "0.5"]),
        ("perf-static", "90x30+%d+%d" % (W * 700 // 1920, H * 640 // 1080), xft + ["-fs", "8"],
         ["-bg", "#fdf6e3", "-fg", "#657b83"], ["scroll", "--seed", "4", "--prefill", "40", "--interval", "1e9"]),
    ]
    for title, geom, font, colours, args in wins:
        if a.scenario == "fullframes" or title == "perf-static":
            gen_ctl = ["--go-file", go + ".never", "--stop-file", stop]
        else:
            gen_ctl = ctl
        desk.spawn("xterm", "-T", title, "-n", title, "-geometry", geom, *font, *colours,
                   "+sb", "-b", "2", "-e", *tg, *args, *gen_ctl)
    ids = {t: desk.window_id(t) for t, *_ in wins}
    return ids


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--name", required=True, help="recording name (files NAME.rfbrec / NAME.json)")
    p.add_argument("--outdir", default=os.path.join(LAB, "recordings"))
    p.add_argument("--size", default="1920x1080")
    p.add_argument("--encodings", default=",".join(map(str, LIB_ENCODINGS)),
                   help="SetEncodings list, e.g. 16,-223 (ZRLE only) or 0 (Raw)")
    p.add_argument("--display", type=int, default=41, help="X display number (lab range 40-59)")
    p.add_argument("--port", type=int, default=None, help="RFB port (default 5900+display)")
    p.add_argument("--scenario", choices=["desktop", "fullframes"], default="desktop")
    p.add_argument("--frames", type=int, default=3, help="fullframes: number of full frames")
    p.add_argument("--activity", default="60,40,20",
                   help="desktop: updates of text activity in the three activity phases")
    p.add_argument("--min-activity-s", default="",
                   help="desktop: the three activity phases also last at least these seconds (e.g. 4,3,1.1, "
                        "what they take with lossless encodings). For Tight+JPEG: Xvnc then follows lossy "
                        "updates with a stream of small lossless-refresh updates, which would end update-counted "
                        "phases within milliseconds")
    p.add_argument("--drag-steps", type=int, default=16)
    a = p.parse_args()
    if not 40 <= a.display <= 59:
        raise SystemExit("use displays :40-:59")
    port = a.port or 5900 + a.display
    if not 5940 <= port <= 5959:
        raise SystemExit("use ports 5940-5959")
    W, H = map(int, a.size.split("x"))
    encodings = [int(e) for e in a.encodings.split(",")]
    for tool in ("Xvnc", "xterm", "xdotool", "xsetroot", "xwd", "xdpyinfo", "convert", "display"):
        if not shutil.which(tool):
            raise SystemExit("missing tool: %s" % tool)

    scratch = os.path.join(LAB, "scratch", "rec-%d" % a.display)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    imgdir = os.path.join(LAB, "scratch", "images")
    images = {}
    for v in "ABC":
        images[v] = os.path.join(imgdir, "wall-%dx%d-%s.png" % (W, H, v))
        make_wallpaper(images[v], W, H, v)
    go, stop = os.path.join(scratch, "go"), os.path.join(scratch, "stop")

    desk = Desktop(a.display, port, W, H, scratch)
    sock = None
    t_start = time.time()
    try:
        desk.start()
        desk.wallpaper(images["A"])
        ids = start_xterms(desk, a, scratch, go, stop)
        time.sleep(1.5)  # let the terminals draw their first screen
        sock, serverinit = connect(port, encodings)
        rec = Recorder(sock, W, H)
        th = threading.Thread(target=rec.run, daemon=True)
        th.start()
        rec.request(False)
        sc = Scenario(a, desk, rec, scratch, images)
        sc.phase("initial", lambda: rec.wait_updates(1, 30))
        if a.scenario == "desktop":
            n1, n2, n3 = map(int, a.activity.split(","))
            m1, m2, m3 = map(float, a.min_activity_s.split(",")) if a.min_activity_s else (0, 0, 0)

            def activity(n, min_s):
                t_end = time.time() + min_s
                ok = rec.wait_updates(n, 60)
                while time.time() < t_end and not rec.error:
                    time.sleep(0.01)
                return ok
            open(go, "w").close()
            sc.phase("activity1", lambda: activity(n1, m1))
            x0, y0 = W * 1100 // 1920, H * 80 // 1080
            x1, y1 = W * 560 // 1920, H * 300 // 1080
            sc.phase("drag", lambda: sc.drag(ids["perf-table"], x0, y0, x1, y1, a.drag_steps))
            sc.phase("wallpaper", lambda: sc.wallpaper_change(images["B"]))
            sc.phase("activity2", lambda: activity(n2, m2))
            sc.phase("refresh", sc.full_refresh)
            sc.phase("activity3", lambda: activity(n3, m3))
        else:
            walls = ["B", "C", "A"]
            for i in range(1, a.frames):
                if i % 2 == 1:
                    img = images[walls[(i // 2) % 3]]
                    sc.phase("wallpaper", lambda img=img: sc.wallpaper_change(img))
                else:
                    sc.phase("refresh", sc.full_refresh)
        open(stop, "w").close()
        for _ in range(10):
            sc.phase("settle", lambda: rec.wait_idle(1.5, 30))
            u = rec.updates
            expected = desk.snapshot_fnv()
            time.sleep(0.3)
            if rec.updates == u and rec.pending_bytes() == 0:
                break
            log("screen changed during the snapshot; settling again")
        else:
            raise SystemExit("screen never settled")
        rec.stopping = True
        sock.shutdown(socket.SHUT_RDWR)
        sock.close()
        th.join(10)
        if rec.error:
            raise SystemExit("stream parse error: %s" % rec.error)
    finally:
        desk.stop()

    stream = b"".join(rec.chunks)[:rec.complete_offset]
    os.makedirs(a.outdir, exist_ok=True)
    base = os.path.join(a.outdir, a.name)
    with open(base + ".rfbrec", "wb") as f:
        f.write(b"RFBREC1\n" + struct.pack(">I", len(serverinit)) + serverinit + stream)
    xvnc_version = ""
    encode_stats = []  # Xvnc's own per-encoder statistics, logged when our connection closed
    try:
        with open(desk.xvnc_log.name) as f:
            for line in f:
                if not xvnc_version and ("TigerVNC" in line or "Xvnc" in line):
                    xvnc_version = line.strip()
                if "EncodeManager:" in line:
                    encode_stats.append(line.split("EncodeManager:", 1)[1].rstrip())
    except OSError:
        pass
    lossy = is_lossy(encodings)
    side = {
        "format": "RFBREC1",
        "file": a.name + ".rfbrec",
        "width": W, "height": H,
        "desktop_name": serverinit[24:].decode("latin-1"),
        "server": xvnc_version,
        "pixel_format": {"bpp": 32, "depth": 24, "big_endian": 0, "true_colour": 1,
                         "max": [255, 255, 255], "shift": [16, 8, 0]},
        "encodings": encodings,
        "encodings_names": [ENC_NAMES.get(e, str(e)) for e in encodings],
        "scenario": a.scenario,
        "workload": {"activity_updates": a.activity, "min_activity_s": a.min_activity_s, "drag_steps": a.drag_steps,
                     "xvnc_args": desk.xvnc_args, "wallpapers": "ImageMagick gradient + plasma, "
                     "seeds fixed (record.py make_wallpaper)"},
        "frames": a.frames if a.scenario == "fullframes" else None,
        "updates": rec.msg_counts[0],
        "messages": {"framebuffer_update": rec.msg_counts[0], "colour_map": rec.msg_counts[1],
                     "bell": rec.msg_counts[2], "server_cut_text": rec.msg_counts[3]},
        "rects": sum(v for k, v in rec.rects_by_enc.items() if k in rec.pixels_by_enc),
        "rects_by_encoding": rec.rects_by_enc,
        "pixels_by_encoding": rec.pixels_by_enc,
        "bytes_by_encoding": rec.bytes_by_enc,
        "total_pixels": sum(rec.pixels_by_enc.values()),
        "full_frame_updates": sum(1 for u in rec.per_update if u[3] >= W * H),
        "large_updates": sum(1 for u in rec.per_update if u[3] >= W * H // 2),
        "largest_update_bytes": max((u[1] for u in rec.per_update), default=0),
        "serverinit_bytes": len(serverinit),
        "stream_bytes": len(stream),
        "file_bytes": 12 + len(serverinit) + len(stream),
        "expected_fnv": None if lossy else expected,
        "x_screen_fnv": expected,
        "lossy": lossy,
        "expected_fnv_note": ("lossy recording (Tight with a JPEG quality level): the decoded framebuffer "
                              "cannot equal the X screen (x_screen_fnv), so expected_fnv is null and the "
                              "tools compare the clients with each other (ab.py)"
                              if lossy else
                              "64-bit FNV-1a over B,G,R of every pixel of the X screen (xwd -root) "
                              "after the workload settled; a client that decoded every update "
                              "correctly ends with this framebuffer"),
        "tight_rects_by_type": rec.tight_kinds,
        "xvnc_encode_stats": encode_stats,
        "phases": sc.phases,
        "recorded_at": datetime.datetime.now().isoformat(timespec="seconds"),
        "record_wall_s": round(time.time() - t_start, 2),
        "per_update_columns": ["t_ms", "bytes", "rects", "pixels"],
        "per_update": rec.per_update,
    }
    with open(base + ".json", "w") as f:
        json.dump(side, f, indent=1)
        f.write("\n")
    log("wrote %s.rfbrec: %d updates, %d rects, %.1f Mpx, %.2f MB stream, fnv %s%s" % (
        base, side["updates"], side["rects"], side["total_pixels"] / 1e6, len(stream) / 1e6, expected,
        " (X screen; lossy recording)" if lossy else ""))


if __name__ == "__main__":
    main()
