"""The demo of examples/: its PNG writer, its key table, and one whole run on a
private headless desktop, checked by reading the picture it writes."""

from __future__ import annotations

import os
import runpy
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

from png_writer import bgrx_to_rgb, encode_png  # noqa: E402
from headless_demo import BANNER  # noqa: E402


def demo_key_codes(word: str) -> list[int]:
    # "demo" is too common a name to import by.
    return runpy.run_path(str(EXAMPLES / "demo.py"), run_name="kestrin_example_demo")["key_codes"](word)


# --- a PNG reader of its own, to check the writer against ----------------------

def png_chunks(data: bytes) -> list[tuple[bytes, bytes]]:
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature"
    chunks, at = [], 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at : at + 4])
        kind, body = data[at + 4 : at + 8], data[at + 8 : at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length : at + 12 + length])
        assert len(body) == length, f"{kind!r} is cut short"
        assert crc == zlib.crc32(kind + body), f"bad CRC on {kind!r}"
        chunks.append((kind, body))
        at += 12 + length
    return chunks


def decode_png(data: bytes) -> np.ndarray:
    """(height, width, 3) RGB of an 8-bit RGB PNG whose rows use no filter,
    which is all the writer makes."""
    chunks = png_chunks(data)
    kinds = [kind for kind, _ in chunks]
    assert kinds[0] == b"IHDR" and kinds[-1] == b"IEND" and b"IDAT" in kinds, kinds
    assert chunks[-1][1] == b""
    width, height, depth, colour, compression, filtering, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert (depth, colour, compression, filtering, interlace) == (8, 2, 0, 0, 0)
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    rows = np.frombuffer(raw, dtype=np.uint8).reshape(height, 1 + width * 3)
    assert not rows[:, 0].any(), "a row uses a filter"
    return rows[:, 1:].reshape(height, width, 3)


# --- the writer and the key table ------------------------------------------------

class TestPngWriter:
    def test_pixels_come_back_unchanged(self):
        rgb = np.random.default_rng(7).integers(0, 256, size=(5, 7, 3), dtype=np.uint8)
        assert np.array_equal(decode_png(encode_png(7, 5, rgb.tobytes())), rgb)

    def test_the_header_states_size_depth_and_colour_type(self):
        chunks = png_chunks(encode_png(3, 2, bytes(18)))
        assert chunks[0] == (b"IHDR", struct.pack(">IIBBBBB", 3, 2, 8, 2, 0, 0, 0))

    def test_a_screenshot_becomes_red_green_blue_without_its_padding_byte(self):
        picture = np.zeros((2, 3, 4), dtype=np.uint8)
        picture[..., 0], picture[..., 1], picture[..., 2], picture[..., 3] = 10, 20, 30, 99  # B, G, R, X
        picture[1, 2] = (1, 2, 3, 4)
        width, height, rgb = bgrx_to_rgb(picture)
        decoded = decode_png(encode_png(width, height, rgb))
        assert (width, height) == (3, 2)
        assert decoded[0, 0].tolist() == [30, 20, 10]
        assert decoded[1, 2].tolist() == [3, 2, 1]

    @pytest.mark.parametrize("width, height, size", [(3, 2, 17), (3, 2, 19), (0, 2, 0)])
    def test_pixel_data_of_the_wrong_size_is_refused(self, width, height, size):
        with pytest.raises(ValueError):
            encode_png(width, height, bytes(size))


class TestKeyTable:
    def test_letters_map_to_their_us_key_codes(self):
        # k e s t r i n, and q a z 1 0 at the row starts and ends.
        assert demo_key_codes("kestrin qaz10") == [37, 18, 31, 20, 19, 23, 49, 57, 16, 30, 44, 2, 11]

    def test_what_needs_shift_is_refused(self):
        with pytest.raises(ValueError, match="'!H'"):
            demo_key_codes("Hi!")


# --- one run on the private headless desktop --------------------------------------

