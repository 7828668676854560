import os
import pathlib
import shutil
import sys
import tempfile

import kivmodel
import pytest


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


@pytest.fixture
def dir_near_path_limit(tmp_path):
    """A directory whose path is so long that a short file name still fits
    under the system's path length limit (4096 bytes) but the name of a
    temporary file beside it does not: creating that temporary file fails,
    even for root, while the target itself can exist."""
    if sys.platform == "win32":
        pytest.skip("Windows limits path length differently")
    path = str(tmp_path)
    target_length = 4080
    while len(path) < target_length:
        path += "/" + "d" * min(200, target_length - len(path) - 1)
    os.makedirs(path)
    return pathlib.Path(path)


@pytest.fixture
def public_tmp_path():
    """A new directory that an unprivileged user can reach, for tests that
    drop privileges in a child process (pytest's own directories are private
    to the user running the tests); removed at the end."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="pykiv-"))
    path.chmod(0o755)
    yield path
    for directory, _, _ in os.walk(path):
        os.chmod(directory, 0o755)
    shutil.rmtree(path)


def pytest_collection_modifyitems(config, items):
    # Tests that drive the page in Chromium are marked `browser`: the page's
    # script runs in the browser, so CI runs them once, not again under the
    # sanitizers or on other Pythons.
    for item in items:
        if "browser" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.browser)
