"""Server addresses as vnc-do's -s and Client.connect take them."""

from __future__ import annotations

import ipaddress
import re
from typing import Tuple

FIRST_VNC_PORT = 5900


class AddressError(ValueError):
    """A server address that none of the forms fits; the message says why."""


def parse_target(target: str) -> Tuple[str, int]:
    """HOST, HOST:DISPLAY or HOST::PORT (IPv6 literals in brackets) as (host, port)."""
    if target.startswith("["):
        close = target.find("]")
        if close < 0:
            raise AddressError("missing ']' after the IPv6 address")
        host, rest = target[1:close], target[close + 1:]
        if rest and not rest.startswith(":"):
            raise AddressError("unexpected text after ']'")
    else:
        host, colon, rest = target.partition(":")
        rest = colon + rest
    marker = 2 if rest.startswith("::") else 1
    if ":" in rest[marker:]:
        raise AddressError("too many ':' (put IPv6 addresses in brackets, e.g. [::1]::5901)")
    if not host:
        raise AddressError("no host name (put IPv6 addresses in brackets, e.g. [::1])")
    if not rest:
        return host, FIRST_VNC_PORT
    number = rest[marker:]
    if not re.fullmatch(r"[0-9]{1,9}", number):
        number = ""
    if marker == 2:
        if not number or not 1 <= int(number) <= 65535:
            raise AddressError("the port after '::' must be a number from 1 to 65535")
        return host, int(number)
    if not number or int(number) > 65535 - FIRST_VNC_PORT:
        raise AddressError("the display after ':' must be a number from 0 to 59635")
    return host, FIRST_VNC_PORT + int(number)


def split_target(target: str) -> Tuple[str, int]:
    """(host, port) of a connect target without a port number of its own; a
    bare IPv6 address means port 5900."""
    try:
        ipaddress.ip_address(target)
        return target, FIRST_VNC_PORT
    except ValueError:
        pass
    try:
        return parse_target(target)
    except AddressError as error:
        raise AddressError(f"bad server address '{target}': {error}") from None
