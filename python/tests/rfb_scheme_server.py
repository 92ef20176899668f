"""A small RFB 3.8 server for the security schemes beyond VNC authentication:
Apple Diffie-Hellman (30), MSLogonII (113) and RSA-AES (5, 6, 129, 130),
written from the RFB community protocol document with python3-cryptography,
apart from the library under test. After the security handshake it serves a
64 x 48 picture in Raw encoding until the client goes.

Used by test_schemes.py, and by hand against other viewers:

    python3 rfb_scheme_server.py --scheme dh --port 5911 --username u --password p
    gvncviewer 127.0.0.1:11
"""

import argparse
import hashlib
import os
import secrets
import socket
import struct
import sys
import threading
import warnings

from cryptography.hazmat.primitives import cmac, hashes  # noqa: F401
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

# MSLogonII is single DES; this cryptography still has it as TripleDES.
warnings.filterwarnings("ignore", message=".*TripleDES.*")

SCHEMES = {"dh": 30, "mslogon2": 113, "ra2": 5, "ra2ne": 6, "ra2-256": 129, "ra2ne-256": 130}
WIDTH, HEIGHT = 64, 48

# RFC 3526's 2048-bit MODP group: a real server's kind of prime.
MODP_2048 = int(
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3DC2007CB8A163BF0598DA48361C55D39A69163FA8FD24CF5F"
    "83655D23DCA3AD961C62F356208552BB9ED529077096966D670C354E4ABC9804F1746C08CA18217C32905E462E36CE3B"
    "E39E772C180E86039B2783A2EC07A28FB5C55DF06F4C52C9DE2BCBF6955817183995497CEA956AE515D2261898FA0510"
    "15728E5A8AACAA68FFFFFFFFFFFFFFFF",
    16,
)


def picture_pixel(x, y):
    """The served picture, as 0xRRGGBB."""
    return ((x * 4) & 0xFF) << 16 | ((y * 5) & 0xFF) << 8 | ((x ^ y) * 3 & 0xFF)


class Closed(Exception):
    pass


