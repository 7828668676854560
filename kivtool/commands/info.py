"""`kivtool info`: the header, the palette and one line per frame of an
animation, as text or JSON."""

from __future__ import annotations

import argparse

from kivtool.animation import LoadError, describe_animation
from kivtool.commands.base import ToolError, report_messages, set_text
from kivtool.commands.options import add_palette_option
from kivtool.text import printable


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description="Shows the header, the palette and one line per frame of an animation.",
        epilog="example: kivtool info game/anim/ball.kiv --json",
    )
    parser.add_argument("animation", metavar="ANIMATION")
    add_palette_option(parser, str)
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        animation = describe_animation(args.animation, args.palette)
    except LoadError as error:
        raise ToolError(str(error)) from None
    location = animation.location
    frames = [
        {
            "index": f.index,
            "width": f.width,
            "height": f.height,
            "x_offset": f.x_offset,
            "y_offset": f.y_offset,
            "kind": f.kind,
            "runs": animation.runs(f.index),
        }
        for f in animation.frames
    ]
    report = {
        "file": str(args.animation),
        "speed": animation.speed,
        "frame_count": animation.frame_count,
        "has_background": animation.has_background,
        "palette": {"location": location, "path": animation.palette_path, "colors": animation.colors},
        "frames": frames,
        "warnings": animation.warnings,
    }
    if args.json:
        import json

        print(json.dumps(report, indent=2))
    else:
        print(printable(str(report["file"])))
        background = "yes (the last frame)" if animation.has_background else "no"
        print(f"  speed       {animation.speed}")
        print(f"  frames      {animation.frame_count} (background counted)")
        print(f"  background  {background}")
        print(
            printable(
                f"  palette     {location if location is not None else '(unknown)'}"
                f" -> {animation.palette_path or '(unknown)'}, {animation.colors} colours"
            )
        )
        print(f"  {'index':>5}  {'size':>11}  {'offset':>13}  {'kind':<10}  {'runs':>6}")
        for f in frames:
            size = f"{f['width']} × {f['height']}"
            offset = f"{f['x_offset']:+d}, {f['y_offset']:+d}"
            print(f"  {f['index']:>5}  {size:>11}  {offset:>13}  {f['kind']:<10}  {f['runs']:>6}")
    report_messages(animation)
    return 0
