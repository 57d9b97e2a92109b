"""Write a kestrin screenshot as a PNG file, with nothing but zlib and struct.

A screenshot is a NumPy array of shape (height, width, 4) holding the bytes
B, G, R, X of each pixel. PNG wants R, G, B; the fourth byte is padding, not
transparency, so it is dropped rather than written as alpha.
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
COLOR_TYPE_RGB = 2
FILTER_NONE = 0


def bgrx_to_rgb(picture) -> tuple[int, int, bytes]:
    """(width, height, rows of R, G, B bytes) of a screenshot array."""
    height, width, channels = picture.shape
    if channels != 4:
        raise ValueError(f"expected 4 bytes per pixel (B, G, R, X), got {channels}")
    # Channels 2, 1, 0 are R, G, B.
    return width, height, picture[:, :, 2::-1].tobytes()


def _chunk(kind: bytes, data: bytes) -> bytes:
    # The CRC covers the chunk type and data, not the length.
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encode_png(width: int, height: int, rgb: bytes) -> bytes:
    """A PNG of 8-bit RGB pixels, given row by row from the top."""
    stride = width * 3
    if width <= 0 or height <= 0 or len(rgb) != stride * height:
        raise ValueError(f"{len(rgb)} bytes do not make {width}x{height} RGB pixels")
    # Every row starts with the byte naming its filter; none is the simplest
    # and zlib still squeezes a screen of flat colours well.
    rows = b"".join(bytes([FILTER_NONE]) + rgb[y * stride : (y + 1) * stride] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, COLOR_TYPE_RGB, 0, 0, 0)
    return PNG_SIGNATURE + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(rows, 6)) + _chunk(b"IEND", b"")


def write_png(path: Path, picture) -> int:
    """Writes a screenshot array to `path` and returns the file's size."""
    data = encode_png(*bgrx_to_rgb(picture))
    path.write_bytes(data)
    return len(data)
