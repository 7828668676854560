"""The outside formats the tool reads and writes: PNG images, sprite sheet
descriptions, editors' palette files, palette-indexed images. These modules
know nothing of the command line; the verbs and the viewer use them."""


class ImportRefused(Exception):
    """Input (an image, a sheet description, a list of offsets) that cannot
    become an animation file; the text names the file and the cause.
    Nothing has been written."""
