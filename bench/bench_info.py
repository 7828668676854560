"""Measures `kivtool info` against the least any program that reads an
animation file with pykiv pays: starting Python, importing pykiv and one
load of the same file.

    python bench/bench_info.py [--rounds R]

(needs the tool's extra: pip install ".[tool]")

The file is the benchmarks' sprite animation (bench/workload.py: 48 frames
of 320 x 240). Both are run as new processes, in interleaved rounds, best of
R (default 21), wall clock:

  baseline  python -c "import pykiv; pykiv.KivF().load(FILE)"
  info      kivtool info FILE, as the installed command runs it
  json      kivtool info FILE --json

Target: info at most 2 times the baseline.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workload  # noqa: E402

# What the installed `kivtool` command runs.
KIVTOOL = [sys.executable, "-c", "import sys; from kivtool.cli import main; sys.exit(main())"]


def timed(command: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=21)
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory() as tmp:
        work = workload.build(Path(tmp))
        path = str(work.animation)
        commands = {
            "baseline": [sys.executable, "-c", f"import pykiv; pykiv.KivF().load({path!r})"],
            "info": KIVTOOL + ["info", path],
            "json": KIVTOOL + ["info", path, "--json"],
        }
        times: dict[str, list[float]] = {name: [] for name in commands}
        for _ in range(rounds):
            for name, command in commands.items():
                times[name].append(timed(command))
    best = {name: min(values) for name, values in times.items()}
    print(f"{work.describe()}; best of {rounds} rounds, wall clock\n")
    for name in ("info", "json"):
        ratio = best[name] / best["baseline"]
        print(
            f"kivtool info{' --json' if name == 'json' else ''} / (python, import pykiv, one load): "
            f"{ratio:.2f}  target <= 2  {'met' if ratio <= 2 else 'NOT MET'}  "
            f"({best[name] * 1e3:.1f} ms / {best['baseline'] * 1e3:.1f} ms)"
        )


if __name__ == "__main__":
    main()
