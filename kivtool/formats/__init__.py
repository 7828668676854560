"""The outside formats the tool reads and writes: PNG images, sprite sheet
descriptions, editors' palette files, palette-indexed images. These modules
know nothing of the command line; the verbs and the viewer use them."""
