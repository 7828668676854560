import gc

import pykiv
import pytest
from kivmodel import animation_file, frame_record, snapshot


def frame(width, rows, height=None):
    return frame_record(100, len(rows) if height is None else height, width, -3, 4, 5, 6, rows, False)


@pytest.fixture
def files(tmp_path, gray_palette):
    """A bigger and a smaller animation beside the gray palette."""
    (tmp_path / "p.pal").write_bytes(gray_palette[0].read_bytes())
    big = tmp_path / "big.kiv"
    big.write_bytes(animation_file(9, b"p.pal\0", [frame(4, [[(0, 2, [1, 2]), (1, 1, [3])], [(2, 1, [4])]])] * 3))
    small = tmp_path / "small.kiv"
    small.write_bytes(animation_file(8, b"p.pal\0", [frame(2, [[(1, 1, [7])]])]))
    return big, small


@pytest.fixture
def data(files):
    file = pykiv.KivF()
    file.load(str(files[0]))
    return file.data()


def test_views_edit_in_place(data):
    first = data.frames[0]
    first.width = 300
    first.pixel_sets[1].block_count = 9
    first.pixel_sets[0].blocks[1].offset = 200
    data.info.speed = 2**32 - 1
    data.has_background = True
    again = data.frames[0]
    assert (again.width, again.pixel_sets[1].block_count, again.pixel_sets[0].blocks[1].offset) == (300, 9, 200)
    assert (data.info.speed, data.has_background) == (2**32 - 1, True)
    assert pykiv.KivFrameBuffer(data).get_buffer()[0].width == 300


def test_identity_while_referenced(data):
    frame = data.frames[0]
    row = frame.pixel_sets[0]
    block = row.blocks[0]
    assert data.frames[0] is frame and frame.pixel_sets[0] is row and row.blocks[0] is block
    assert data.info is data.info and data.palette is data.palette
    assert data.frames[1] is not frame


def test_lists_are_copies(data):
    for owner, name in [
        (data, "frames"),
        (data.frames[0], "pixel_sets"),
        (data.frames[0].pixel_sets[0], "blocks"),
        (data.frames[0].pixel_sets[0].blocks[0], "colors"),
    ]:
        items = getattr(owner, name)
        before = len(items)
        items.append(items[0])
        items[0] = None
        assert len(getattr(owner, name)) == before and getattr(owner, name)[0] is not None
    colors = data.frames[0].pixel_sets[0].blocks[0].colors
    colors[0] = 99
    assert data.frames[0].pixel_sets[0].blocks[0].colors == [1, 2]
    data.info.frame_count = 10
    assert len(data.frames) == 3


@pytest.mark.parametrize(
    "owner, name",
    [
        ("data", "frames"),
        ("data", "palette"),
        ("data", "info"),
        ("frame", "pixel_sets"),
        ("row", "blocks"),
        ("block", "colors"),
    ],
)
def test_read_only_members(data, owner, name):
    objects = {
        "data": data,
        "frame": data.frames[0],
        "row": data.frames[0].pixel_sets[0],
        "block": data.frames[0].pixel_sets[0].blocks[0],
    }
    with pytest.raises(AttributeError):
        setattr(objects[owner], name, getattr(objects[owner], name))


RANGES = {
    # member path, accepted values, refused values
    "unk1": ("frame", "unk1", [0, 255], [256, -1, 1.0, "1", None]),
    "height": ("frame", "height", [0, 65535], [-1, 65536]),
    "is_shadow": ("frame", "is_shadow", [0, 255], [256, -1]),
    "y_offset": ("frame", "y_offset", [-32768, 32767], [32768, -32769]),
    "x_offset": ("frame", "x_offset", [-32768, 32767], [32768]),
    "frame_size": ("frame", "frame_size", [0, 2**32 - 1], [2**32, -1]),
    "speed": ("info", "speed", [0, 2**32 - 1], [2**32, -1, 0.5]),
    "block_count": ("row", "block_count", [0, 255], [256]),
    "offset": ("block", "offset", [0, 255], [256, -1]),
    "color_count": ("block", "color_count", [0, 255], [256]),
}


@pytest.mark.parametrize("owner, name, accepted, refused", RANGES.values(), ids=RANGES.keys())
def test_ranges(data, owner, name, accepted, refused):
    target = {
        "frame": data.frames[0],
        "info": data.info,
        "row": data.frames[0].pixel_sets[0],
        "block": data.frames[0].pixel_sets[0].blocks[0],
    }[owner]
    for value in accepted:
        setattr(target, name, value)
        assert getattr(target, name) == value
    for value in refused:
        with pytest.raises(TypeError):
            setattr(target, name, value)
        assert getattr(target, name) == accepted[-1]


def test_integer_like_values_and_booleans(data):
    class Index:
        def __index__(self):
            return 42

    frame = data.frames[0]
    frame.width = Index()
    assert frame.width == 42
    assert type(frame.is_shadow) is int
    for value, stored in [(1, True), (None, False), (True, True), (0, False)]:
        data.has_background = value
        assert data.has_background is stored
    with pytest.raises(TypeError):
        data.has_background = "yes"


def test_stale_views_after_a_smaller_load_and_after_the_file_object_dies(files):
    big, small = files
    file = pykiv.KivF()
    file.load(str(big))
    data = file.data()
    frame = data.frames[2]
    row = data.frames[1].pixel_sets[1]
    block = data.frames[0].pixel_sets[0].blocks[1]
    old = snapshot(data)

    # (a) A smaller file rebuilds the frame list: the old views keep the
    # records they were taken from, and writing through them does not reach
    # the new ones.
    file.load(str(small))
    gc.collect()
    assert (frame.width, frame.pixel_sets[0].blocks[0].colors) == (4, [1, 2])
    assert (row.block_count, row.blocks[0].colors) == (1, [4])
    assert (block.offset, block.colors) == (1, [3])
    frame.width = 11
    row.blocks[0].colors.append(1)
    row.block_count = 12
    block.offset = 13
    assert len(data.frames) == 1 and snapshot(data).frames[0].width == 2
    assert snapshot(data).frames[0].pixel_sets[0].blocks[0].offset == 1

    # (b) Dropping the file object keeps both the loaded frames and the
    # stale ones intact.
    current = data.frames[0]
    del file
    gc.collect()
    assert (frame.width, row.block_count, block.offset) == (11, 12, 13)
    assert frame.pixel_sets[1].blocks[0].colors == old.frames[2].pixel_sets[1].blocks[0].colors
    assert current.pixel_sets[0].blocks[0].colors == [7] and data.frames[0] is current
    current.width = 5
    assert data.frames[0].width == 5


def test_views_keep_their_parents_alive(files):
    file = pykiv.KivF()
    file.load(str(files[0]))
    block = file.data().frames[0].pixel_sets[0].blocks[0]
    info = file.data().info
    del file
    gc.collect()
    assert block.colors == [1, 2] and info.speed == 9
