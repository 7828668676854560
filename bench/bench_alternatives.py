"""Measures pykiv's load against what else can turn the same file into
pixels, on a generated sprite-like animation (bench/workload.py: 48 frames
of 320 x 240, runs of 4 to 60 pixels covering about 60 % of each row).

    python bench/bench_alternatives.py [--rounds R] [--clock cpu]

(needs numpy, pip install ".[bench]", and a C compiler as `cc` or $CC;
Linux, for /proc)

Every figure is a ratio of measurements taken in the same run on the same
machine; absolute numbers are printed only to show what a ratio was made
of. Times are taken in rounds, each round running every contender once, and
the best of R rounds (at least 15) counts. A timed call's results are kept
until the clock has stopped. The clock is the wall clock; on a machine
whose cores are busy with other work, `--clock cpu` takes the processor
time of this process instead (time.process_time: user and system time,
page faults included), so that time spent waiting for a core is not
counted.

  1. load / C        A steady-state load, `kiv.load(file, 0, palette)` again
                     on one KivF (the previous load's records and images are
                     freed inside it), against a minimal one-pass decoder in C
                     (bench/one_pass_decoder.c, built here with the system's
                     compiler and called through ctypes) that reads both files
                     and writes RGBA into memory it already holds, without
                     records. Target: at most 1.2.
     load / tight C  The same load against a tighter one-pass decoder
                     (bench/tight_decoder.c: one bounds check per run, the
                     palette gather unrolled by four, only the gaps cleared).
                     Target: at most 1.15; so for 5 and 6 against it.
  2. first / steady  The first `KivF().load(...)` in a fresh interpreter
                     (one started for every round, right after `import
                     pykiv`; its pixel memory is new to the process) against
                     the steady-state load of 1. Target: at most 1.5.
  3. numpy / load    The fastest numpy decoder we could write
                     (bench/numpy_decoder.py) against the steady-state load.
                     Target: at least 10.
  4. peak memory     The growth of resident memory during one load, from just
                     before it to its peak (VmHWM, reset before the load
                     through /proc/self/clear_refs), in the fresh interpreters
                     of 2, the largest of all rounds, against the RGBA bytes
                     plus the file's size. Target: at most 1.1.
  5. eight files     Eight files of different sizes (EIGHT_FILES below) loaded
                     in turn, as `batch` and a viewer load them: a new KivF
                     for each, the one before it dropped first, against the C
                     decoder decoding the same eight files in the same order
                     into memory it already holds. Target: at most 1.3
                     (1.15 against the tight decoder).
  6. large file      A steady-state load of 48 frames of 640 x 480 (59 MB of
                     RGBA) against the C decoder on the same file. Target: at
                     most 1.3 (1.15 against the tight decoder).

The C and numpy decoders' pixels are checked equal to the module's, and the
module's to the tests' pure-Python model of the format. Two more measures
follow the four: the model against the module (target 300 times slower),
and reading `pixels` of every frame against `bytes` copies of the same size
(the copy that property makes; target at most 1.2).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import pykiv

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import numpy_decoder  # noqa: E402
import workload  # noqa: E402
from workload import kivmodel  # noqa: E402

CLOCKS = {"wall": "perf_counter", "cpu": "process_time"}
clock = time.perf_counter


def timed(action) -> float:
    """The time `action` takes; its result is freed only after the clock."""
    gc.collect()
    start = clock()
    result = action()
    elapsed = clock() - start
    del result
    return elapsed


# Sprite-like files of different sizes: frames, width, height.
EIGHT_FILES = [
    (24, 200, 150),
    (40, 256, 200),
    (48, 320, 240),
    (30, 300, 260),
    (56, 280, 210),
    (36, 360, 240),
    (44, 240, 300),
    (52, 330, 230),
]
LARGE_FILE = (48, 640, 480)


def build_c_decoder(folder: Path, name: str = "one_pass_decoder"):
    """Compiles bench/<name>.c into a shared library and returns its
    decode_files function."""
    compiler = os.environ.get("CC") or (sysconfig.get_config_var("CC") or "cc").split()[0]
    library = folder / f"{name}.so"
    command = [compiler, "-O3", "-shared", "-fPIC", "-o", str(library), str(BENCH / f"{name}.c")]
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        raise SystemExit(f"bench: {' '.join(command)} failed:\n{built.stderr}")
    decode = ctypes.CDLL(str(library)).decode_files
    decode.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
    decode.restype = ctypes.c_longlong
    return decode


# Run in a fresh interpreter for every round: the first load's time, and
# resident memory just before it and at its peak, in bytes.
FRESH_LOAD = textwrap.dedent("""
    import sys, time
    import pykiv

    def status(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024

    # The peak so far is the interpreter's start-up; from here on it is the
    # load's.
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = status("VmRSS")
    kiv = pykiv.KivF()
    clock = getattr(time, sys.argv[3])
    start = clock()
    data = kiv.load(sys.argv[1], 0, sys.argv[2])
    elapsed = clock() - start
    print(elapsed, before, status("VmHWM"), data is not None)
""")


def fresh_load(work: workload.Workload) -> tuple[float, int]:
    """First-load time and peak memory growth in a new interpreter."""
    out = subprocess.run(
        [sys.executable, "-c", FRESH_LOAD, str(work.animation), str(work.palette), clock.__name__],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    if out[3] != "True":
        raise SystemExit("bench: the first load in a fresh interpreter rendered nothing")
    return float(out[0]), int(out[2]) - int(out[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--clock", choices=CLOCKS, default="wall")
    args = parser.parse_args()
    rounds = max(args.rounds, 15)
    global clock
    clock = getattr(time, CLOCKS[args.clock])

    with tempfile.TemporaryDirectory() as tmp:
        work = workload.build(Path(tmp))
        animation, palette = str(work.animation), str(work.palette)
        decode_c = build_c_decoder(Path(tmp))
        decode_tight = build_c_decoder(Path(tmp), "tight_decoder")

        kiv = pykiv.KivF()
        if kiv.load(animation, 0, palette) is None:
            raise SystemExit("bench: the generated animation did not load")
        images = kiv.get_frame_buffer()
        module_pixels = b"".join(image.pixels for image in images)

        # The C decoder writes into memory that is already in place.
        c_out = np.ones(work.rgba_bytes, dtype=np.uint8)
        c_args = (animation.encode(), palette.encode(), c_out.ctypes.data, c_out.nbytes)
        if decode_c(*c_args) != work.rgba_bytes or c_out.tobytes() != module_pixels:
            raise SystemExit("bench: the C decoder's pixels differ from the module's")
        c_out[:] = 1
        if decode_tight(*c_args) != work.rgba_bytes or c_out.tobytes() != module_pixels:
            raise SystemExit("bench: the tight C decoder's pixels differ from the module's")
        if numpy_decoder.decode(work.animation, work.palette).tobytes() != module_pixels:
            raise SystemExit("bench: the numpy decoder's pixels differ from the module's")
        rendered, errors = kivmodel.render(kivmodel.parse_animation(work.animation.read_bytes()).frames, work.colors)
        if errors or b"".join(r.pixels for r in rendered) != module_pixels:
            raise SystemExit("bench: the pure-Python model's pixels differ from the module's")
        del rendered

        eight = [workload.build(Path(tmp) / f"eight{n}", *size) for n, size in enumerate(EIGHT_FILES)]
        large = workload.build(Path(tmp) / "large", *LARGE_FILE)
        # Each decode of the C decoder into memory of its own, held throughout.
        c_eight = []
        for each in eight + [large]:
            out = np.ones(each.rgba_bytes, dtype=np.uint8)
            c_eight.append(
                (out, (str(each.animation).encode(), str(each.palette).encode(), out.ctypes.data, out.nbytes))
            )
            check = pykiv.KivF()
            if check.load(str(each.animation), 0, str(each.palette)) is None:
                raise SystemExit(f"bench: {each.describe()} did not load")
            expected = b"".join(image.pixels for image in check.get_frame_buffer())
            for name, decode in (("C", decode_c), ("tight C", decode_tight)):
                out[:] = 1
                if decode(*c_eight[-1][1]) != each.rgba_bytes or out.tobytes() != expected:
                    raise SystemExit(
                        f"bench: the {name} decoder's pixels differ from the module's for {each.describe()}"
                    )
            del check, expected
        c_large = c_eight.pop()
        eight_paths = [(str(each.animation), str(each.palette)) for each in eight]
        large_kiv = pykiv.KivF()
        large_paths = (str(large.animation), 0, str(large.palette))

        def c_eight_files() -> None:
            for _, arguments in c_eight:
                decode_c(*arguments)

        def tight_eight_files() -> None:
            for _, arguments in c_eight:
                decode_tight(*arguments)

        def load_eight_files() -> None:
            kiv = None
            for path, pal in eight_paths:
                kiv = None  # the one before is dropped first
                kiv = pykiv.KivF()
                kiv.load(path, 0, pal)

        times: dict[str, list[float]] = {
            name: []
            for name in (
                "c",
                "tight",
                "load",
                "numpy",
                "first",
                "c eight",
                "tight eight",
                "eight",
                "c large",
                "tight large",
                "large",
            )
        }
        peaks: list[int] = []
        for _ in range(rounds):
            times["c"].append(timed(lambda: decode_c(*c_args)))
            times["tight"].append(timed(lambda: decode_tight(*c_args)))
            times["load"].append(timed(lambda: kiv.load(animation, 0, palette)))
            times["numpy"].append(timed(lambda: numpy_decoder.decode(work.animation, work.palette)))
            first, peak = fresh_load(work)
            times["first"].append(first)
            peaks.append(peak)
        # The eight files and the large file each in rounds of their own, as
        # a program that loads them would: memory kept for reuse after one
        # kind of work is not left to the next.
        for _ in range(rounds):
            times["c eight"].append(timed(c_eight_files))
            times["tight eight"].append(timed(tight_eight_files))
            times["eight"].append(timed(load_eight_files))
        for _ in range(rounds):
            times["c large"].append(timed(lambda: decode_c(*c_large[1])))
            times["tight large"].append(timed(lambda: decode_tight(*c_large[1])))
            times["large"].append(timed(lambda: large_kiv.load(*large_paths)))
        best = {name: min(values) for name, values in times.items()}
        peak = max(peaks)

        # The two older measures, each in its own interleaved rounds.
        t_model = min(
            timed(
                lambda: kivmodel.render(
                    kivmodel.parse_animation(work.animation.read_bytes()).frames,
                    kivmodel.parse_palette(work.palette.read_bytes(), 0)[1],
                )
            )
            for _ in range(2)
        )
        sources = [bytearray(len(image.pixels)) for image in images]
        t_pixels, t_copy = [], []
        for _ in range(rounds):
            t_pixels.append(timed(lambda: [image.pixels for image in images]))
            t_copy.append(timed(lambda: [bytes(source) for source in sources]))

    ms = {name: f"{value * 1e3:.2f} ms" for name, value in best.items()}
    rows = [
        (
            "1. steady load+render / one-pass C decoder",
            best["load"] / best["c"],
            "<= 1.2",
            lambda r: r <= 1.2,
            f"{ms['load']} / {ms['c']}",
        ),
        (
            "1t. steady load+render / tight C decoder",
            best["load"] / best["tight"],
            "<= 1.15",
            lambda r: r <= 1.15,
            f"{ms['load']} / {ms['tight']}",
        ),
        (
            "2. first load in a fresh interpreter / steady load",
            best["first"] / best["load"],
            "<= 1.5",
            lambda r: r <= 1.5,
            f"{ms['first']} / {ms['load']}",
        ),
        (
            "3. numpy decoder / steady load",
            best["numpy"] / best["load"],
            ">= 10",
            lambda r: r >= 10,
            f"{ms['numpy']} / {ms['load']}",
        ),
        (
            "4. peak RSS growth of one load / (RGBA + file)",
            peak / (work.rgba_bytes + work.file_size),
            "<= 1.1",
            lambda r: r <= 1.1,
            f"{peak / 1e6:.2f} MB / ({work.rgba_bytes / 1e6:.2f} + {work.file_size / 1e6:.2f}) MB",
        ),
        (
            "5. eight different files in turn / C decoder",
            best["eight"] / best["c eight"],
            "<= 1.3",
            lambda r: r <= 1.3,
            f"{ms['eight']} / {ms['c eight']}",
        ),
        (
            "5t. eight different files in turn / tight C decoder",
            best["eight"] / best["tight eight"],
            "<= 1.15",
            lambda r: r <= 1.15,
            f"{ms['eight']} / {ms['tight eight']}",
        ),
        (
            "6. 640x480x48 steady load / C decoder",
            best["large"] / best["c large"],
            "<= 1.3",
            lambda r: r <= 1.3,
            f"{ms['large']} / {ms['c large']}",
        ),
        (
            "6t. 640x480x48 steady load / tight C decoder",
            best["large"] / best["tight large"],
            "<= 1.15",
            lambda r: r <= 1.15,
            f"{ms['large']} / {ms['tight large']}",
        ),
        (
            "   pure-Python model / steady load",
            t_model / best["load"],
            ">= 300",
            lambda r: r >= 300,
            f"{t_model * 1e3:.0f} ms / {ms['load']}",
        ),
        (
            "   .pixels of all frames / bytes copies",
            min(t_pixels) / min(t_copy),
            "<= 1.2",
            lambda r: r <= 1.2,
            f"{min(t_pixels) * 1e3:.2f} ms / {min(t_copy) * 1e3:.2f} ms",
        ),
    ]
    print(f"{work.describe()}; best of {rounds} rounds (the model: of 2), {args.clock} clock\n")
    widths = (max(len(r[0]) for r in rows), 8, 7, 3)
    print(f"{'measure':<{widths[0]}}  {'ratio':>8}  {'target':<7}  met  made of")
    print("  ".join("-" * w for w in widths) + "  -------")
    for name, ratio, target, met, made_of in rows:
        print(f"{name:<{widths[0]}}  {ratio:>8.2f}  {target:<7}  {'yes' if met(ratio) else 'NO':<3}  {made_of}")


if __name__ == "__main__":
    main()
