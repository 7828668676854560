"""Harbek animation graphics parser for Python.

Records handed out by an object are views into it (edits write through),
shared objects (the same native object as every other reference) or copies
(independent), as each member says. Lists are built afresh at every read:
changing the list itself changes nothing in the record.
"""

from collections.abc import Iterable
from typing import SupportsIndex, overload

__version__: str

class KivInfo:
    """Header of an animation; a view into its KivData."""

    @property
    def speed(self) -> int:
        """Speed field of the file, 0 to 2**32-1; kept as stored, not interpreted."""
    @speed.setter
    def speed(self, value: SupportsIndex, /) -> None: ...
    @property
    def frame_count(self) -> int:
        """Number of frames, 0 to 2**32-1; after a load it counts the background frame too.

        Separate from len(frames): setting it does not add or remove frames, and a save
        refuses a count above len(frames).
        """
    @frame_count.setter
    def frame_count(self, value: SupportsIndex, /) -> None: ...

class KivData:
    """One parsed animation, shared: the KivF that loaded it and every Python reference
    hold the same object, refilled in place by each load of that KivF; it stays usable
    after that KivF is gone."""

    @property
    def info(self) -> KivInfo:
        """Header fields; a view (edits write through)."""
    @property
    def frames(self) -> list[KivFrame]:
        """Frames in file order, the background frame last; a new list of views at each read."""
    @property
    def palette(self) -> PalF:
        """Palette of the animation; shared (the same PalF for every reference)."""
    @property
    def has_background(self) -> bool:
        """Whether the file carries a background frame after the counted frames."""
    @has_background.setter
    def has_background(self, value: bool | None, /) -> None: ...

class KivFrame:
    """One frame record; a view into its KivData (edits write through).

    A frame taken before a later load keeps showing the record it was taken from.
    """

    @property
    def frame_size(self) -> int:
        """Size field of the frame record, 0 to 2**32-1; kept as read, not interpreted."""
    @frame_size.setter
    def frame_size(self, value: SupportsIndex, /) -> None: ...
    @property
    def height(self) -> int:
        """Height in rows, 0 to 65535; the file holds up to 32767 (bit 15 of its height word is
        the shadow flag), and a save refuses more."""
    @height.setter
    def height(self, value: SupportsIndex, /) -> None: ...
    @property
    def is_shadow(self) -> int:
        """Shadow flag as an int, 0 or 1 after a load (not a bool); any non-zero value
        up to 255 marks a shadow frame, whose runs paint opaque black and store no indices."""
    @is_shadow.setter
    def is_shadow(self, value: SupportsIndex, /) -> None: ...
    @property
    def width(self) -> int:
        """Width in pixels, 0 to 65535."""
    @width.setter
    def width(self, value: SupportsIndex, /) -> None: ...
    @property
    def y_offset(self) -> int:
        """Vertical placement offset, -32768 to 32767; stored, not applied when rendering."""
    @y_offset.setter
    def y_offset(self, value: SupportsIndex, /) -> None: ...
    @property
    def x_offset(self) -> int:
        """Horizontal placement offset, -32768 to 32767; stored, not applied when rendering."""
    @x_offset.setter
    def x_offset(self, value: SupportsIndex, /) -> None: ...
    @property
    def unk1(self) -> int:
        """Uninterpreted header byte, 0 to 255; a save that succeeds writes 0."""
    @unk1.setter
    def unk1(self, value: SupportsIndex, /) -> None: ...
    @property
    def unk2(self) -> int:
        """Uninterpreted header byte, 0 to 255; a save that succeeds writes 1."""
    @unk2.setter
    def unk2(self, value: SupportsIndex, /) -> None: ...
    @property
    def pixel_sets(self) -> list[KivPixelSet]:
        """Rows, top row first, one per line of height; a new list of views at each read."""

class KivPixelSet:
    """One row of a frame: runs of pixels; a view into its frame (edits write through)."""

    @property
    def block_count(self) -> int:
        """Number of runs as stored, 0 to 255; a save refuses one that differs from len(blocks)."""
    @block_count.setter
    def block_count(self, value: SupportsIndex, /) -> None: ...
    @property
    def blocks(self) -> list[KivPixelBlock]:
        """Runs, left to right; a new list of views at each read."""

class KivPixelBlock:
    """One run of pixels; a view into its row (edits write through)."""

    @property
    def offset(self) -> int:
        """Pixels skipped after the end of the previous run, 0 to 255."""
    @offset.setter
    def offset(self, value: SupportsIndex, /) -> None: ...
    @property
    def color_count(self) -> int:
        """Run length in pixels, 0 to 255."""
    @color_count.setter
    def color_count(self, value: SupportsIndex, /) -> None: ...
    @property
    def colors(self) -> list[int]:
        """Palette indices, 0 to 255, one per pixel (empty in shadow frames); a new list at
        each read, so the indices cannot be changed through it."""

