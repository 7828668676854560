"""Images read as the frames of an animation to be made: each input frame
(`SourceFrame`) with its offsets, kind and size, read only when its pixels
are needed; an image decoded to RGBA exactly as stored, or, for a palette
PNG, to its pixel values. Sizes are checked against a pixel limit from the
image's header before anything is decoded."""

from __future__ import annotations

import os
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Any, BinaryIO, Callable, Optional, Tuple, TypeVar, Union

import numpy as np
import numpy.typing as npt

from kivtool import _core
from kivtool.animation import BACKGROUND, FRAME, SHADOW
from kivtool.files import NotReadable, check_regular, open_regular
from kivtool.formats import ImportRefused, indexed, png
from kivtool.memory import DEFAULT_MAX_PIXELS

KINDS = (FRAME, SHADOW, BACKGROUND)


@dataclass
class EncodedPng:
    """A PNG file read whole and checked (every chunk), whose pixels the core
    decodes (`kivtool._core.read_png`): left encoded until they are needed,
    so that they can be mapped to palette indices as they are decoded
    (`PaletteIndex.lookup_png`) instead of held whole as RGBA first."""

    data: bytes
    width: int
    height: int
    max_pixels: int

    def rgba(self) -> npt.NDArray[np.uint8]:
        read = _core.read_png(self.data, self.max_pixels)
        if read.pixels is None:  # checked when it was read
            raise ValueError("a PNG the core does not decode")
        return np.frombuffer(read.pixels, dtype=np.uint8).reshape(self.height, self.width, 4)


Decoded = Union[npt.NDArray[np.uint8], indexed.IndexedPixels]  # RGBA, or a palette PNG's values
Source = Union[Decoded, EncodedPng]  # what a frame's read gives: also a PNG not decoded yet


T = TypeVar("T")


@dataclass
class SourceFrame:
    """One frame as read from the input."""

    name: str  # names the frame in messages: the image file, or the sheet and the frame's key
    # The frame's RGBA pixels, height x width x 4, or a palette PNG's pixel
    # values, or a PNG file that the core decodes as it maps it. Image files
    # are decoded only when this is called, one at a time, so that an
    # image's pixels are let go once its frame is mapped.
    read: Callable[[], Source]
    x_offset: int
    y_offset: int
    kind: str
    # The size, known before the pixels are: the format's limits are
    # checked on it before any image is decoded.
    width: int
    height: int

    @property
    def shadow(self) -> bool:
        return self.kind == SHADOW


def identity(value: T) -> T:
    return value


def check_pixels(where: str, width: int, height: int, max_pixels: int) -> None:
    if width * height > max_pixels:
        raise ImportRefused(
            f"{where}: {width} × {height} is {width * height:,} pixels, more than the {max_pixels:,} "
            "allowed for one image (--max-pixels)"
        )


def image_size(path: Path, max_pixels: int = DEFAULT_MAX_PIXELS) -> Tuple[int, int]:
    """Width and height from the image's header, without decoding it;
    refuses an image of more than `max_pixels`, and an animated one."""
    width, height, frames = image_facts(path, max_pixels)
    check_frame_count(path, frames)
    return width, height


def image_facts(path: Path, max_pixels: Optional[int] = None) -> Tuple[int, int, int]:
    """Width, height and number of frames (steps of an animated image),
    without decoding the pixels; refuses an image of more than `max_pixels`
    when given. A PNG's are read from its chunks before the image data,
    which costs less than Pillow's opening it."""
    # One open for the header and the chunks before the image data.
    facts = _with_regular(path, _png_facts)
    if facts is not None:
        header, frames = facts
        if max_pixels is not None:
            check_pixels(str(path), header.width, header.height, max_pixels)
        return header.width, header.height, frames
    (width, height), frames = _with_image(path, lambda image: (image.size, getattr(image, "n_frames", 1)))
    if max_pixels is not None:
        check_pixels(str(path), int(width), int(height), max_pixels)
    return int(width), int(height), int(frames)


