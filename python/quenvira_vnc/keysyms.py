"""X keysyms: names for ``key`` and the text-to-keysym rule of ``type``."""

from __future__ import annotations

from typing import Dict, List

# The common X keysym names (X11/keysymdef.h).
KEYSYMS: Dict[str, int] = {
    "BackSpace": 0xFF08, "Tab": 0xFF09, "Linefeed": 0xFF0A, "Clear": 0xFF0B, "Return": 0xFF0D,
    "Pause": 0xFF13, "Scroll_Lock": 0xFF14, "Sys_Req": 0xFF15, "Escape": 0xFF1B, "Delete": 0xFFFF,
    "Home": 0xFF50, "Left": 0xFF51, "Up": 0xFF52, "Right": 0xFF53, "Down": 0xFF54,
    "Prior": 0xFF55, "Page_Up": 0xFF55, "Next": 0xFF56, "Page_Down": 0xFF56, "End": 0xFF57,
    "Begin": 0xFF58, "Select": 0xFF60, "Print": 0xFF61, "Execute": 0xFF62, "Insert": 0xFF63,
    "Undo": 0xFF65, "Redo": 0xFF66, "Menu": 0xFF67, "Find": 0xFF68, "Cancel": 0xFF69, "Help": 0xFF6A,
    "Break": 0xFF6B, "Num_Lock": 0xFF7F,
    "KP_Space": 0xFF80, "KP_Tab": 0xFF89, "KP_Enter": 0xFF8D,
    "KP_F1": 0xFF91, "KP_F2": 0xFF92, "KP_F3": 0xFF93, "KP_F4": 0xFF94,
    "KP_Home": 0xFF95, "KP_Left": 0xFF96, "KP_Up": 0xFF97, "KP_Right": 0xFF98, "KP_Down": 0xFF99,
    "KP_Prior": 0xFF9A, "KP_Page_Up": 0xFF9A, "KP_Next": 0xFF9B, "KP_Page_Down": 0xFF9B,
    "KP_End": 0xFF9C, "KP_Begin": 0xFF9D, "KP_Insert": 0xFF9E, "KP_Delete": 0xFF9F,
    "KP_Multiply": 0xFFAA, "KP_Add": 0xFFAB, "KP_Separator": 0xFFAC, "KP_Subtract": 0xFFAD,
    "KP_Decimal": 0xFFAE, "KP_Divide": 0xFFAF, "KP_Equal": 0xFFBD,
    "Shift_L": 0xFFE1, "Shift_R": 0xFFE2, "Control_L": 0xFFE3, "Control_R": 0xFFE4,
    "Caps_Lock": 0xFFE5, "Shift_Lock": 0xFFE6, "Meta_L": 0xFFE7, "Meta_R": 0xFFE8,
    "Alt_L": 0xFFE9, "Alt_R": 0xFFEA, "Super_L": 0xFFEB, "Super_R": 0xFFEC,
    "Hyper_L": 0xFFED, "Hyper_R": 0xFFEE, "ISO_Level3_Shift": 0xFE03, "Mode_switch": 0xFF7E,
    "space": 0x20, "exclam": 0x21, "quotedbl": 0x22, "numbersign": 0x23, "dollar": 0x24,
    "percent": 0x25, "ampersand": 0x26, "apostrophe": 0x27, "parenleft": 0x28, "parenright": 0x29,
    "asterisk": 0x2A, "plus": 0x2B, "comma": 0x2C, "minus": 0x2D, "period": 0x2E, "slash": 0x2F,
    "colon": 0x3A, "semicolon": 0x3B, "less": 0x3C, "equal": 0x3D, "greater": 0x3E,
    "question": 0x3F, "at": 0x40, "bracketleft": 0x5B, "backslash": 0x5C, "bracketright": 0x5D,
    "asciicircum": 0x5E, "underscore": 0x5F, "grave": 0x60, "braceleft": 0x7B, "bar": 0x7C,
    "braceright": 0x7D, "asciitilde": 0x7E,
}
KEYSYMS.update({f"F{n}": 0xFFBE + n - 1 for n in range(1, 25)})
KEYSYMS.update({f"KP_{n}": 0xFFB0 + n for n in range(10)})
KEYSYMS.update({c: ord(c) for c in "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"})

