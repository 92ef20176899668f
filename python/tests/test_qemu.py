"""vnc-do against QEMU's own VNC server (firmware only, no disk): the keys
that reach the machine, from QEMU's trace; its X.509 certificate checked,
pinned and remembered."""

import hashlib
import re
import shutil
import ssl
import socket
import subprocess
import sys

import pytest

from conftest import wait_until


def start_qemu(tmp_path_factory, extra=(), vnc_extra=""):
    if shutil.which("qemu-system-x86_64") is None:
        pytest.skip("qemu-system-x86_64 is not installed")
    trace = tmp_path_factory.mktemp("qemu") / "trace.log"
    for display in range(400, 500):
        try:
            with socket.socket() as s:
                s.bind(("127.0.0.1", 5900 + display))
        except OSError:
            continue
        proc = subprocess.Popen(["qemu-system-x86_64", "-display", "none", *extra,
                                 "-vnc", f"127.0.0.1:{display}{vnc_extra}", "-machine", "accel=tcg", "-nodefaults", "-vga", "std", "-monitor", "none",
                                 "-trace", "enable=input_event_key_qcode", "-D", str(trace)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", 5900 + display), 0.2).close()
                return True
            except OSError:
                return False

        if wait_until(lambda: proc.poll() is not None or listening(), 20) and proc.poll() is None:
            break
        proc.kill()
        proc.wait()
    else:
        pytest.fail("QEMU did not start")
    return proc, 5900 + display, trace


@pytest.fixture(scope="module")
def qemu(tmp_path_factory):
    proc, port, trace = start_qemu(tmp_path_factory)
    yield port, trace
    proc.kill()
    proc.wait()


@pytest.fixture(scope="module")
def qemu_x509(tmp_path_factory):
    """QEMU offering X509None with a certificate for 127.0.0.1 from a CA of its own."""
    if shutil.which("certtool") is None:
        pytest.skip("certtool is not installed (gnutls-bin)")
    d = tmp_path_factory.mktemp("x509")

    def certtool(*args):
        subprocess.run(["certtool", *args], check=True, capture_output=True)

    (d / "ca.info").write_text('cn = "quenvira test CA"\nca\ncert_signing_key\nexpiration_days = 2\n')
    (d / "server.info").write_text('cn = "127.0.0.1"\nip_address = "127.0.0.1"\ntls_www_server\n'
                                   'encryption_key\nsigning_key\nexpiration_days = 2\n')
    certtool("--generate-privkey", "--outfile", str(d / "ca-key.pem"))
    certtool("--generate-self-signed", "--load-privkey", str(d / "ca-key.pem"), "--template",
             str(d / "ca.info"), "--outfile", str(d / "ca-cert.pem"))
    certtool("--generate-privkey", "--outfile", str(d / "server-key.pem"))
    certtool("--generate-certificate", "--load-privkey", str(d / "server-key.pem"), "--load-ca-certificate",
             str(d / "ca-cert.pem"), "--load-ca-privkey", str(d / "ca-key.pem"), "--template",
             str(d / "server.info"), "--outfile", str(d / "server-cert.pem"))
    proc, port, _ = start_qemu(tmp_path_factory,
                               ["-object", f"tls-creds-x509,id=tls0,dir={d},endpoint=server,verify-peer=off"],
                               ",tls-creds=tls0")
    der = ssl.PEM_cert_to_DER_cert((d / "server-cert.pem").read_text())
    yield port, d / "ca-cert.pem", hashlib.sha256(der).hexdigest()
    proc.kill()
    proc.wait()


def test_shifted_signs_arrive_as_typed(qemu):
    port, trace = qemu
    pressed = []

    def keys():
        pressed[:] = [k for k, down in re.findall(r"key qcode (\w+), down (\d)", trace.read_text()) if down == "1"]
        return "f9" in pressed

    # QEMU's key event by default: QEMU maps a plain keysym through its
    # keymap, where "!" is the 1 key without Shift.
    run = subprocess.run([sys.executable, "-m", "quenvira_vnc", "-s", f"127.0.0.1::{port}", "type", "!@#",
                          "key", "F9"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert wait_until(keys), pressed
    assert pressed == ["shift", "1", "2", "3", "f9"]


def test_certificates_checked_pinned_and_remembered(qemu_x509, tmp_path):
    import quenvira_vnc as qv
    port, ca, fingerprint = qemu_x509
    with qv.Client() as c:
        c.connect("127.0.0.1", port, ca_file=ca, timeout=20)
        info = c.security_info
        assert (info["type"], info["verification"], info["sha256"].replace(":", "").lower()) == \
            ("x509none", "ok", fingerprint), info
        assert info["subject"].endswith("CN=127.0.0.1") and "quenvira test CA" in info["issuer"], info
    # By default the system's CAs, which never signed it: refused, and the
    # certificate is there to be shown and pinned.
    with qv.Client() as c:
        with pytest.raises(qv.ConnectionFailed) as failed:
            c.connect("127.0.0.1", port, timeout=20)
        info = c.security_info
        assert info["verification"] != "ok" and info["sha256"].replace(":", "").lower() == fingerprint, info
        assert c.status != qv.Status.CONNECTED and fingerprint in failed.value.reason.replace(":", "").lower()
    # vnc-do: refused with the pin to give; then the known-hosts file's pin.
    env = {**__import__("os").environ, "XDG_CONFIG_HOME": str(tmp_path)}
    args = [sys.executable, "-m", "quenvira_vnc", "-s", f"127.0.0.1::{port}", "-t", "20", "capture",
            str(tmp_path / "shot.png")]
    run = subprocess.run(args, capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 3 and f"--pin sha256:{fingerprint}" in run.stderr, run.stderr
    (tmp_path / "quenvira-vnc").mkdir()
    (tmp_path / "quenvira-vnc" / "known_hosts").write_text(f"# trusted\n127.0.0.1:{port} sha256:{fingerprint}\n")
    run = subprocess.run(args, capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 0 and (tmp_path / "shot.png").exists(), run.stderr
    (tmp_path / "quenvira-vnc" / "known_hosts").write_text(f"127.0.0.1:{port} sha256:{'0' * 64}\n")
    run = subprocess.run(args, capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 3, run.stderr
