from __future__ import annotations

import sys

from kivtool.cli import main

sys.exit(main())
