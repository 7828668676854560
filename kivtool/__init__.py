"""kivtool: look at Harbek animations, export them for engines and editors,
convert whole game folders.

The command line lives in `kivtool.cli`; `kivtool.cli.main(argv)` runs it and
returns the exit status.
"""

from __future__ import annotations

# The tool ships in the same distribution as the module, so they share a
# version; asking the module is quicker than reading the package metadata.
try:
    import pykiv  # type: ignore[import-not-found,unused-ignore]

    __version__: str = pykiv.__version__
except ImportError:  # the module is missing; `kivtool` says how to install it
    __version__ = "0"
