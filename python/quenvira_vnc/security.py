"""The security choices the tools and connect() make for people, and the known-hosts file.

The known-hosts file (``known_hosts_path()``) is the one vnc-view writes when
its user trusts a certificate: one server a line, ``HOST:PORT sha256:HEX``
(IPv6 hosts in brackets), ``#`` starting a comment. vnc-do and
``known_host_pin`` only read it.
"""

from __future__ import annotations

import os
from typing import Dict, Optional


def default_security(have_username: bool = False) -> str:
    """X.509 types first, then anonymous TLS, then VNC authentication, then None.

    The Plain subtypes (a username and password) lead their groups when a
    username is given; plain alone (a password sent unencrypted) is never in it.
    RSA-AES follows TLS; Apple DH and MSLogonII, which need a username, only
    with one.
    """
    if have_username:
        tls = "x509plain,x509vnc,x509none,tlsplain,tlsvnc,tlsnone,anontls"
        rest = "ra2-256,ra2,ra2ne-256,ra2ne,dh,mslogon2,vncauth,none"
    else:
        tls = "x509vnc,x509none,x509plain,tlsvnc,tlsnone,tlsplain,anontls"
        rest = "ra2-256,ra2,ra2ne-256,ra2ne,vncauth,none"
    if os.name == "nt":
        # Windows' TLS has no anonymous suites.
        tls = ",".join(t for t in tls.split(",") if t.startswith("x509"))
    return tls + "," + rest


def endpoint(host: str, port: int) -> str:
    """host:port as the known-hosts file and the messages write it."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def known_hosts_path() -> Optional[str]:
    """$XDG_CONFIG_HOME/quenvira-vnc/known_hosts, else ~/.config/...; None when neither is set.

    On Windows, unless XDG_CONFIG_HOME says otherwise, %APPDATA%\\quenvira-vnc\\known_hosts, as the
    Windows tools use."""
    config = os.environ.get("XDG_CONFIG_HOME", "")
    if config.startswith("/") or (os.name == "nt" and config):
        return os.path.join(config, "quenvira-vnc", "known_hosts")
    if os.name == "nt":
        appdata = os.environ.get("APPDATA")
        return os.path.join(appdata, "quenvira-vnc", "known_hosts") if appdata else None
    home = os.environ.get("HOME")
    return os.path.join(home, ".config", "quenvira-vnc", "known_hosts") if home else None


def known_host_pin(host: str, port: int, kind: str = "sha256") -> Optional[str]:
    """The pin ("sha256:HEX") remembered for host:port, or None.

    kind "sha256" is a certificate's (``pin``), "rsa-sha256" an RSA-AES
    server's key (``rsa_pin``); either comes back as "sha256:HEX".
    """
    path = known_hosts_path()
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    where = endpoint(host, port)
    for line in lines:
        words = line.split()
        if len(words) >= 2 and not words[0].startswith("#") and words[0] == where \
                and words[1].startswith(kind + ":"):
            return "sha256:" + words[1][len(kind) + 1:]
    return None


def parse_security_info(text: str) -> Dict[str, str]:
    """vnc_get_security_info's "key: value" lines as a dict."""
    info: Dict[str, str] = {}
    for line in text.splitlines():
        key, sep, value = line.partition(": ")
        if sep:
            info[key] = value
    return info
