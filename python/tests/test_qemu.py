"""vnc-do against QEMU's own VNC server (firmware only, no disk): the keys
that reach the machine, from QEMU's trace."""

import re
import shutil
import socket
import subprocess
import sys

import pytest

from conftest import wait_until


@pytest.fixture(scope="module")
def qemu(tmp_path_factory):
    if shutil.which("qemu-system-x86_64") is None:
        pytest.skip("qemu-system-x86_64 is not installed")
    trace = tmp_path_factory.mktemp("qemu") / "trace.log"
    for display in range(400, 500):
        try:
            with socket.socket() as s:
                s.bind(("127.0.0.1", 5900 + display))
        except OSError:
            continue
        proc = subprocess.Popen(["qemu-system-x86_64", "-display", "none", "-vnc", f"127.0.0.1:{display}",
                                 "-machine", "accel=tcg", "-nodefaults", "-vga", "std", "-monitor", "none",
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
    yield 5900 + display, trace
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
