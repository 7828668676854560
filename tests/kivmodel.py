"""Pure-Python model of the kiv animation format, the palette format and the
renderer, used by the tests to predict what pykiv reads, writes and paints.

Animation file (all integers little-endian):

    optional prefix   "KVIF", 4 reserved bytes, has_background byte
    body              speed u32, L u32, L bytes of palette location text,
                      frame count N u32 (the background frame is not counted),
                      N frame records (N + 1 with a background frame)
    frame record      frame_size u32, height word u16 (bit 15: shadow frame),
                      width u16, y_offset i16, x_offset i16, unk1 u8, unk2 u8,
                      one row per line of the frame
    row               block_count u8, then block_count blocks
    block             offset u8, color_count u8, and color_count palette
                      indices, except in shadow frames where a block is 2 bytes

Palette file: count u16 (1..256 accepted), model u16 (ignored when reading),
count entries of 4 bytes.

The model reads like the module's stream reader: fixed-size fields are read
all-or-nothing, bulk fields (location text, colour indices) take what is
there and zero-fill the rest, and the first failed read fails every later
read. That is what gives cut files their well-defined shape.
"""

from __future__ import annotations

import random
import struct
from dataclasses import dataclass, field, replace

MAGIC = b"KVIF"
SHADOW_BIT = 0x8000
PADDING_COLOR = (0, 0, 0, 255)
SHADOW_PIXEL = bytes((0, 0, 0, 255))

# Frame counts above this are not modelled: the module sizes the frame list
# from the count before reading any frame, so its outcome (a huge list or an
# allocation failure) depends on the machine, not on the format.
MODELLED_FRAME_LIMIT = 1 << 20


# --------------------------------------------------------------------------
# Records


@dataclass
class Block:
    offset: int = 0
    color_count: int = 0
    colors: list[int] = field(default_factory=list)


@dataclass
class PixelSet:
    block_count: int = 0
    blocks: list[Block] = field(default_factory=list)


@dataclass
class Frame:
    frame_size: int = 0
    height: int = 0
    is_shadow: int = 0
    width: int = 0
    y_offset: int = 0
    x_offset: int = 0
    unk1: int = 0
    unk2: int = 0
    pixel_sets: list[PixelSet] = field(default_factory=list)


@dataclass
class Animation:
    speed: int = 0
    frame_count: int = 0
    has_background: bool = False
    location_size: int = 0
    # The location text up to its first zero byte, as the reader exposes it.
    location: bytes = b""
    frames: list[Frame] = field(default_factory=list)


@dataclass
class RenderedFrame:
    width: int
    height: int
    offset_x: int
    offset_y: int
    channels: int
    pixels: bytes


# --------------------------------------------------------------------------
# Builders: bytes from fields, for hand-written cases


def u8(v: int) -> bytes:
    return struct.pack("<B", v)


