#!/usr/bin/env python3
"""slow_link_relay.py - a slow link between two loopback TCP ends.

Listens on 127.0.0.1:LISTEN and, for each connection, connects to
127.0.0.1:TARGET. Each direction is a link of its own: bytes queue for a
bottleneck of RATE Mbit/s, then take DELAY ms to arrive. At most QUEUE bytes
wait on a direction at once (the bottleneck's buffer plus what is on its way);
beyond that the relay stops reading, so the sender feels the slow link
through TCP as it would on a real one. The sockets' own buffers are kept
small for the same reason.

It also counts, per connection, the FramebufferUpdate messages in the
server-to-client stream when it can walk it (Raw, CopyRect, RRE, Hextile,
ZRLE, pseudo-encodings; a Tight stream is not walked) and the
FramebufferUpdateRequest messages in the other direction. One line per closed
connection goes to --stats (JSON).

Python stdlib only.
    bench/slow_link_relay.py --listen 5999 --target 5901 --delay 25 --rate 50
"""
import argparse
import asyncio
import collections
import json
import socket
import struct
import sys
import time

PIECE = 8192  # 1.3 ms at 50 Mbit/s: fine enough that pacing stays smooth


class Link:
    """One direction: a FIFO bottleneck then a fixed delay."""

    def __init__(self, rate_bps, delay_s, limit):
        self.rate = rate_bps
        self.delay = delay_s
        self.limit = limit
        self.free_at = 0.0  # when the bottleneck has sent all it holds
        self.queued = 0
        self.q = collections.deque()
        self.wake = asyncio.Event()
        self.room = asyncio.Event()
        self.room.set()
        self.closed = False
        self.bytes = 0

    def put(self, data):
        now = time.monotonic()
        for i in range(0, len(data), PIECE):
            piece = data[i:i + PIECE]
            start = max(now, self.free_at)
            self.free_at = start + (len(piece) * 8 / self.rate if self.rate else 0)
            self.q.append((self.free_at + self.delay, piece))
            self.queued += len(piece)
        if self.queued >= self.limit:
            self.room.clear()
        self.wake.set()

    async def pump(self, writer, on_delivered=None):
        loop = asyncio.get_running_loop()
        try:
            while True:
                while not self.q:
                    if self.closed:
                        return
                    self.wake.clear()
                    await self.wake.wait()
                due, piece = self.q[0]
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not self.q:  # dropped while waiting
                    continue
                self.q.popleft()
                writer.write(piece)
                await writer.drain()
                self.queued -= len(piece)
                self.bytes += len(piece)
                if on_delivered:
                    on_delivered(piece)
                if self.queued < self.limit:
                    self.room.set()
        finally:
            writer.close()