def ink_rows(picture: np.ndarray) -> np.ndarray:
    """Where the top third of the picture differs from its most common colour.
    The pointer sits in the middle of the screen, below that."""
    top = picture[: picture.shape[0] // 3]
    packed = top.astype(np.uint32) @ np.array([1 << 16, 1 << 8, 1], dtype=np.uint32)
    values, counts = np.unique(packed, return_counts=True)
    return packed != values[counts.argmax()]


def repeated_line(ink: np.ndarray) -> tuple[int, list[int]]:
    """The line pitch p and the rows y of the first of two identical lines of
    text: the p for which the inked rows that equal the row p below show the
    most different patterns. Counting patterns rather than rows keeps a solid
    block, such as the text cursor, from matching itself at every pitch."""
    inked = ink.any(axis=1)
    best: tuple[int, list[int], int] = (0, [], 0)
    for pitch in range(2, ink.shape[0] // 2):
        rows = [y for y in range(ink.shape[0] - pitch) if inked[y] and np.array_equal(ink[y], ink[y + pitch])]
        patterns = len({ink[y].tobytes() for y in rows})
        if patterns > best[2]:
            best = (pitch, rows, patterns)
    return best[0], best[1]


def widest_gap(inked: np.ndarray) -> int:
    """The longest run of False in a row of booleans."""
    widest = run = 0
    for value in inked:
        run = 0 if value else run + 1
        widest = max(widest, run)
    return widest


def processes_using(path: str) -> list[str]:
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
            environ = Path(f"/proc/{pid}/environ").read_bytes()
        except OSError:
            continue
        if path.encode() in cmdline or path.encode() in environ:
            found.append(cmdline.replace(b"\0", b" ").decode(errors="replace"))
    return found


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    output = tmp_path_factory.mktemp("demo") / "picture.png"
    # The private terminal starts with a banner whose first word is this one;
    # the typed line must look exactly like it.
    word = BANNER.split()[0]
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / "headless_demo.py"),
         "--output", str(output), "--word", word],
        capture_output=True, text=True, timeout=120,
    )
    return run, output, word


class TestHeadlessDemo:
    def test_it_succeeds_and_says_where_the_picture_is(self, demo_run):
        run, output, _ = demo_run
        assert run.returncode == 0, run.stdout + run.stderr
        assert f"wrote {output}" in run.stdout
        assert output.is_file()

    def test_the_module_logs_at_info(self, demo_run):
        run, _, _ = demo_run
        assert "kestrin.kestrin_lib.app_data: " in run.stderr

    def test_it_leaves_no_process_or_runtime_directory(self, demo_run):
        run, _, _ = demo_run
        lines = [line for line in run.stdout.splitlines() if "sockets are in " in line]
        assert lines, run.stdout
        runtime_dir = lines[0].rsplit("sockets are in ", 1)[1]
        assert not Path(runtime_dir).exists()
        assert processes_using(runtime_dir) == []

    def test_the_picture_is_the_whole_screen_and_not_blank(self, demo_run):
        _, output, _ = demo_run
        picture = decode_png(output.read_bytes())
        assert picture.shape == (720, 1280, 3)
        assert len(np.unique(picture.reshape(-1, 3), axis=0)) > 2

    def test_the_typed_word_shows_twice_and_looks_like_the_banners_first_word(self, demo_run):
        _, output, _ = demo_run
        ink = ink_rows(decode_png(output.read_bytes()))
        pitch, rows = repeated_line(ink)
        # The terminal echoes the line as it is typed and cat prints it again
        # one line lower: the same glyphs in the same cells.
        assert len({ink[y].tobytes() for y in rows}) >= 5, "no line of text is repeated on the next line"
        echoed = ink[rows]
        columns = np.flatnonzero(echoed.any(axis=0))
        assert columns.size > 0
        # The banner sits one line above; over the cells of the word (and the
        # space after it) it must be pixel for pixel the same.
        width = columns[-1] + 1
        banner = ink[[y - pitch for y in rows]]
        assert all(y - pitch >= 0 for y in rows)
        assert np.array_equal(banner[:, :width], echoed[:, :width])
        # The banner goes on after a space: a wider gap than any between the
        # letters of the word. A word cut short would be followed by a letter.
        assert not echoed[:, width:].any()
        rest = banner[:, width:].any(axis=0)
        assert rest.any(), "the banner ends where the typed line does"
        assert int(rest.argmax()) > widest_gap(echoed.any(axis=0)[columns[0] : width])