def _whole_file_limit(header: png.PngHeader) -> int:
    """The size up to which a PNG is read whole: about that of its pixels.
    A file much larger (chunks that are not pixels) is checked chunk by
    chunk as it is read and decoded by Pillow, which reads as it goes."""
    return 2 * header.width * header.height * 4 + (1 << 20)


def check_frame_count(path: Path, frames: int) -> None:
    """An animated GIF, APNG or WebP holds more than one picture; where one
    picture is read (a sheet's image, an image cut by --grid), taking the
    first would drop the rest without a word. Import makes a frame of each
    step only of animated images named as its inputs."""
    if frames > 1:
        raise ImportRefused(
            f"{path}: is an animated image of {frames} frames; a sheet's image or an image cut by "
            "--grid is one picture (import the animated image itself to make a frame of each step)"
        )


def read_image(path: Path, *, quantize: bool = False, max_pixels: int = DEFAULT_MAX_PIXELS) -> npt.NDArray[np.uint8]:
    """The image's pixels as RGBA, 8 bits a sample, exactly as stored."""
    decoded = read_decoded(path, quantize=quantize, max_pixels=max_pixels)
    return decoded.rgba() if isinstance(decoded, indexed.IndexedPixels) else decoded


def read_source(path: Path, *, quantize: bool = False, max_pixels: int = DEFAULT_MAX_PIXELS) -> Source:
    """As read_decoded, but a PNG the core decodes comes read and checked,
    not decoded (an EncodedPng)."""
    return _read(path, quantize, max_pixels, encoded=True)


def read_decoded(path: Path, *, quantize: bool = False, max_pixels: int = DEFAULT_MAX_PIXELS) -> Decoded:
    decoded = _read(path, quantize, max_pixels, encoded=False)
    if isinstance(decoded, EncodedPng):  # only asked for
        return decoded.rgba()
    return decoded


def _read(path: Path, quantize: bool, max_pixels: int, encoded: bool) -> Source:
    """A palette PNG's pixel values and palette (`indexed`), or else the
    image's pixels as RGBA, 8 bits a sample, exactly as stored; with
    `encoded`, a PNG the core decodes comes as an EncodedPng instead. A
    16-bit PNG is taken when its samples are 8-bit values (or rounded to
    them with `quantize`). PNGs of other depths than 8 are decoded by
    `kivtool.formats.png`, other PNGs of 8 bits a sample without a palette by
    the core (`kivtool._core.read_png`), other images by Pillow."""
    # One open for the header and, when the file is about the size of its
    # pixels, all of it: the core checks every chunk of what is read whole
    # and, for 8-bit images without a palette (what export and most editors
    # write), decodes it.
    header, data = _with_regular(path, partial(_header_and_data, path, max_pixels))
    if header is None:
        image_size(path, max_pixels)
    else:
        if data is not None:
            decoded = _read_png(path, data, max_pixels, encoded)
            if decoded is not None:
                return decoded
        else:
            try:
                check_frame_count(path, png.check_chunks(path))
            except png.RefusedImage as error:
                raise ImportRefused(str(error)) from None
            except OSError as error:
                raise ImportRefused(f"{path}: cannot read the image: {error.strerror or error}") from None
    values = _with_image(path, partial(indexed.palette_pixels, name=str(path)))
    if values is not None:
        return values
    if header is not None and header.bit_depth != 8:
        try:
            return png.read_exact(path, str(path), quantize)[0]
        except png.RefusedImage as error:
            raise ImportRefused(str(error)) from None
        except MemoryError:
            raise ImportRefused(f"{path}: not enough memory to decode the image") from None
        except Exception as error:  # pypng's own errors for damaged files
            raise ImportRefused(f"{path}: cannot read the image: {error}") from None
    return _with_image(path, lambda image: np.asarray(image if image.mode == "RGBA" else image.convert("RGBA")))


def _png_facts(file: BinaryIO, size: int) -> Optional[Tuple[png.PngHeader, int]]:
    """The PNG header of the open file and its number of frames; None when
    it is not a PNG."""
    header = png.read_header(file)
    return None if header is None else (header, png.frame_count(file))


