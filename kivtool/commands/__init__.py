"""The verbs of the command line, one module each.

`commands_dict` maps each verb to the module that holds it and its line in
the list of verbs. A verb's module has `add_command(parser)`, which declares
its options and sets `run`, the function that does the work and returns the
exit status. Only the module of the verb being run is imported, so a verb
loads only what it needs. A new verb is one module and one entry here.
"""

from __future__ import annotations


class CommandInfo:
    """Where a verb lives and its line in the list of verbs (a plain class:
    typing's NamedTuple would cost every start of the tool its import)."""

    __slots__ = ("module_path", "summary")

    def __init__(self, module_path: str, summary: str) -> None:
        self.module_path = module_path
        self.summary = summary


commands_dict = {
    "info": CommandInfo("kivtool.commands.info", "show what an animation file holds"),
    "export": CommandInfo(
        "kivtool.commands.export", "write animations as PNG frames, a sprite sheet or animated images"
    ),
    "batch": CommandInfo("kivtool.commands.batch", "export every animation under a folder"),
    "demo": CommandInfo("kivtool.commands.demo", "write the bundled sample animation and export it in every form"),
    "import": CommandInfo("kivtool.commands.import_", "make an animation file from PNG frames or a sprite sheet"),
    "palette": CommandInfo("kivtool.commands.palette", "convert palette files to and from editors' palette formats"),
    "recolour": CommandInfo("kivtool.commands.recolour", "write an animation again with another palette"),
    "check": CommandInfo("kivtool.commands.check", "list what is wrong with animation files"),
    "view": CommandInfo("kivtool.commands.view", "play animations in the browser and fix their placement"),
}
