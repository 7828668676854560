"""Benchmark of `kivtool view` in headless Chromium, as ratios.

    python bench/bench_view.py [--rounds R] [--files N]

Needs Chromium, its driver and selenium (the test extra). Three measures,
each the best of R rounds (default 5), contenders interleaved round by round:

1. request to playing: the workload animation (48 frames of 320 x 240, see
   workload.py) opened in the player, from the browser's request of the page
   to the first step drawn and playing (the page's own clock, which starts
   at the request), the file loaded afresh by the server each round, against
   `kivtool export --as apng` of the same file in this process (load,
   placing and encoding). Target: at most 2x.
2. first previews: a gallery of N files (default 2,000) against one of 20,
   from the request of the page to every preview in the first screen drawn
   (a 1280 x 720 window, which 20 previews about fill), each round with a
   server started afresh. Target: at most 1.5x.
3. time per step in the player: stepping through the whole workload once
   with each step placed on its canvas, and once more when each is only
   drawn. Target: within one display frame (16.7 ms at 60 Hz).
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import chromium  # noqa: E402
import workload  # noqa: E402

from kivtool.cli import main  # noqa: E402
from kivtool.sample import write_sample  # noqa: E402


def start_view(path: Path) -> tuple[subprocess.Popen[str], str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "kivtool", "view", str(path), "--no-browser"],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    assert process.stdout is not None
    line = process.stdout.readline()
    return process, line.split()[2]  # the address; the root folder follows it


def stop_view(process: subprocess.Popen[str]) -> None:
    process.send_signal(signal.SIGINT)
    process.wait(timeout=10)


def wait_for(driver: object, script: str, timeout: float = 120) -> object:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = driver.execute_script(script)  # type: ignore[attr-defined]
        if value:
            return value
        time.sleep(0.01)
    raise TimeoutError(script)


def navigate(driver: object, url: str) -> None:
    """Opens `url` from a blank page, without waiting for it to load (the
    page's own clock measures that)."""
    driver.get("about:blank")  # type: ignore[attr-defined]
    driver.execute_script("window.location.href = arguments[0]", url)  # type: ignore[attr-defined]


def request_to_playing(driver: object, url: str, animation: Path) -> float:
    os.utime(animation)  # a new modification time: the server loads the file again
    navigate(driver, url)
    return float(wait_for(driver, "return window.kivview && kivview.playingAt")) / 1000  # type: ignore[arg-type]


def export_apng(animation: Path, out: Path) -> float:
    started = time.perf_counter()
    status = main(["export", str(animation), "-o", str(out), "--as", "apng"])
    assert status == 0
    return time.perf_counter() - started


def first_previews(driver: object, folder: Path) -> float:
    process, url = start_view(folder)
    try:
        navigate(driver, url)
        return float(wait_for(driver, "return window.kivview && kivview.firstPreviewsAt")) / 1000  # type: ignore[arg-type]
    finally:
        stop_view(process)


def make_gallery(folder: Path, count: int) -> None:
    """`count` animations (the bundled sample) in folders of 100, one palette."""
    animation, _ = write_sample(folder)
    data = animation.read_bytes()
    animation.unlink()
    for number in range(count):
        target = folder / "anim" / f"set{number // 100:02d}" / f"sample{number:04d}.kiv"
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)


def main_bench() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--files", type=int, default=2000)
    args = parser.parse_args()
    absent = chromium.missing()
    if absent:
        sys.exit(f"needs {', '.join(absent)}")

    work = Path(tempfile.mkdtemp(prefix="bench-view-"))
    # A laptop's screen: the first screen of the gallery holds about 20
    # previews, so both folders fill it.
    driver = chromium.start(size=(1280, 720))
    try:
        folder = work / "sprite"
        folder.mkdir()
        load = workload.build(folder)
        print(f"workload: {load.describe()}")
        process, url = start_view(load.animation)
        try:
            export_times, view_times = [], []
            for _ in range(args.rounds):
                export_times.append(export_apng(load.animation, work / "apng"))
                view_times.append(request_to_playing(driver, url, load.animation))
            export_best, view_best = min(export_times), min(view_times)
            print(
                f"request to playing: {view_best * 1000:.0f} ms; export --as apng: {export_best * 1000:.0f} ms; "
                f"ratio {view_best / export_best:.2f} (target <= 2)"
            )
            navigate(driver, url)
            wait_for(driver, "return window.kivview && kivview.playingAt")
            steps = [driver.execute_script("return kivview.timeSteps()") for _ in range(args.rounds)]
            first = min(step["first"] for step in steps)
            again = min(step["again"] for step in steps)
            print(
                f"time per step: {first:.2f} ms placing and drawing, {again:.2f} ms drawing a placed step "
                "(one display frame: 16.7 ms)"
            )
        finally:
            stop_view(process)

        small, large = work / "small", work / "large"
        make_gallery(small, 20)
        make_gallery(large, args.files)
        small_times, large_times = [], []
        for _ in range(args.rounds):
            small_times.append(first_previews(driver, small))
            large_times.append(first_previews(driver, large))
        print(
            f"first previews: {min(large_times) * 1000:.0f} ms for {args.files} files, "
            f"{min(small_times) * 1000:.0f} ms for 20; ratio {min(large_times) / min(small_times):.2f} (target <= 1.5)"
        )
    finally:
        driver.quit()
        shutil.rmtree(work)


if __name__ == "__main__":
    main_bench()