class KivFrameBufferObject:
    """One rendered frame; a copy, independent of the renderer that made it."""

    @property
    def pixels(self) -> bytes:
        """width * height * 4 bytes, rows top to bottom, each pixel R, G, B, A; pixels no run
        paints are (0, 0, 0, 0). A new bytes object (a copy) at each read."""
    @property
    def width(self) -> int:
        """Width in pixels, 0 to 65535."""
    @property
    def height(self) -> int:
        """Height in rows, 0 to 65535."""
    @property
    def offset_x(self) -> int:
        """The frame's x_offset, passed on, not applied to the pixels."""
    @property
    def offset_y(self) -> int:
        """The frame's y_offset, passed on, not applied to the pixels."""
    @property
    def channels(self) -> int:
        """Bytes per pixel: always 4."""

class KivFrameBuffer:
    """Renderer: paints every frame of a KivData into its own RGBA image."""

    def __init__(self, data: KivData, /) -> None:
        """Renders all frames of data as they are now; data is not kept afterwards.

        Raises MemoryError when the images need more than the machine's physical memory.
        """
    def get_buffer(self) -> list[KivFrameBufferObject]:
        """The rendered frames, one per record of frames; a new list of copies at each call."""

class PalFColor:
    """One palette entry, 8 bits per channel; always a copy, read-only."""

    @property
    def r(self) -> int:
        """Red, 0 to 255."""
    @property
    def g(self) -> int:
        """Green, 0 to 255."""
    @property
    def b(self) -> int:
        """Blue, 0 to 255."""
    @property
    def a(self) -> int:
        """Alpha, 0 to 255 (255 is opaque)."""

class PalF:
    """A palette of up to 256 colours and its file; shared between every reference.

    Each pair of same-named methods sets with one argument and reads with none.
    """

    def __init__(self) -> None:
        """An empty palette: no colours, empty location, colour model 0."""
    @overload
    def location(self, text: str | bytes, /) -> None:
        """Sets the palette path text an animation stores."""
    @overload
    def location(self) -> str:
        """Palette path as stored in the animation (relative to the project root), or the
        explicit io_pal of the last load; a copy."""
    @overload
    def location_size(self, size: SupportsIndex, /) -> None:
        """Sets the stored location length, 0 to 2**32-1."""
    @overload
    def location_size(self) -> int:
        """Length field of the location as stored, closing zero byte included."""
    @overload
    def color_model(self, model: SupportsIndex, /) -> None:
        """Sets the colour model, a signed 32-bit int: 1 reads the next load's entries as
        B, G, R, A; a save writes it into the file."""
    @overload
    def color_model(self) -> int:
        """Colour model: 1 = the file's entries are B, G, R, A; anything else R, G, B, A."""
    @overload
    def colors(self, entries: Iterable[PalFColor], /) -> None:
        """Replaces the colours with copies of entries."""
    @overload
    def colors(self) -> list[PalFColor]:
        """All colours, index order; a new list of copies."""
    def get_color(self, index: SupportsIndex, /) -> PalFColor:
        """Colour at index, a copy; IndexError outside the palette."""
    def load(self, path: str | bytes, /) -> int:
        """Reads a palette file, padded to 256 entries with opaque black.

        Returns 1 on success, -1 when the file cannot be opened, -2 for a colour count
        outside 1 to 256; on failure the colours are kept and an ERROR line is written.
        """
    def save(self, path: str | bytes, /) -> None:
        """Writes the palette file (entries R, G, B, A); failures are ERROR lines, not raised."""

class KivF:
    """An animation file: loads, renders and saves one animation, holding its KivData."""

    def __init__(self) -> None:
        """A file object holding an empty KivData with an empty PalF."""
    def load(
        self, file_name: str | bytes, color_profile: SupportsIndex = 0, io_pal: str | bytes = ""
    ) -> KivData | None:
        """Reads file_name into the held KivData, loads its palette and renders every frame.

        The palette is io_pal when given, else the location stored in the file, looked
        up under the file's directory and each parent in turn. color_profile is kept but
        changes nothing. Returns the held KivData (shared), or None when the file cannot
        be opened or no frame was rendered; what was read is in data() either way.
        Problems in the files are ERROR lines on stderr; MemoryError for sizes the file
        cannot hold or the machine cannot render; RuntimeError for filesystem errors.
        """
    def save(self, file_name: str | bytes, project_root: str | bytes, palette_path: str | bytes) -> None:
        """Writes the held animation to file_name and its palette to palette_path.

        The animation stores palette_path relative to project_root. ValueError, before
        anything is written, for records that would not read back as themselves.
        """
    def data(self) -> KivData:
        """The held KivData, shared; never None."""
    def get_frame_buffer(self) -> list[KivFrameBufferObject]:
        """The frames rendered by the last load; a new list of copies at each call."""
