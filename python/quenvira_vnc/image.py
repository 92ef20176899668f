"""RGB pictures: what ``capture`` returns and what ``expect`` compares against.

Pillow and numpy are used when they are installed and never required: PNG
files are written and read with zlib alone otherwise.
"""

from __future__ import annotations

import io
import os
import struct
import zlib
from typing import Any, NamedTuple, Optional, Tuple, Union

try:  # optional
    from PIL import Image as _PIL
except ImportError:  # pragma: no cover - depends on the machine
    _PIL = None
try:  # optional
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the machine
    _np = None

_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# zlib levels of a PNG's deflate: level 2 takes a quarter of the default's
# time on a 1080p desktop for a file about 16 % larger.
_PNG_LEVELS = {"fast": 2, "best": 6}


def _png_level(compress: str) -> int:
    if compress not in _PNG_LEVELS:
        raise ValueError(f"compress must be 'fast' or 'best', not {compress!r}")
    return _PNG_LEVELS[compress]


class Rect(NamedTuple):
    """A rectangle of the screen: left, top, width, height."""

    x: int
    y: int
    w: int
    h: int


RegionLike = Union[Rect, Tuple[int, int, int, int]]


def check_region(region: Optional[RegionLike], width: int, height: int) -> Rect:
    """The region as a Rect inside a width x height picture (None: all of it)."""
    if region is None:
        return Rect(0, 0, width, height)
    x, y, w, h = (int(v) for v in region)
    if w <= 0 or h <= 0 or x < 0 or y < 0 or x + w > width or y + h > height:
        raise ValueError(f"region {x},{y} {w}x{h} is not inside the {width}x{height} picture")
    return Rect(x, y, w, h)


class Image:
    """A picture of ``width`` x ``height`` pixels as ``rgb``: 3 bytes a pixel, rows top to bottom."""

    __slots__ = ("width", "height", "rgb")

    def __init__(self, width: int, height: int, rgb: bytes) -> None:
        if width < 0 or height < 0 or len(rgb) != width * height * 3:
            raise ValueError(f"{len(rgb)} bytes are not a {width}x{height} RGB picture")
        self.width = width
        self.height = height
        self.rgb = bytes(rgb)

    def __repr__(self) -> str:
        return f"Image({self.width}x{self.height})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Image):
            return NotImplemented
        return (self.width, self.height, self.rgb) == (other.width, other.height, other.rgb)

    @property
    def size(self) -> Tuple[int, int]:
        return (self.width, self.height)

    def pixel(self, x: int, y: int) -> Tuple[int, int, int]:
        """The (red, green, blue) of one pixel."""
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise IndexError(f"pixel {x},{y} outside {self.width}x{self.height}")
        i = (y * self.width + x) * 3
        return (self.rgb[i], self.rgb[i + 1], self.rgb[i + 2])

    def crop(self, region: RegionLike) -> "Image":
        r = check_region(region, self.width, self.height)
        row = self.width * 3
        parts = [self.rgb[(r.y + j) * row + r.x * 3:(r.y + j) * row + (r.x + r.w) * 3] for j in range(r.h)]
        return Image(r.w, r.h, b"".join(parts))

    def count_differences(self, other: "Image", tolerance: int = 0) -> int:
        """Pixels whose largest channel difference from ``other`` exceeds ``tolerance``.

        Pictures of different sizes differ in every pixel of the larger one.
        """
        if self.size != other.size:
            return max(self.width * self.height, other.width * other.height)
        if self.rgb == other.rgb:
            return 0
        if _np is not None:
            a = _np.frombuffer(self.rgb, dtype=_np.uint8).reshape(-1, 3).astype(_np.int16)
            b = _np.frombuffer(other.rgb, dtype=_np.uint8).reshape(-1, 3).astype(_np.int16)
            return int((_np.abs(a - b).max(axis=1) > tolerance).sum())
        count = 0
        row = self.width * 3
        for start in range(0, len(self.rgb), row):
            a, b = self.rgb[start:start + row], other.rgb[start:start + row]
            if a == b:
                continue
            for i in range(0, row, 3):
                if max(abs(a[i] - b[i]), abs(a[i + 1] - b[i + 1]), abs(a[i + 2] - b[i + 2])) > tolerance:
                    count += 1
        return count

    # -- files ----------------------------------------------------------------

    def save(self, path: Union[str, "os.PathLike[str]"], compress: str = "fast") -> None:
        """Writes the picture in the format its extension names: PNG (also for a
        name without one) always, JPEG and the other formats Pillow writes when
        Pillow is present. Any other extension raises ValueError, rather than
        a file whose name promises what it is not. A PNG is deflated at a quick
        level (``compress="fast"``: several times faster, a little larger) or
        at zlib's default one (``"best"``)."""
        level = _png_level(compress)
        name = os.fspath(path)
        ext = os.path.splitext(name)[1].lower()
        if _PIL is not None:
            known = _PIL.registered_extensions()  # also loads the writers into SAVE
            fmt = "PNG" if ext in ("", ".png") else known.get(ext)
            if fmt is None or fmt not in _PIL.SAVE:
                raise ValueError(f"no picture format for '{ext}' files")
            self.to_pil().save(name, format=fmt, **({"compress_level": level} if fmt == "PNG" else {}))
            return
        if ext not in ("", ".png"):
            raise ValueError(f"writing '{ext}' files needs Pillow (Debian: python3-pil); PNG needs nothing")
        with open(name, "wb") as f:
            f.write(self.png_bytes(compress))

    def png_bytes(self, compress: str = "fast") -> bytes:
        """The picture as PNG file contents (zlib only; ``compress`` as for save)."""
        level = _png_level(compress)
        row = self.width * 3
        raw = b"".join(b"\x00" + self.rgb[i:i + row] for i in range(0, len(self.rgb), row))

        def chunk(kind: bytes, data: bytes) -> bytes:
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        return _PNG_SIGNATURE + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, level)) + chunk(b"IEND", b"")

    @classmethod
    def open(cls, path: Union[str, "os.PathLike[str]"]) -> "Image":
        """Reads a picture file: any format Pillow knows when present, else PNG.

        Transparency is dropped (the colour channels are kept as they are).
        """
        if _PIL is not None:
            with _PIL.open(os.fspath(path)) as picture:
                return cls.from_pil(picture)
        with open(path, "rb") as f:
            return cls.from_png(f.read())

    @classmethod
    def from_png(cls, data: bytes) -> "Image":
        """Decodes an 8-bit, non-interlaced PNG (grey, RGB, palette, with or without alpha)."""
        return _decode_png(data)

    # -- other libraries --------------------------------------------------------

    def to_pil(self) -> Any:
        """A Pillow ``Image`` in mode RGB (needs Pillow)."""
        if _PIL is None:
            raise RuntimeError("to_pil() needs Pillow (Debian: python3-pil)")
        return _PIL.frombytes("RGB", (self.width, self.height), self.rgb)

    @classmethod
    def from_pil(cls, picture: Any) -> "Image":
        if picture.mode != "RGB":
            picture = picture.convert("RGB")
        return cls(picture.width, picture.height, picture.tobytes())

    def to_numpy(self) -> Any:
        """A read-only ``height x width x 3`` uint8 array (needs numpy)."""
        if _np is None:
            raise RuntimeError("to_numpy() needs numpy (Debian: python3-numpy)")
        return _np.frombuffer(self.rgb, dtype=_np.uint8).reshape(self.height, self.width, 3)