# Short names people type; matched without regard to case.
ALIASES: Dict[str, str] = {
    "enter": "Return", "return": "Return", "ret": "Return", "esc": "Escape", "escape": "Escape",
    "tab": "Tab", "space": "space", "spc": "space",
    "bksp": "BackSpace", "backspace": "BackSpace", "del": "Delete", "delete": "Delete",
    "ins": "Insert", "insert": "Insert", "home": "Home", "end": "End",
    "pgup": "Prior", "pageup": "Prior", "pgdn": "Next", "pagedown": "Next",
    "left": "Left", "right": "Right", "up": "Up", "down": "Down",
    "ctrl": "Control_L", "control": "Control_L", "alt": "Alt_L", "shift": "Shift_L",
    "super": "Super_L", "win": "Super_L", "meta": "Meta_L", "altgr": "ISO_Level3_Shift",
    "menu": "Menu", "print": "Print", "pause": "Pause", "capslock": "Caps_Lock", "numlock": "Num_Lock",
    # vncdotool's names, so that its scripts run as they are.
    "bsp": "BackSpace", "spacebar": "space", "sb": "space", "bslash": "backslash", "fslash": "slash",
    "lshift": "Shift_L", "rshift": "Shift_R", "lctrl": "Control_L", "rctrl": "Control_R",
    "lalt": "Alt_L", "ralt": "Alt_R", "lmeta": "Meta_L", "rmeta": "Meta_R",
    "lsuper": "Super_L", "rsuper": "Super_R", "hyper": "Hyper_L", "lhyper": "Hyper_L", "rhyper": "Hyper_R",
    "scrlk": "Scroll_Lock", "sysrq": "Sys_Req", "numlk": "Num_Lock", "caplk": "Caps_Lock",
    "kpenter": "KP_Enter", **{f"kp{n}": f"KP_{n}" for n in range(10)},
}

_FOLDED: Dict[str, int] = {name.lower(): sym for name, sym in KEYSYMS.items() if len(name) > 1}
_FOLDED.update({alias: KEYSYMS[name] for alias, name in ALIASES.items()})

_CONTROL_KEYS = {"\n": 0xFF0D, "\r": 0xFF0D, "\t": 0xFF09, "\b": 0xFF08, "\x1b": 0xFF1B}


def keysym(name: str) -> int:
    """The keysym of one key name: an X name ("Return", "F5", "a"), an alias ("enter",
    "pgdn"), a single character, or a number ("0xff0d")."""
    if name in KEYSYMS:
        return KEYSYMS[name]
    folded = _FOLDED.get(name.lower())
    if folded is not None:
        return folded
    if len(name) == 1:
        return char_keysym(name)
    if name.lower().startswith("0x"):
        try:
            return int(name, 16)
        except ValueError:
            pass
    raise ValueError(f"unknown key name {name!r}")


def chord(keys: str) -> List[int]:
    """The keysyms of a chord such as "ctrl-alt-del" or "shift-Tab", pressed in this order."""
    if keys in ("-", "minus"):
        return [0x2D]
    parts = keys.split("-")
    if keys.endswith("--"):  # "ctrl--": the last key is the minus sign
        parts = parts[:-2] + ["-"]
    if any(p == "" for p in parts):
        raise ValueError(f"bad key chord {keys!r}")
    return [keysym(p) for p in parts]


def char_keysym(ch: str) -> int:
    """The keysym that types one character: Latin-1 as itself, anything else as
    0x01000000 + code point; newline is Return, tab is Tab."""
    if ch in _CONTROL_KEYS:
        return _CONTROL_KEYS[ch]
    code = ord(ch)
    if code < 0x20 or 0x7F <= code < 0xA0:
        raise ValueError(f"no key types the control character {ch!r}")
    return code if code <= 0xFF else 0x01000000 + code