def _header_and_data(
    path: Path, max_pixels: int, file: BinaryIO, size: int
) -> Tuple[Optional[png.PngHeader], Optional[bytes]]:
    """The PNG header of the open file (None when it is not a PNG) and, for a
    PNG within the pixel limit that is about the size of its pixels, all of
    its bytes (None for a larger one, which is read as it is decoded)."""
    header = png.read_header(file)
    if header is None:
        return None, None
    check_pixels(str(path), header.width, header.height, max_pixels)
    limit = _whole_file_limit(header)
    if size > limit:
        return header, None
    file.seek(0)
    # As many bytes as the file has (a read of `limit` would make a buffer of
    # that size first), then whatever it grew by meanwhile, up to the limit.
    data = file.read(size + 1)
    if len(data) > size:
        data += file.read(limit + 1 - len(data))
    return header, (data if len(data) <= limit else None)


def _with_regular(path: Path, use: Callable[[BinaryIO, int], T]) -> T:
    """What `use` makes of the regular file `path`, opened once (see
    `kivtool.files.open_regular`) and given with its size; ImportRefused
    naming the cause when it is no such file or cannot be read."""
    try:
        descriptor = open_regular(path, "an image")
    except NotReadable as error:
        raise ImportRefused(str(error)) from None
    try:
        with os.fdopen(descriptor, "rb") as file:
            return use(file, os.fstat(descriptor).st_size)
    except OSError as error:
        raise ImportRefused(f"{path}: cannot read the image: {error.strerror or error}") from None


def _read_png(
    path: Path, data: bytes, max_pixels: int, encoded: bool
) -> Union[npt.NDArray[np.uint8], EncodedPng, None]:
    """The pixels of the PNG `path`, read whole as `data`, as RGBA (or with
    `encoded` as an EncodedPng), when the core decodes its kind; None for
    other kinds, once the core has checked their chunks. Refuses a damaged
    file, an animated one, and one over the pixel limit before its pixels
    are decoded."""
    read = _checked_png(path, data, max_pixels, decode=not encoded)
    check_pixels(str(path), read.width, read.height, max_pixels)
    check_frame_count(path, read.frames)
    if encoded and read.decodable:
        return EncodedPng(data, read.width, read.height, max_pixels)
    if read.pixels is None:
        return None
    return np.frombuffer(read.pixels, dtype=np.uint8).reshape(read.height, read.width, 4)


def _checked_png(path: Path, data: bytes, max_pixels: int, *, decode: bool) -> _core.PngRead:
    """The PNG `path`, read whole as `data`, walked by the core
    (`kivtool._core.read_png`); ImportRefused naming the cause when it is
    damaged."""
    try:
        return _core.read_png(data, max_pixels, decode=decode)
    except MemoryError:
        raise ImportRefused(f"{path}: not enough memory to decode the image") from None
    except ValueError as error:
        raise ImportRefused(f"{path}: cannot read the image: a damaged PNG file: {error}") from None


def _with_image(path: Path, use: Callable[[Any], T]) -> T:
    from PIL import Image, UnidentifiedImageError

    check_regular_file(path, "an image")
    # Sizes are checked against --max-pixels before anything is decoded;
    # Pillow's own, fixed check would warn or refuse on its own terms.
    Image.MAX_IMAGE_PIXELS = None
    try:
        with Image.open(path) as image:
            return use(image)
    except FileNotFoundError:
        raise ImportRefused(f"{path}: no such file") from None
    except IsADirectoryError:
        raise ImportRefused(f"{path}: is a folder, not an image") from None
    except UnidentifiedImageError:
        raise ImportRefused(f"{path}: not an image file Pillow can read") from None
    except (OSError, ValueError, Image.DecompressionBombError) as error:
        raise ImportRefused(f"{path}: cannot read the image: {error}") from None
    except MemoryError:
        raise ImportRefused(f"{path}: not enough memory to decode the image") from None


def check_regular_file(path: Path, what: str) -> None:
    """Refuses what is not a regular file before a library opens it by
    name: opening a pipe would wait for a writer, and a device can be
    endless."""
    try:
        check_regular(path, what)
    except NotReadable as error:
        raise ImportRefused(str(error)) from None
