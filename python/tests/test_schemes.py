"""The library against rfb_scheme_server.py: a second implementation of Apple
DH, MSLogonII and RSA-AES, from the protocol document with
python3-cryptography (its EAX made of AES-CTR and CMAC), so that a mistake
the library's own tests share with it (both sides use libgcrypt there) shows
here."""

import ctypes

import pytest

import quenvira_vnc as qv
from quenvira_vnc import _native

from conftest import wait_until
from rfb_scheme_server import HEIGHT, SCHEMES, WIDTH, SchemeServer, picture_pixel


def set_option(client, name, value):
    set_opt = _native.extension("vnc_set_option", name)
    if set_opt(client._h(), name.encode(), value.encode()) != 0:
        raise ValueError(_native.last_error())


def security_info(client):
    get = _native.extension("vnc_get_security_info", "security info")
    out = ctypes.create_string_buffer(1024)
    get(client._h(), out, 1024)
    return out.value.decode()


def expected_picture():
    rgb = bytearray()
    for y in range(HEIGHT):
        for x in range(WIDTH):
            p = picture_pixel(x, y)
            rgb += bytes([p >> 16 & 0xFF, p >> 8 & 0xFF, p & 0xFF])
    return qv.Image(WIDTH, HEIGHT, bytes(rgb))


@pytest.fixture(scope="module", autouse=True)
def need_schemes():
    with qv.Client() as c:
        try:
            set_option(c, "security", "ra2")
        except (ValueError, qv.VncError, AttributeError) as e:
            pytest.skip(f"library without these schemes: {e}")


@pytest.mark.parametrize("scheme", sorted(SCHEMES))
@pytest.mark.parametrize("with_username", [True, False])
def test_logs_in_and_shows_the_picture(scheme, with_username):
    if not with_username and SCHEMES[scheme] in (30, 113):
        pytest.skip("Apple DH and MSLogonII always take a user name")
    user = "dana" if with_username else ""
    # Not ASCII: UTF-8 for most, Latin-1 for MSLogonII, each as its servers take it.
    srv = SchemeServer(scheme, user, "pä ss!", rsa_bits=2048)
    try:
        with qv.Client() as c:
            c.connect("127.0.0.1", srv.port, password="pä ss!", security=scheme, username="dana")
            assert wait_until(lambda: c.update_count >= 1, timeout=10), c.end_reason
            assert c.grab() == expected_picture()
            assert srv.logs[0]["username"] == user and srv.logs[0]["password"] == "pä ss!"
            info = security_info(c)
            assert f"type: {scheme}\n" in info
            if srv.key is not None:
                assert f"rsa-sha256: {srv.key_sha256()}\n" in info
        assert not srv.errors or srv.errors == ["client closed"], srv.errors
    finally:
        srv.close()


@pytest.mark.parametrize("scheme", ["ra2", "ra2ne-256", "dh", "mslogon2"])
def test_wrong_password_is_refused(scheme):
    srv = SchemeServer(scheme, "dana", "right", rsa_bits=1024)
    try:
        with qv.Client() as c:
            with pytest.raises(qv.VncError):
                c.connect("127.0.0.1", srv.port, password="wrong", security=scheme, username="dana")
            assert "wrong credentials" in c.end_reason
            assert "wrong" not in c.end_reason.replace("wrong credentials", "")
    finally:
        srv.close()


def test_rsa_pin_accepts_the_key_and_refuses_another():
    srv = SchemeServer("ra2-256", "", "pw", rsa_bits=1024)
    try:
        with qv.Client() as c:
            c.connect("127.0.0.1", srv.port, password="pw", security="ra2-256",
                      rsa_pin="sha256:" + srv.key_sha256().upper())
            assert c.connected
        with qv.Client() as c:
            with pytest.raises(qv.VncError):
                c.connect("127.0.0.1", srv.port, password="pw", security="ra2-256",
                          rsa_pin="sha256:" + "00" * 32)
            assert "does not match rsa-pin" in c.end_reason
            assert srv.key_sha256() in security_info(c)
    finally:
        srv.close()


def test_vnc_do_prefers_rsa_aes_and_pins_the_remembered_key(tmp_path):
    # The default list reaches RSA-AES; a certificate's line for the same
    # server is not taken for its key, and another key is refused.
    import os
    import subprocess
    import sys
    srv = SchemeServer("ra2-256", "", "pw", rsa_bits=1024)
    try:
        (tmp_path / "quenvira-vnc").mkdir()
        known = tmp_path / "quenvira-vnc" / "known_hosts"
        env = {**os.environ, "XDG_CONFIG_HOME": str(tmp_path)}
        args = [sys.executable, "-m", "quenvira_vnc", "-s", f"127.0.0.1::{srv.port}", "-p", "pw",
                "-t", "20", "capture", str(tmp_path / "shot.png")]
        for key, code in ((srv.key_sha256(), 0), ("00" * 32, 3)):
            known.write_text(f"127.0.0.1:{srv.port} sha256:{'11' * 32}\n"
                             f"127.0.0.1:{srv.port} rsa-sha256:{key}\n")
            run = subprocess.run(args, capture_output=True, text=True, timeout=60, env=env)
            assert run.returncode == code, run.stderr
        assert "does not match rsa-pin" in run.stderr
        assert qv.Image.open(tmp_path / "shot.png") == expected_picture()
    finally:
        srv.close()