class PlainStream:
    def __init__(self, sock):
        self.sock = sock

    def read(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise Closed("client closed")
            out += chunk
        return out

    def write(self, data):
        self.sock.sendall(data)


def _omac(key, tweak, data):
    c = cmac.CMAC(algorithms.AES(key))
    c.update(bytes(15) + bytes([tweak]) + data)
    return c.finalize()


def eax_seal(key, nonce, header, plain):
    """EAX (Bellare, Rogaway, Wagner) from AES-CTR and CMAC."""
    n = _omac(key, 0, nonce)
    h = _omac(key, 1, header)
    enc = Cipher(algorithms.AES(key), modes.CTR(n)).encryptor()
    c = enc.update(plain) + enc.finalize()
    tag = bytes(a ^ b ^ t for a, b, t in zip(n, h, _omac(key, 2, c)))
    return c, tag


def eax_open(key, nonce, header, cipher, tag):
    n = _omac(key, 0, nonce)
    h = _omac(key, 1, header)
    want = bytes(a ^ b ^ t for a, b, t in zip(n, h, _omac(key, 2, cipher)))
    if not secrets.compare_digest(want, tag):
        raise Closed("frame failed its tag")
    dec = Cipher(algorithms.AES(key), modes.CTR(n)).decryptor()
    return dec.update(cipher) + dec.finalize()


class FrameStream:
    """RSA-AES frames: 2-byte length (the associated data), EAX with a
    16-byte little-endian counter nonce per direction, 16-byte tag."""

    def __init__(self, inner, send_key, recv_key):
        self.inner = inner
        self.send_key, self.recv_key = send_key, recv_key
        self.send_count = self.recv_count = 0
        self.buf = b""

    def write(self, data):
        for i in range(0, len(data), 0xFFFF):
            piece = data[i : i + 0xFFFF]
            head = struct.pack(">H", len(piece))
            c, tag = eax_seal(self.send_key, self.send_count.to_bytes(16, "little"), head, piece)
            self.send_count += 1
            self.inner.write(head + c + tag)

    def read(self, n):
        while len(self.buf) < n:
            head = self.inner.read(2)
            (length,) = struct.unpack(">H", head)
            body = self.inner.read(length + 16)
            self.buf += eax_open(
                self.recv_key, self.recv_count.to_bytes(16, "little"), head, body[:-16], body[-16:]
            )
            self.recv_count += 1
        out, self.buf = self.buf[:n], self.buf[n:]
        return out


def serve_dh(s, log):
    gen, p = 2, MODP_2048
    size = (p.bit_length() + 7) // 8
    y = secrets.randbelow(p - 3) + 2
    s.write(struct.pack(">HH", gen, size) + p.to_bytes(size, "big") + pow(gen, y, p).to_bytes(size, "big"))
    block = s.read(128)
    theirs = int.from_bytes(s.read(size), "big")
    shared = pow(theirs, y, p).to_bytes(size, "big")
    key = hashlib.md5(shared).digest()
    dec = Cipher(algorithms.AES(key), modes.ECB()).decryptor()
    plain = dec.update(block) + dec.finalize()
    log["username"] = plain[:64].split(b"\0")[0].decode()
    log["password"] = plain[64:].split(b"\0")[0].decode()
    return s


def _reverse_bits(b):
    return int(f"{b:08b}"[::-1], 2)


def serve_mslogon2(s, log):
    # Small primes as UltraVNC uses; 8-byte big-endian values.
    gen, mod = 5, 4294967291
    y = secrets.randbelow(mod - 3) + 2
    s.write(gen.to_bytes(8, "big") + mod.to_bytes(8, "big") + pow(gen, y, mod).to_bytes(8, "big"))
    theirs = int.from_bytes(s.read(8), "big")
    key = pow(theirs, y, mod).to_bytes(8, "big")
    des_key = bytes(_reverse_bits(b) for b in key)

    def decrypt(data):
        d = Cipher(algorithms.TripleDES(des_key * 3), modes.CBC(key)).decryptor()
        return d.update(data) + d.finalize()

    log["username"] = decrypt(s.read(256)).split(b"\0")[0].decode()
    # Compared as Latin-1, as a Windows server does; the others take UTF-8.
    log["password"] = decrypt(s.read(64)).split(b"\0")[0].decode("latin-1")
    return s


def _key_message(bits, n, e):
    size = (bits + 7) // 8
    return struct.pack(">I", bits) + n.to_bytes(size, "big") + e.to_bytes(size, "big")


def serve_ra2(s, log, type_, server_key, want_username):
    wide = type_ in (129, 130)
    h = hashlib.sha256 if wide else hashlib.sha1
    keylen = 32 if wide else 16
    pub = server_key.public_key().public_numbers()
    bits = server_key.key_size
    server_msg = _key_message(bits, pub.n, pub.e)
    s.write(server_msg)
    (cbits,) = struct.unpack(">I", s.read(4))
    if not 1024 <= cbits <= 8192:
        raise Closed("client key size %d" % cbits)
    csize = (cbits + 7) // 8
    cn = int.from_bytes(s.read(csize), "big")
    ce = int.from_bytes(s.read(csize), "big")
    client_msg = _key_message(cbits, cn, ce)
    client_pub = rsa.RSAPublicNumbers(ce, cn).public_key()
    server_random = os.urandom(keylen)
    sealed = client_pub.encrypt(server_random, padding.PKCS1v15())
    s.write(struct.pack(">H", len(sealed)) + sealed)
    (length,) = struct.unpack(">H", s.read(2))
    if length != (bits + 7) // 8:
        raise Closed("client random of %d bytes" % length)
    client_random = server_key.decrypt(s.read(length), padding.PKCS1v15())
    if len(client_random) != keylen:
        raise Closed("client random decrypts to %d bytes" % len(client_random))
    # The server encrypts with ServerSessionKey = H(ClientRandom || ServerRandom).
    server_session = h(client_random + server_random).digest()[:keylen]
    client_session = h(server_random + client_random).digest()[:keylen]
    f = FrameStream(s, server_session, client_session)
    f.write(h(server_msg + client_msg).digest())
    if f.read(h().digest_size) != h(client_msg + server_msg).digest():
        raise Closed("client hash does not match")
    f.write(bytes([1 if want_username else 2]))
    ulen = f.read(1)[0]
    log["username"] = f.read(ulen).decode()
    plen = f.read(1)[0]
    log["password"] = f.read(plen).decode()
    return f if type_ in (5, 129) else s


def serve_one(conn, scheme, username, password, log, server_key=None):
    s = PlainStream(conn)
    s.write(b"RFB 003.008\n")
    if s.read(12) != b"RFB 003.008\n":
        raise Closed("version")
    type_ = SCHEMES[scheme]
    s.write(bytes([1, type_]))
    if s.read(1)[0] != type_:
        raise Closed("client chose another type")
    if type_ == 30:
        s = serve_dh(s, log)
    elif type_ == 113:
        s = serve_mslogon2(s, log)
    else:
        s = serve_ra2(s, log, type_, server_key, bool(username))
    ok = log.get("username", "") == username and log.get("password") == password
    log["ok"] = ok
    if not ok:
        reason = b"wrong credentials"
        s.write(struct.pack(">II", 1, len(reason)) + reason)
        return
    s.write(struct.pack(">I", 0))
    s.read(1)  # ClientInit
    name = b"schemes"
    pf = struct.pack(">BBBBHHHBBB3x", 32, 24, 0, 1, 255, 255, 255, 16, 8, 0)
    s.write(struct.pack(">HH", WIDTH, HEIGHT) + pf + struct.pack(">I", len(name)) + name)
    pixels = b"".join(
        struct.pack("<I", picture_pixel(x, y)) for y in range(HEIGHT) for x in range(WIDTH)
    )
    bpp = 4
    while True:
        t = s.read(1)[0]
        if t == 0:  # SetPixelFormat: we keep sending our own format if it matches
            pf_client = s.read(19)[3:]
            bpp = pf_client[0] // 8
        elif t == 2:
            (count,) = struct.unpack(">xH", s.read(3))
            s.read(4 * count)
        elif t == 3:
            s.read(9)
            if bpp == 4:
                s.write(struct.pack(">BxHHHHHi", 0, 1, 0, 0, WIDTH, HEIGHT, 0) + pixels)
            log["served"] = log.get("served", 0) + 1
        elif t == 4:
            s.read(7)
        elif t == 5:
            s.read(5)
        elif t == 6:
            (length,) = struct.unpack(">3xI", s.read(7))
            s.read(length)
        else:
            raise Closed("unknown message %d" % t)


class SchemeServer:
    """Serves one client at a time on 127.0.0.1 in a thread."""

    def __init__(self, scheme, username, password, port=0, rsa_bits=2048):
        self.scheme, self.username, self.password = scheme, username, password
        self.key = (
            rsa.generate_private_key(public_exponent=65537, key_size=rsa_bits)
            if SCHEMES[scheme] in (5, 6, 129, 130)
            else None
        )
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.logs = []
        self.errors = []
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def key_sha256(self):
        pub = self.key.public_key().public_numbers()
        return hashlib.sha256(_key_message(self.key.key_size, pub.n, pub.e)).hexdigest()

    def _loop(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            log = {}
            self.logs.append(log)
            try:
                with conn:
                    serve_one(conn, self.scheme, self.username, self.password, log, self.key)
            except (Closed, OSError, ValueError) as e:
                self.errors.append(str(e))

    def close(self):
        self.sock.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scheme", choices=sorted(SCHEMES), required=True)
    ap.add_argument("--port", type=int, default=5911)
    ap.add_argument("--username", default="")
    ap.add_argument("--password", required=True)
    a = ap.parse_args()
    srv = SchemeServer(a.scheme, a.username, a.password, a.port)
    print("listening on 127.0.0.1:%d (%s)" % (srv.port, a.scheme), flush=True)
    seen = 0
    try:
        while True:
            srv.thread.join(0.2)
            while seen < len(srv.logs):
                log = srv.logs[seen]
                if "ok" in log or srv.errors:
                    print("client:", {k: v for k, v in log.items() if k != "password"},
                          "password ok" if log.get("password") == a.password else "password wrong",
                          srv.errors[-1:] if srv.errors else "", flush=True)
                    seen += 1
                else:
                    break
    except KeyboardInterrupt:
        srv.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
