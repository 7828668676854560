import contextlib
import importlib.metadata
import io
import subprocess
import sys

import pykiv
import pytest

CLASS_ORDER = [
    "KivInfo",
    "KivData",
    "KivFrame",
    "KivPixelSet",
    "KivPixelBlock",
    "KivFrameBufferObject",
    "KivFrameBuffer",
    "PalFColor",
    "PalF",
    "KivF",
]

MEMBERS = {
    "KivInfo": {"speed", "frame_count"},
    "KivData": {"info", "frames", "palette", "has_background"},
    "KivFrame": {"frame_size", "height", "is_shadow", "width", "y_offset", "x_offset", "unk1", "unk2", "pixel_sets"},
    "KivPixelSet": {"block_count", "blocks"},
    "KivPixelBlock": {"offset", "color_count", "colors"},
    "KivFrameBufferObject": {"pixels", "width", "height", "offset_x", "offset_y", "channels"},
    "KivFrameBuffer": {"get_buffer"},
    "PalFColor": {"r", "g", "b", "a"},
    "PalF": {"location", "location_size", "color_model", "colors", "get_color", "load", "save"},
    "KivF": {"load", "save", "data", "get_frame_buffer"},
}


def test_module_attributes():
    assert pykiv.__doc__ == "Harbek animation graphics parser for Python"
    # The version is written once, in the package's metadata.
    assert pykiv.__version__ == importlib.metadata.version("pykiv")
    public = [name for name in vars(pykiv) if not name.startswith("__")]
    assert public == CLASS_ORDER  # registration order, and nothing but classes


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_class_surface(name):
    cls = getattr(pykiv, name)
    assert [base.__name__ for base in cls.__bases__] == ["pybind11_object"]  # no base of our own
    own = {member for member in vars(cls) if not member.startswith("_")}
    assert own == MEMBERS[name]
    assert "__dict__" not in vars(cls)


@pytest.mark.parametrize(
    "name", ["KivInfo", "KivData", "KivFrame", "KivPixelSet", "KivPixelBlock", "KivFrameBufferObject", "PalFColor"]
)
def test_no_constructor(name):
    with pytest.raises(TypeError, match=f"^pykiv.{name}: No constructor defined!$"):
        getattr(pykiv, name)()


def test_constructors():
    data = pykiv.KivF().data()
    assert isinstance(pykiv.PalF(), pykiv.PalF)
    assert pykiv.KivFrameBuffer(data).get_buffer() == []
    for args in [(), (None,), (pykiv.PalF(),)]:
        with pytest.raises(TypeError):
            pykiv.KivFrameBuffer(*args)


def test_fresh_file_object():
    file = pykiv.KivF()
    data = file.data()
    assert data is file.data()
    assert (data.info.speed, data.info.frame_count, data.frames, data.has_background) == (0, 0, [], False)
    palette = data.palette
    assert palette is data.palette
    assert (palette.colors(), palette.location(), palette.location_size(), palette.color_model()) == ([], "", 0, 0)
    assert file.get_frame_buffer() == []


def test_no_new_attributes():
    file = pykiv.KivF()
    for obj in [file, file.data(), file.data().info, file.data().palette, pykiv.KivFrameBuffer(file.data())]:
        with pytest.raises(AttributeError):
            obj.something_new = 1
    with pytest.raises(AttributeError):
        del file.data().has_background
    with pytest.raises(AttributeError):
        file.data().info = None


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters arrives in 3.14")
def test_subinterpreters_are_refused():
    from concurrent import interpreters

    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interpreter.exec("import pykiv")
    finally:
        interpreter.close()


# -- error lines -------------------------------------------------------------


def test_error_lines_go_to_sys_stderr_as_python_code_sees_it(tmp_path, capfd):
    # IDLE, Jupyter and contextlib.redirect_stderr replace sys.stderr: the
    # lines follow it, whole and in order with Python's own writes. Bytes
    # that are not UTF-8 show as escapes.
    missing = tmp_path / "missing.pal"
    buffer = io.StringIO()
    with contextlib.redirect_stderr(buffer):
        print("before", file=sys.stderr)
        with pytest.raises(IndexError):
            pykiv.PalF().get_color(3)
        assert pykiv.PalF().load(str(missing)) == -1
        assert pykiv.PalF().load(bytes(missing) + b"\xff") == -1
    assert buffer.getvalue() == (
        "before\n"
        "ERROR: Color index out of bounds: 3\n"
        f"ERROR: Could not open palette file: {missing}\n"
        f"ERROR: Could not open palette file: {missing}\\xff\n"
    )
    assert capfd.readouterr().err == ""


STDERR_SETUPS = {
    "the process's own": "",
    "None, as under pythonw": "sys.stderr = None",
    "a stream whose write raises": "class Broken:\n"
    "    def write(self, text): raise OSError('broken')\n"
    "    def flush(self): pass\n"
    "sys.stderr = Broken()",
    "a closed stream": "sys.stderr = open(os.devnull, 'w')\nsys.stderr.close()",
}


@pytest.mark.parametrize("setup", STDERR_SETUPS.values(), ids=STDERR_SETUPS.keys())
def test_error_lines_reach_the_process_stderr_otherwise(setup):
    # In a child process, whose file descriptor 2 is a pipe: the line arrives
    # there whole, and nothing the stream raised escapes.
    code = (
        "import os, sys\nimport pykiv\n" + setup + "\n"
        "try:\n"
        "    pykiv.PalF().get_color(-1)\n"
        "except IndexError as e:\n"
        "    print('raised', e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (
        0,
        "raised Color index out of bounds\n",
        "ERROR: Color index out of bounds: -1\n",
    )
