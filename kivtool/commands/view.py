"""`kivtool view`: parses its options and starts the viewer's server
(kivtool.view), once the web packages it needs are known to be there."""

from __future__ import annotations

import argparse
from importlib.util import find_spec

from kivtool.commands.base import INSTALL_HINT, ToolError, set_text
from kivtool.commands.options import add_palette_option, non_negative_int, path_argument


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description="Starts a local web server for PATH (an animation, or a folder shown as a gallery) "
        "and opens it in a browser: the animation plays with its background and shadows, the pixel "
        "under the pointer is described, and frames can be moved and the speed changed, then saved "
        "(only the offsets and the speed of the file change). Prints the address to open, with its "
        "secret token, and serves until Ctrl-C.",
        epilog="example: kivtool view out/demo",
    )
    parser.add_argument("path", metavar="PATH", type=path_argument, help="an animation file or a folder of them")
    parser.add_argument(
        "--root",
        metavar="ROOT",
        type=path_argument,
        help="the folder whose animation files the viewer may list, read and write (default: PATH itself "
        "for a folder, else PATH's folder); palettes above it are read, never listed or served",
    )
    add_palette_option(parser)
    parser.add_argument(
        "--port", type=port_number, default=0, help="port on 127.0.0.1 to listen on (default 0: a free one)"
    )
    parser.add_argument("--no-browser", action="store_true", help="only print the address; open no browser")
    parser.set_defaults(run=run)


def port_number(text: str) -> int:
    value = non_negative_int(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"must be 65535 or less: {text!r}")
    return value


VIEW_MODULES = [("starlette", "starlette"), ("uvicorn", "uvicorn")]


def run(args: argparse.Namespace) -> int:
    missing = [package for module, package in VIEW_MODULES if find_spec(module) is None]
    if missing:
        raise ToolError(
            f"view needs {', '.join(missing)}, which are not installed; install them with:\n    {INSTALL_HINT}"
        )
    from kivtool.view import server

    try:
        settings = server.prepare(args.path, args.root, args.palette)
        return server.serve(settings, args.port, not args.no_browser)
    except server.ViewError as error:
        raise ToolError(str(error)) from None