def _decode_png(data: bytes) -> Image:
    if not data.startswith(_PNG_SIGNATURE):
        raise ValueError("not a PNG file")
    stream = io.BytesIO(data[len(_PNG_SIGNATURE):])
    header: Optional[Tuple[int, ...]] = None
    palette = b""
    compressed = []
    while True:
        head = stream.read(8)
        if len(head) < 8:
            raise ValueError("truncated PNG file")
        length, kind = struct.unpack(">I4s", head)
        body = stream.read(length)
        stream.read(4)  # CRC: zlib notices damaged image data anyway
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = body
        elif kind == b"IDAT":
            compressed.append(body)
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError("PNG file without a header")
    width, height, depth, colour, _, _, interlace = header
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour)
    if depth != 8 or interlace or channels is None:
        raise ValueError("only 8-bit non-interlaced PNG files can be read without Pillow")
    raw = zlib.decompress(b"".join(compressed))
    stride = width * channels
    if len(raw) < (stride + 1) * height:
        raise ValueError("truncated PNG image data")
    rows = _unfilter(raw, stride, height, channels)
    if colour == 2:
        rgb = rows
    elif colour == 6:
        rgb = bytearray(width * height * 3)
        for c in range(3):
            rgb[c::3] = rows[c::4]
    elif colour == 3:
        rgb = b"".join(palette[i * 3:i * 3 + 3] for i in rows)
    else:  # grey, with alpha in every second byte for type 4
        grey = rows[::channels]
        rgb = bytearray(len(grey) * 3)
        for c in range(3):
            rgb[c::3] = grey
    return Image(width, height, bytes(rgb))


def _unfilter(raw: bytes, stride: int, height: int, bpp: int) -> bytearray:
    out = bytearray(stride * height)
    prior = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif kind == 2:
            line = bytearray((a + b) & 0xFF for a, b in zip(line, prior))
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prior[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b = prior[i]
                c = prior[i - bpp] if i >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        elif kind != 0:
            raise ValueError(f"unknown PNG filter {kind}")
        out[y * stride:(y + 1) * stride] = line
        prior = line
    return out
