import pytest

import kivmodel


@pytest.fixture
def stderr_lines(capfd):
    """Returns a function giving the error lines written since the last call."""

    def read():
        return [line for line in capfd.readouterr().err.splitlines() if line]

    read()
    return read


@pytest.fixture
def gray_palette(tmp_path):
    """A palette file of 256 colours where index i is (i, 255 - i, i // 2, 255)."""
    colors = [(i, 255 - i, i // 2, 255) for i in range(256)]
    path = tmp_path / "gray.pal"
    path.write_bytes(kivmodel.palette_file(colors))
    return path, colors