class ServerWalker:
    """Walks the server-to-client RFB stream after the handshake and counts
    FramebufferUpdate messages as they are delivered in full."""

    def __init__(self):
        self.buf = bytearray()
        self.stage = "version"
        self.updates = 0
        self.rects = 0
        self.bpp = 4
        self.lost = None  # why the walk stopped, if it did
        self.times = []
        self.first_message = None  # when the first message after the greeting began to arrive

    def feed(self, data):
        if self.lost:
            return
        self.buf += data
        try:
            while self._step():
                pass
        except (_Unknown, ValueError) as e:  # not an RFB stream we can follow
            self.lost = str(e) or type(e).__name__
            self.buf = bytearray()

    def _need(self, n):
        return len(self.buf) >= n

    def _step(self):
        b = self.buf
        if self.stage == "version":
            if not self._need(12):
                return False
            self.minor = int(b[8:11])
            del b[:12]
            self.stage = "security"
            return True
        if self.stage == "security":
            # Only security None is followed: the bench's Xvnc takes no password.
            if self.minor >= 7:
                if not self._need(1):
                    return False
                n = b[0]
                if not self._need(1 + n):
                    return False
                del b[:1 + n]
            else:
                if not self._need(4):
                    return False
                del b[:4]
            self.stage = "result" if self.minor >= 8 else "init"
            return True
        if self.stage == "result":
            if not self._need(4):
                return False
            del b[:4]
            self.stage = "init"
            return True
        if self.stage == "init":
            if not self._need(24):
                return False
            n = struct.unpack(">I", b[20:24])[0]
            if not self._need(24 + n):
                return False
            self.bpp = b[4] // 8
            del b[:24 + n]
            self.stage = "msg"
            return True
        # Messages.
        if not self._need(1):
            return False
        if self.first_message is None:
            self.first_message = time.monotonic()
        t = b[0]
        if t == 0:
            n = self._update_len()
            if n is None:
                return False
            del b[:n]
            self.updates += 1
            self.times.append(time.monotonic())
            return True
        if t == 1:
            if not self._need(6):
                return False
            n = 6 + 6 * struct.unpack(">H", b[4:6])[0]
        elif t == 2:
            n = 1
        elif t == 3:
            if not self._need(8):
                return False
            ln = struct.unpack(">i", b[4:8])[0]
            n = 8 + abs(ln)
        elif t == 150:  # EndOfContinuousUpdates
            n = 1
        elif t == 248:  # Fence
            if not self._need(9):
                return False
            n = 9 + b[8]
        else:
            raise _Unknown("server message %d" % t)
        if not self._need(n):
            return False
        del b[:n]
        return True

    def _update_len(self):
        """Length of the whole FramebufferUpdate at the head, or None while
        it has not all arrived."""
        b = self.buf
        if len(b) < 4:
            return None
        count = struct.unpack(">H", b[2:4])[0]
        at = 4
        bpp = self.bpp
        for _ in range(count):
            if len(b) < at + 12:
                return None
            x, y, w, h, enc = struct.unpack(">HHHHi", b[at:at + 12])
            at += 12
            if enc == 0:
                at += w * h * bpp
            elif enc == 1:
                at += 4
            elif enc == 2:
                if len(b) < at + 4:
                    return None
                at += 4 + bpp + struct.unpack(">I", b[at:at + 4])[0] * (bpp + 8)
            elif enc == 5:
                at = self._hextile(at, w, h)
                if at is None:
                    return None
            elif enc == 16:
                if len(b) < at + 4:
                    return None
                at += 4 + struct.unpack(">I", b[at:at + 4])[0]
            elif enc == -239:  # Cursor
                at += w * h * bpp + ((w + 7) // 8) * h
            elif enc == -240:  # XCursor
                at += (6 + ((w + 7) // 8) * h * 2) if w * h else 0
            elif enc == -224:  # LastRect
                break
            elif enc == -223:  # DesktopSize
                pass
            elif enc == -308:  # ExtendedDesktopSize
                if len(b) < at + 4:
                    return None
                at += 4 + 16 * b[at]
            elif enc == -307:  # DesktopName
                if len(b) < at + 4:
                    return None
                at += 4 + struct.unpack(">I", b[at:at + 4])[0]
            else:
                raise _Unknown("encoding %d" % enc)
            if len(b) < at:
                return None
        if len(b) < at:
            return None
        self.rects += count
        return at

    def _hextile(self, at, w, h):
        b = self.buf
        bpp = self.bpp
        for ty in range(0, h, 16):
            for tx in range(0, w, 16):
                if len(b) < at + 1:
                    return None
                flags = b[at]
                at += 1
                if flags & 1:
                    at += min(16, w - tx) * min(16, h - ty) * bpp
                    continue
                if flags & 2:
                    at += bpp
                if flags & 4:
                    at += bpp
                if flags & 8:
                    if len(b) < at + 1:
                        return None
                    n = b[at]
                    at += 1 + n * (2 + (bpp if flags & 16 else 0))
        return at


class _Unknown(Exception):
    pass


class ClientWalker:
    """Counts FramebufferUpdateRequest messages after the handshake."""

    def __init__(self):
        self.buf = bytearray()
        self.stage = 0
        self.requests = 0
        self.lost = None

    def feed(self, data):
        if self.lost:
            return
        b = self.buf
        b += data
        while True:
            if self.stage == 0:  # version, security choice, ClientInit
                if len(b) < 14:
                    return
                del b[:14]
                self.stage = 1
                continue
            if not b:
                return
            t = b[0]
            sizes = {0: 20, 3: 10, 4: 8, 5: 6}
            if t in sizes:
                n = sizes[t]
            elif t == 2:
                if len(b) < 4:
                    return
                n = 4 + 4 * struct.unpack(">H", b[2:4])[0]
            elif t == 6:
                if len(b) < 8:
                    return
                n = 8 + abs(struct.unpack(">i", b[4:8])[0])
            elif t == 150:  # EnableContinuousUpdates
                n = 10
            elif t == 248:  # Fence
                if len(b) < 9:
                    return
                n = 9 + b[8]
            elif t == 251:  # SetDesktopSize
                if len(b) < 8:
                    return
                n = 8 + 16 * b[6]
            elif t == 255:  # QEMU message
                n = 12
            else:
                self.lost = "client message %d" % t
                return
            if len(b) < n:
                return
            if t == 3:
                self.requests += 1
            del b[:n]


def small_buffers(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def carry(reader, link, other):
    """Reads one end into its link. At its end the link still delivers what
    it holds, and what the other direction holds is dropped: that end is
    gone."""
    try:
        while True:
            await link.room.wait()
            data = await reader.read(65536)
            if not data:
                break
            link.put(data)
    except (ConnectionError, OSError):
        pass
    link.closed = True
    link.wake.set()
    other.closed = True
    other.q.clear()
    other.queued = 0
    other.room.set()
    other.wake.set()


async def serve(a):
    rate = a.rate * 1e6 if a.rate > 0 else 0
    delay = a.delay / 1000.0
    # A queue of the delay's worth of bytes plus 50 ms at the bottleneck.
    limit = a.queue or max(131072, int((rate or 50e6) / 8 * (delay + 0.05)))
    serial = [0]

    async def handle(creader, cwriter):
        serial[0] += 1
        n = serial[0]
        t0 = time.monotonic()
        try:
            sreader, swriter = await asyncio.open_connection("127.0.0.1", a.target)
        except OSError as e:
            print("relay: connect to %d: %s" % (a.target, e), file=sys.stderr)
            cwriter.close()
            return
        small_buffers(cwriter)
        small_buffers(swriter)
        up = Link(rate, delay, limit)
        down = Link(rate, delay, limit)
        sw, cw = ServerWalker(), ClientWalker()
        await asyncio.gather(carry(creader, up, down), carry(sreader, down, up),
                             up.pump(swriter, cw.feed), down.pump(cwriter, sw.feed),
                             return_exceptions=True)
        t1 = time.monotonic()
        first = sw.first_message or t1
        rec = {"connection": n, "seconds": round(t1 - t0, 3),
               "seconds_after_first_message": round(t1 - first, 3),
               "updates": sw.updates, "rects": sw.rects,
               "walk_stopped": sw.lost, "requests": cw.requests, "client_walk_stopped": cw.lost,
               "bytes_down": down.bytes, "bytes_up": up.bytes,
               "delay_ms": a.delay, "rate_mbit": a.rate}
        line = json.dumps(rec)
        if a.stats:
            with open(a.stats, "a") as f:
                f.write(line + "\n")
        else:
            print(line, flush=True)

    server = await asyncio.start_server(handle, "127.0.0.1", a.listen)
    if a.ready:
        with open(a.ready, "w") as f:
            f.write("%d\n" % server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--listen", type=int, default=0, help="port on 127.0.0.1 (0 picks one, see --ready)")
    p.add_argument("--target", type=int, required=True, help="server port on 127.0.0.1")
    p.add_argument("--delay", type=float, default=25.0, help="ms added to each direction")
    p.add_argument("--rate", type=float, default=50.0, help="Mbit/s per direction; 0 = no cap")
    p.add_argument("--queue", type=int, default=0, help="bytes held per direction at most (default: delay's worth + 50 ms)")
    p.add_argument("--stats", help="append one JSON line per closed connection here (default stdout)")
    p.add_argument("--ready", help="write the listening port here once listening")
    a = p.parse_args()
    try:
        asyncio.run(serve(a))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
