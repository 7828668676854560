from __future__ import annotations

import sys

from kivtool.cli import main

# Guarded: worker processes started by `kivtool batch` import this module
# again when the tool was started as `python -m kivtool`.
if __name__ == "__main__":
    sys.exit(main())
