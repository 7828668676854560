import pykiv
from PIL import Image

# `kivtool demo` has written out/demo/anim/sample.kiv and out/demo/pal/sample.pal.
kiv = pykiv.KivF()
data = kiv.load("out/demo/anim/sample.kiv")  # palette found from the location stored in the file
# data = kiv.load("out/demo/anim/sample.kiv", io_pal="out/demo/pal/sample.pal")  # or named explicitly
if data is None:
    # No ERROR: line when the file cannot be opened (missing, a directory,
    # unreadable) or holds no frames; "ERROR: No palette data available!"
    # when it has frames but no palette colours to render them with.
    raise SystemExit("not loaded")

print(data.info.speed, data.info.frame_count, data.has_background)
print(data.palette.location(), data.palette.get_color(1).r)
for frame in data.frames:
    print(frame.width, frame.height, frame.x_offset, frame.y_offset, frame.is_shadow)

# Scalar fields are edited in place through the views that data.frames etc. return.
first = data.frames[0]
first.x_offset -= 4
row = next(row for row in first.pixel_sets if row.blocks)  # the first row that draws anything
row.blocks[0].offset += 1
data.info.speed = 80

# kiv.get_frame_buffer() holds the frames as rendered by load();
# a new KivFrameBuffer renders the records as they are now.
for i, image in enumerate(pykiv.KivFrameBuffer(data).get_buffer()):
    if image.width and image.height:
        Image.frombytes("RGBA", (image.width, image.height), image.pixels).save(f"out/demo/edited_{i:03d}.png")

# save() writes the palette too, to palette_path: a new file here, so that the
# palette just loaded is not overwritten. The animation stores its location
# relative to project_root ("pal/edited.pal"), where load() will look for it.
kiv.save("out/demo/anim/edited.kiv", project_root="out/demo", palette_path="out/demo/pal/edited.pal")