def u16(v: int) -> bytes:
    return struct.pack("<H", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def i16(v: int) -> bytes:
    return struct.pack("<h", v)


def frame_record(frame_size, height_word, width, y_offset, x_offset, unk1, unk2, rows, shadow: bool) -> bytes:
    """One frame record. `rows` is a list of rows, each a list of
    (offset, color_count, colors); block_count is the row's length and the
    colours are written as given (not checked against color_count), and
    left out entirely when `shadow`. The height word is written as given,
    so it need not match len(rows) or `shadow`."""
    out = bytearray()
    out += u32(frame_size) + u16(height_word) + u16(width)
    out += i16(y_offset) + i16(x_offset) + u8(unk1) + u8(unk2)
    for row in rows:
        out += u8(len(row))
        for offset, color_count, colors in row:
            out += u8(offset) + u8(color_count)
            if not shadow:
                out += bytes(colors)
    return bytes(out)


def animation_file(
    speed: int,
    location: bytes,
    frame_records: list[bytes],
    *,
    prefix: bool = False,
    has_background_byte: int = 0,
    reserved: bytes = b"\0\0\0\0",
    count: int | None = None,
    location_size: int | None = None,
) -> bytes:
    """A whole animation file. `location` is written verbatim (add the zero
    terminator yourself); the count field leaves out the background frame
    unless `count` says otherwise."""
    if count is None:
        count = len(frame_records) - (1 if prefix and has_background_byte else 0)
    if location_size is None:
        location_size = len(location)
    out = bytearray()
    if prefix:
        out += MAGIC + reserved + u8(has_background_byte)
    out += u32(speed) + u32(location_size) + location + u32(count & 0xFFFFFFFF)
    for record in frame_records:
        out += record
    return bytes(out)


def palette_file(colors: list[tuple[int, int, int, int]], model_field: int = 0, count: int | None = None) -> bytes:
    """A palette file; entries are written in the order given (r, g, b, a as
    the writer does). Also what saving a palette with these colours and
    this colour model produces, when count is left to default."""
    if count is None:
        count = len(colors)
    out = bytearray(u16(count & 0xFFFF) + u16(model_field & 0xFFFF))
    for color in colors:
        out += bytes(color)
    return bytes(out)


# --------------------------------------------------------------------------
# Writer


def encode_animation(anim: Animation, location_text: bytes) -> bytes:
    """The bytes the writer emits for these records with this location text."""
    if anim.frame_count > len(anim.frames):
        raise ValueError("frame_count exceeds the frame list; not modelled")
    out = bytearray()
    # A speed spelling the magic gets the prefix, else it would read as one.
    if anim.has_background or u32(anim.speed) == MAGIC:
        out += MAGIC + b"\0\0\0\0" + u8(1 if anim.has_background else 0)
    out += u32(anim.speed)
    out += u32(len(location_text) + 1) + location_text + b"\0"
    # The file does not count the background frame; 0 frames with a
    # background wraps to 0xFFFFFFFF.
    count = anim.frame_count - 1 if anim.has_background else anim.frame_count
    out += u32(count & 0xFFFFFFFF)
    for frame in anim.frames[: anim.frame_count]:
        shadow = frame.is_shadow != 0
        height_word = (frame.height & 0xFF) | SHADOW_BIT if shadow else frame.height
        out += u32(frame.frame_size) + u16(height_word) + u16(frame.width)
        out += i16(frame.y_offset) + i16(frame.x_offset) + u8(0) + u8(1)
        # Rows follow the list, not the height; block_count is written as
        # held, followed by every block of the list.
        for pixel_set in frame.pixel_sets:
            out += u8(pixel_set.block_count)
            for block in pixel_set.blocks:
                out += u8(block.offset) + u8(block.color_count)
                if not shadow:
                    if block.color_count > len(block.colors):
                        raise ValueError("color_count exceeds colors; not modelled")
                    out += bytes(block.colors[: block.color_count])
    return bytes(out)


def as_written(anim: Animation, location_text: bytes) -> Animation:
    """What reading back encode_animation(anim, location_text) gives for
    well-formed records: the written frames with unk1 0 and unk2 1, and the
    written location."""
    frames = [replace(f, unk1=0, unk2=1) for f in anim.frames[: anim.frame_count]]
    return replace(anim, frames=frames, location=location_text.split(b"\0", 1)[0], location_size=len(location_text) + 1)


# --------------------------------------------------------------------------
# Reader


class _Stream:
    """Byte stream with the module's read semantics. When `marks` is a list,
    the position of every read made while the stream is good is recorded."""

    def __init__(self, data: bytes, marks: list[int] | None = None):
        self.data = data
        self.pos = 0
        self.failed = False
        self.marks = marks

    def _mark(self) -> None:
        if self.marks is not None and not self.failed:
            self.marks.append(self.pos)

    def seek(self, pos: int) -> None:
        # Seeking past the end is allowed; the next read then fails.
        self.pos = pos

    def fixed(self, size: int, current: int, signed: bool = False) -> int:
        """A fixed-size field: all of it or nothing (keeps `current`)."""
        self._mark()
        if self.failed or self.pos + size > len(self.data):
            self.failed = True
            return current
        raw = self.data[self.pos : self.pos + size]
        self.pos += size
        return int.from_bytes(raw, "little", signed=signed)

    def bulk(self, size: int) -> bytes:
        """A bulk field: the bytes available, possibly fewer than `size`
        (the caller's buffer keeps zeros for the rest)."""
        self._mark()
        if self.failed:
            return b""
        raw = self.data[self.pos : self.pos + size]
        self.pos += len(raw)
        if len(raw) < size:
            self.failed = True
        return raw


class _LoadState:
    # The height rule: from the first shadow frame of a file on, every
    # frame's height is taken from the low 8 bits of its height word.
    def __init__(self):
        self.shadow_mode = False


def _read_frame(s: _Stream, state: _LoadState) -> Frame:
    f = Frame()
    f.frame_size = s.fixed(4, 0)
    height_word = s.fixed(2, 0)
    f.is_shadow = height_word >> 15
    if state.shadow_mode or f.is_shadow:
        state.shadow_mode = True
        f.height = height_word & 0xFF
    else:
        f.height = height_word
    f.width = s.fixed(2, 0)
    f.y_offset = s.fixed(2, 0, signed=True)
    f.x_offset = s.fixed(2, 0, signed=True)
    f.unk1 = s.fixed(1, 0)
    f.unk2 = s.fixed(1, 0)
    # The loops run their full counts even past the end of the data, which
    # gives empty rows and zero blocks there.
    for _ in range(f.height):
        pixel_set = PixelSet(block_count=s.fixed(1, 0))
        for _ in range(pixel_set.block_count):
            block = Block(offset=s.fixed(1, 0), color_count=s.fixed(1, 0))
            if not f.is_shadow:
                got = s.bulk(block.color_count)
                block.colors = list(got) + [0] * (block.color_count - len(got))
            pixel_set.blocks.append(block)
        f.pixel_sets.append(pixel_set)
    return f


def _parse(data: bytes, marks: list[int] | None = None) -> Animation:
    s = _Stream(data, marks)
    anim = Animation()
    if s.bulk(4) == MAGIC:
        if marks is not None:
            marks.append(4)  # the reserved word, never read
        s.failed = False
        s.seek(8)
        anim.has_background = s.fixed(1, 0) != 0
    else:
        # No prefix (or fewer than 4 bytes): the body starts at 0 and the
        # short read of the probe is forgotten.
        s.failed = False
        s.seek(0)
    anim.speed = s.fixed(4, 0)
    anim.location_size = s.fixed(4, 0)
    # The location is read into L zero bytes; the text ends at the first
    # zero, which the zero fill supplies when the read comes up short.
    anim.location = s.bulk(anim.location_size).split(b"\0", 1)[0]
    count = s.fixed(4, 0)
    frame_count = count
    if anim.has_background:
        frame_count = (frame_count + 1) & 0xFFFFFFFF
    if max(count, frame_count) > MODELLED_FRAME_LIMIT:
        raise ValueError(f"frame count {count} is beyond what the model handles")
    anim.frame_count = frame_count
    anim.frames = [Frame() for _ in range(frame_count)]
    # The loop compares against the count as a signed 32-bit value.
    state = _LoadState()
    for i in range(frame_count if frame_count < 1 << 31 else 0):
        anim.frames[i] = _read_frame(s, state)
    return anim


def parse_animation(data: bytes) -> Animation:
    """The records a fresh load of `data` gives (palette search left out)."""
    return _parse(data)


def field_boundaries(data: bytes) -> list[int]:
    """Offsets at which the fields of a well-formed file start, with 0 and
    len(data): the places to cut a file for truncation tests."""
    marks = [0]
    _parse(data, marks)
    return sorted({m for m in marks if m <= len(data)} | {len(data)})


# --------------------------------------------------------------------------
# Palette


def parse_palette(data: bytes, color_model: int) -> tuple[int, list[tuple[int, int, int, int]] | None, list[str]]:
    """(return code, colours after the load or None when left unchanged,
    error lines) for loading `data` with the given colour model."""
    s = _Stream(data)
    count = s.fixed(2, 0)
    s.seek(s.pos + 2)  # the file's model field is not used
    if count == 0 or count > 256:
        return -2, None, [f"ERROR: Invalid color count: {count}"]
    # Every entry is read into one buffer that starts zeroed and is never
    # cleared: a short read overwrites only the bytes it got, and the
    # blue/red exchange for model 1 happens in that buffer each time.
    buf = bytearray(4)
    colors = []
    for _ in range(count):
        got = s.bulk(4)
        buf[: len(got)] = got
        if color_model == 1:
            buf[0], buf[2] = buf[2], buf[0]
        colors.append(tuple(buf))
    colors += [PADDING_COLOR] * (256 - len(colors))
    return 1, colors, []


# --------------------------------------------------------------------------
# Renderer


def render(
    frames: list[Frame], palette: list[tuple[int, int, int, int]] | None
) -> tuple[list[RenderedFrame], list[str]]:
    """The rendered frames and the error lines (in order) for these frames
    and palette colours."""
    if not frames:
        return [], []
    if not palette:
        return [], ["ERROR: No palette data available!"]
    lines: list[str] = []
    out: list[RenderedFrame] = []
    for frame in frames:
        w, h = frame.width, frame.height
        pixels = bytearray(w * h * 4)
        for y in range(h):
            if y >= len(frame.pixel_sets):
                lines.append(f"ERROR: Row {y} exceeds KivPixelSet count!")
                continue
            x = 0
            for block in frame.pixel_sets[y].blocks:
                x += block.offset
                if block.color_count == 0:
                    continue
                # A stopped run leaves x on the pixel it did not write.
                if frame.is_shadow:
                    for _ in range(block.color_count):
                        if x >= w:
                            break
                        at = (y * w + x) * 4
                        pixels[at : at + 4] = SHADOW_PIXEL
                        x += 1
                else:
                    # The colour list, not color_count, sets the run length.
                    for c in block.colors:
                        if x >= w:
                            break
                        if c >= len(palette):
                            lines.append(f"ERROR: Out-of-bounds color index! ({c})")
                            break
                        at = (y * w + x) * 4
                        pixels[at : at + 4] = bytes(palette[c])
                        x += 1
        out.append(RenderedFrame(w, h, frame.x_offset, frame.y_offset, 4, bytes(pixels)))
    return out, lines


# --------------------------------------------------------------------------
# Module objects as model records


def _location_bytes(palette) -> bytes | None:
    # location() decodes strictly; text that is not UTF-8 shows as None.
    try:
        return palette.location().encode("utf-8")
    except UnicodeDecodeError:
        return None


def snapshot(data) -> Animation:
    """A pykiv KivData as model records. The location is what the palette's
    location() returns (the file's text, or io_pal when one was given)."""
    palette = data.palette
    return Animation(
        speed=data.info.speed,
        frame_count=data.info.frame_count,
        has_background=data.has_background,
        location_size=palette.location_size(),
        location=_location_bytes(palette),
        frames=[
            Frame(
                f.frame_size,
                f.height,
                f.is_shadow,
                f.width,
                f.y_offset,
                f.x_offset,
                f.unk1,
                f.unk2,
                [
                    PixelSet(p.block_count, [Block(b.offset, b.color_count, list(b.colors)) for b in p.blocks])
                    for p in f.pixel_sets
                ],
            )
            for f in data.frames
        ],
    )


def snapshot_rendered(objects) -> list[RenderedFrame]:
    """pykiv KivFrameBufferObjects as model records."""
    return [RenderedFrame(o.width, o.height, o.offset_x, o.offset_y, o.channels, bytes(o.pixels)) for o in objects]


def snapshot_colors(palette) -> list[tuple[int, int, int, int]]:
    return [(c.r, c.g, c.b, c.a) for c in palette.colors()]


# --------------------------------------------------------------------------
# Random well-formed records


def _small_or_any(rng: random.Random, small: int, lo: int, hi: int) -> int:
    return rng.randint(0, small) if rng.random() < 0.8 else rng.randint(lo, hi)


def _random_offset(rng: random.Random) -> int:
    r = rng.random()
    if r < 0.6:
        return rng.randint(-20, 20)
    if r < 0.8:
        return rng.choice((-32768, -1, 0, 32767))
    return rng.randint(-32768, 32767)


def _random_frame(rng: random.Random, shadow: bool, max_size: int, max_height: int, tall: bool) -> Frame:
    width = 0 if rng.random() < 0.1 else rng.randint(1, max_size)
    if tall:
        # Heights above 255 catch a reader that masks without need; the
        # rows are mostly empty to keep the file small.
        height = rng.randint(256, 300)
    else:
        height = 0 if rng.random() < 0.1 else rng.randint(1, min(max_size, max_height))
    pixel_sets = []
    for _ in range(height):
        nblocks = 0 if tall and rng.random() < 0.95 else rng.randint(0, 3)
        blocks = []
        for _ in range(nblocks):
            offset = _small_or_any(rng, 3, 0, 255)
            color_count = rng.randint(0, max_size)
            colors = [] if shadow else [rng.randint(0, 255) for _ in range(color_count)]
            blocks.append(Block(offset, color_count, colors))
        pixel_sets.append(PixelSet(len(blocks), blocks))
    return Frame(
        frame_size=rng.getrandbits(32),
        height=height,
        is_shadow=int(shadow),
        width=width,
        y_offset=_random_offset(rng),
        x_offset=_random_offset(rng),
        unk1=rng.randint(0, 255),
        unk2=rng.randint(0, 255),
        pixel_sets=pixel_sets,
    )


def random_animation(
    rng: random.Random,
    *,
    background: bool | None = None,
    shadow: bool | None = None,
    max_frames: int = 4,
    max_size: int = 12,
) -> Animation:
    """Well-formed records that read back unchanged after writing (apart
    from unk1/unk2 and the location; see as_written). `shadow` None mixes
    shadow and normal frames."""
    if background is None:
        background = rng.random() < 0.3
    # A background animation needs one frame: with none, the file's count
    # field wraps to 0xFFFFFFFF.
    count = rng.randint(1 if background else 0, max(max_frames, 1 if background else 0))
    frames = []
    seen_shadow = False
    for _ in range(count):
        is_shadow = shadow if shadow is not None else rng.random() < 0.3
        # Shadow frames keep 8 bits of height, and so does every frame read
        # after the first one of them.
        limited = is_shadow or seen_shadow
        tall = not limited and rng.random() < 0.05
        frames.append(_random_frame(rng, is_shadow, max_size, 255 if limited else 32767, tall))
        seen_shadow |= is_shadow
    speed = rng.getrandbits(32)
    while not background and u32(speed) == MAGIC:
        # A file without prefix whose speed spells the magic reads as prefixed.
        speed = rng.getrandbits(32)
    location = b"pal/%d.pal" % rng.randint(0, 999) if rng.random() < 0.9 else b""
    return Animation(
        speed=speed,
        frame_count=len(frames),
        has_background=background,
        location_size=len(location) + 1,
        location=location,
        frames=frames,
    )


def random_palette(rng: random.Random, n: int | None = None) -> list[tuple[int, int, int, int]]:
    if n is None:
        n = rng.randint(1, 256)
    return [tuple(rng.randint(0, 255) for _ in range(4)) for _ in range(n)]
