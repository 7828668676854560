"""kivtool: look at Harbek animations, export them for engines and editors,
convert whole game folders.

The command line lives in `kivtool.cli`; `kivtool.cli.main(argv)` runs it and
returns the exit status.
"""

from __future__ import annotations

import os
import sys

# The native part of the tool (`kivtool._core`) is built into the installed
# package. Run from a source checkout (the tests, `python -m kivtool`), this
# package is the checkout's, and its native part is found in the installed
# one: every `kivtool` folder on the module search path is searched too, as
# pkgutil.extend_path would add them (that module's imports would cost every
# start of the tool more than the rest of `kivtool info`).
__path__ = [
    *__path__,
    *(
        folder
        for folder in (os.path.join(entry, __name__) for entry in sys.path if isinstance(entry, str) and entry)
        if folder not in __path__ and os.path.isdir(folder)
    ),
]

# The tool ships in the same distribution as the module, so they share a
# version; asking the module is quicker than reading the package metadata.
try:
    import pykiv  # type: ignore[import-not-found,unused-ignore]

    __version__: str = pykiv.__version__
except ImportError:  # the module is missing; `kivtool` says how to install it
    __version__ = "0"
