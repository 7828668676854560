"""kivtool: look at Harbek animations, export them for engines and editors,
convert whole game folders.

The command line lives in `kivtool.cli`; `kivtool.cli.main(argv)` runs it and
returns the exit status.
"""

from __future__ import annotations

try:
    from importlib.metadata import PackageNotFoundError, version
    __version__ = version("pykiv")
except PackageNotFoundError:  # running from a checkout that was never installed
    __version__ = "0"
