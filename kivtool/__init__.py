"""kivtool: look at Harbek animations, export them for engines and editors,
convert whole game folders.

The command line lives in `kivtool.cli`; `kivtool.cli.main(argv)` runs it and
returns the exit status.
"""

from __future__ import annotations

from pkgutil import extend_path

# The native part of the tool (`kivtool._core`) is built into the installed
# package. Run from a source checkout (the tests, `python -m kivtool`), this
# package is the checkout's, and its native part is found in the installed
# one.
__path__ = extend_path(__path__, __name__)

# The tool ships in the same distribution as the module, so they share a
# version; asking the module is quicker than reading the package metadata.
try:
    import pykiv  # type: ignore[import-not-found,unused-ignore]

    __version__: str = pykiv.__version__
except ImportError:  # the module is missing; `kivtool` says how to install it
    __version__ = "0"
