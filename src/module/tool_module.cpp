// kivtool._core: the command-line tool's own view of the C++ core. The tool
// reaches animation files through one object, Animation (the core's
// pykiv::file::Animation, file/kiv_animation.h), and encodes, replaces and
// reads palettes through the rest, instead of keeping copies of what the
// core knows. It is private to the tool; the bindings convert and call.
//
// Nothing here calls into Python while native work holds records: Python
// arguments are turned into native values first, the work runs, and its
// results are turned into Python values afterwards. The calls into Python
// during work are FileReplacement.verify's check, which runs while only this
// module's own copy of the new contents is held, and Animation.digest's
// hashlib, which reads the animation's own bytes through a view released
// before it returns. Error lines are collected in native memory while a
// load runs and handed back as values.
#include <pybind11/native_enum.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/kiv_codec.h"
#include "codec/kiv_planes.h"
#include "file/kiv_animation.h"
#include "file/kiv_file.h"
#include "image/png_read.h"
#include "image/png_write.h"
#include "io/error_line.h"
#include "io/file_io.h"
#include "memory/physical_memory.h"
#include "palette/pal_file.h"
#include "palette/palette_lookup.h"
#include "render/kiv_frame_buffer.h"
#include "render/kiv_paint_runs.h"

namespace py = pybind11;
namespace fs = std::filesystem;
namespace codec = pykiv::kiv_codec;

namespace {

// --------------------------------------------------------------------------
// Error lines, collected while a palette load runs

// Collects the error messages reported while it lives.
class ErrorCollection {
public:
    std::vector<std::string> take() { return collected_.finish(); }

private:
    pykiv::io::CollectedErrors collected_{pykiv::file::max_error_bytes_kept};
};

// Text from files and paths may be any bytes: what is not UTF-8 is shown as
// backslash escapes instead of failing.
py::str text(const std::string& bytes) {
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "backslashreplace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

py::list texts(const std::vector<std::string>& lines) {
    py::list out;
    for (const std::string& line : lines) out.append(text(line));
    return out;
}

py::bytes bytes_of(const std::uint8_t* data, std::size_t size) {
    return py::bytes(reinterpret_cast<const char*>(data), size);
}

// A bytes object of `size` bytes for native code to fill.
std::pair<py::bytes, std::uint8_t*> new_bytes(std::size_t size) {
    PyObject* object = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (object == nullptr) throw py::error_already_set();
    return {py::reinterpret_steal<py::bytes>(object), reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object))};
}

[[noreturn]] void raise_os_error(int error_number, const std::string& reason, const std::string& path) {
    PyObject* error = PyObject_CallFunction(PyExc_OSError, "isN", error_number, reason.c_str(),
                                            PyUnicode_DecodeFSDefaultAndSize(path.data(), path.size()));
    if (error == nullptr) throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
    throw py::error_already_set();
}

// --------------------------------------------------------------------------
// The animation

// One block of memory of items of `item` bytes, rows without gaps.
bool whole_buffer(const py::buffer_info& info, py::ssize_t item) {
    py::ssize_t stride = item;
    for (py::ssize_t d = info.ndim; d-- > 0;) {
        if (info.strides[d] != stride) return false;
        stride *= info.shape[d];
    }
    return info.itemsize == item;
}

// Bytes a caller has already read (bytes, or any contiguous buffer of
// bytes such as a memoryview slice or a mapped file), copied into memory of
// the core's own while the interpreter's lock is held: the decoder's frames
// keep them. Without `keep_trailing` only the records are copied, so that a
// mapped file with a tail of gigabytes costs the records alone.
pykiv::io::FileBytes file_bytes_of(const py::buffer_info& info, bool keep_trailing) {
    if (info.itemsize != 1 || (info.ndim == 1 && info.strides[0] != 1) || info.ndim > 1) {
        throw py::value_error("data must be contiguous bytes");
    }
    auto size = static_cast<std::size_t>(info.size);
    if (!keep_trailing) size = codec::records_end(static_cast<const std::uint8_t*>(info.ptr), size);
    pykiv::io::FileBytes bytes(size);
    if (size != 0) std::memcpy(bytes.data(), info.ptr, size);
    return bytes;
}

// The core's animation with what Python asks of it more than once, made
// once: the frame table as one tuple, and the digest of the bytes.
class PyAnimation {
public:
    PyAnimation(const std::string& path, const py::buffer& data, const std::string& palette, bool keep_trailing) {
        pykiv::io::FileBytes bytes;
        {
            const py::buffer_info info = data.request();
            bytes = file_bytes_of(info, keep_trailing);
        }
        // Rendering is refused beyond what this process may use, not only
        // beyond the machine's memory: a container's limit kills instead.
        core_ = std::make_unique<pykiv::file::Animation>(path, std::move(bytes), palette,
                                                         KivLimits{{}, pykiv::memory::available_memory_bytes()});
        py::tuple frames(core_->frames().size());
        for (std::size_t i = 0; i < core_->frames().size(); ++i) frames[i] = py::cast(core_->frames()[i]);
        frames_ = std::move(frames);
    }

    const pykiv::file::Animation& core() const { return *core_; }
    pykiv::file::Animation& core() { return *core_; }
    const py::tuple& frames() const { return frames_; }
    // SHA-256 of the bytes, from Python's hashlib, made when first asked
    // for (`kivtool info` never asks, and importing hashlib costs its start).
    // hashlib reads the core's bytes through a view that is released before
    // this returns, so nothing Python holds points into them afterwards.
    const std::string& digest() {
        if (!digest_) {
            const pykiv::io::FileBytes& bytes = core_->bytes();
            py::memoryview view = py::memoryview::from_memory(bytes.data(), static_cast<py::ssize_t>(bytes.size()));
            py::object hash;
            try {
                hash = py::module_::import("hashlib").attr("sha256")(view);
            } catch (...) {
                view.attr("release")();
                throw;
            }
            view.attr("release")();
            digest_ = hash.attr("hexdigest")().cast<std::string>();
        }
        return *digest_;
    }

    py::bytes rgba(std::size_t index) const {
        const KivFrameBufferObject& frame = rendered(index);
        return bytes_of(frame.pixels.data(), frame.pixels.size());
    }

    // The first pixel, counted row by row, at which frame `index` renders
    // otherwise than `pixels` (the same number of RGBA words, in one block),
    // or -1 where they are the same: compared where both lie, without a
    // copy of either.
    std::int64_t first_difference(std::size_t index, const py::buffer& pixels) const {
        const KivFrameBufferObject& frame = rendered(index);
        const py::buffer_info info = pixels.request();
        if (!whole_buffer(info, 4) || static_cast<std::size_t>(info.size) * 4 != frame.pixels.size()) {
            throw py::value_error("first_difference takes the frame's pixels as contiguous four-byte words");
        }
        const auto* got = frame.pixels.data();
        const auto* wanted = static_cast<const std::uint8_t*>(info.ptr);
        const std::size_t size = frame.pixels.size();
        if (size == 0 || std::memcmp(got, wanted, size) == 0) return -1;
        std::size_t at = 0;
        while (std::memcmp(got + at, wanted + at, 4) == 0) at += 4;
        return static_cast<std::int64_t>(at / 4);
    }

    py::tuple indices(std::size_t index) const {
        if (index >= core_->frames().size()) throw py::index_error("frame index out of range");
        const pykiv::file::FrameFacts& frame = core_->frames()[index];
        const std::size_t size = static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height);
        auto [indices, index_bytes] = new_bytes(size);
        auto [painted, painted_bytes] = new_bytes(size);
        core_->indices(index, index_bytes, painted_bytes);
        return py::make_tuple(indices, painted);
    }

    py::bytes patched(std::int64_t speed, const std::vector<std::pair<std::int64_t, std::int64_t>>& offsets) const {
        const std::vector<std::uint8_t> out = core_->patched(speed, offsets);
        return bytes_of(out.data(), out.size());
    }

private:
    const KivFrameBufferObject& rendered(std::size_t index) const {
        try {
            return core_->rgba(index);
        } catch (const std::out_of_range& error) {
            throw py::index_error(error.what());
        } catch (const std::logic_error& error) {
            throw py::value_error(error.what());
        }
    }

    std::unique_ptr<pykiv::file::Animation> core_;
    py::tuple frames_;
    std::optional<std::string> digest_;
};

// --------------------------------------------------------------------------
// Frames given as planes

struct PyFramePlanes {
    py::object painted;
    py::object indices;  // None for a shadow frame
    std::int64_t x_offset = 0;
    std::int64_t y_offset = 0;
    bool shadow = false;
};

// A plane as its buffer, held while the encoder reads it: two dimensions,
// rows without gaps, one byte a pixel.
py::buffer_info plane(const py::object& object, const char* what) {
    py::buffer_info info = py::reinterpret_borrow<py::buffer>(object).request();
    if (info.ndim != 2 || info.itemsize != 1 || info.strides[1] != 1 || info.strides[0] != info.shape[1]) {
        throw py::value_error(std::string(what) +
                              " must be a height x width array of one byte a pixel, rows without gaps");
    }
    return info;
}

std::pair<std::int64_t, std::int64_t> plane_size(const py::object& painted) {
    py::buffer_info info = plane(painted, "painted");
    return {info.shape[1], info.shape[0]};
}

py::bytes encode(const std::vector<PyFramePlanes>& frames, std::int64_t speed, const std::string& location,
                 bool has_background, const std::vector<std::string>& names) {
    // The buffers are requested before the encoder runs and released after:
    // nothing in between runs Python code.
    std::vector<py::buffer_info> buffers;
    buffers.reserve(2 * frames.size());
    codec::AnimationPlanes animation;
    animation.names = names;
    animation.speed = speed;
    animation.location = location;
    animation.has_background = has_background;
    for (const PyFramePlanes& frame : frames) {
        codec::FramePlanes planes;
        buffers.push_back(plane(frame.painted, "painted"));
        const py::buffer_info& painted = buffers.back();
        planes.painted = static_cast<const std::uint8_t*>(painted.ptr);
        planes.shape = {painted.shape[1], painted.shape[0], frame.x_offset, frame.y_offset, frame.shadow};
        if (!frame.shadow) {
            if (frame.indices.is_none()) throw py::value_error("a frame that is not a shadow frame needs indices");
            buffers.push_back(plane(frame.indices, "indices"));
            if (buffers.back().shape != painted.shape) throw py::value_error("indices and painted differ in size");
            planes.indices = static_cast<const std::uint8_t*>(buffers.back().ptr);
        }
        animation.frames.push_back(planes);
    }
    const std::vector<std::uint8_t> out = codec::encode_planes(animation);
    return bytes_of(out.data(), out.size());
}

// --------------------------------------------------------------------------
// Replacing a file

class Replacement {
public:
    // `path` relative to `root` when a root is given: see FileReplacement's
    // root policy.
    // Unless `synced`, nothing is synced: see Durability::deferred.
    Replacement(const std::string& path, const std::string& root, bool synced = true) : path_(path) {
        replacement_.emplace(pykiv::io::path_from_utf8(path), pykiv::io::path_from_utf8(root),
                             synced ? pykiv::io::Durability::synced : pykiv::io::Durability::deferred);
    }

    void write(const std::string& contents) {
        if (state_ != State::empty) throw std::logic_error("the new contents are written once, before commit");
        contents_.assign(contents.begin(), contents.end());
        const pykiv::io::WriteResult result = replacement_->prepare(contents_);
        if (result != pykiv::io::WriteResult::written) fail(result);
        state_ = State::prepared;
    }

    // Hands `check` a file holding the new contents: where they are
    // prepared, or, when the target is rewritten in place at commit, a copy
    // in the system's temporary folder.
    void verify(const py::function& check) {
        if (state_ != State::prepared) throw std::logic_error("verify needs new contents written and not committed");
        fs::path file = replacement_->prepared_file();
        std::optional<fs::path> copy;
        if (file.empty()) {
            copy = fs::temp_directory_path() /
                   fs::u8path(".kivtool-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".tmp");
            if (pykiv::io::write_file_atomically(*copy, contents_) != pykiv::io::WriteResult::written) {
                raise_os_error(EIO, "cannot make a copy to verify", pykiv::io::path_to_utf8(*copy));
            }
            file = *copy;
        }
        state_ = State::verifying;
        const auto remove_copy = [&copy] {
            std::error_code ec;
            if (copy) fs::remove(*copy, ec);
        };
        try {
            check(text(pykiv::io::path_to_utf8(file)));
        } catch (...) {
            state_ = State::prepared;
            remove_copy();
            throw;
        }
        state_ = State::prepared;
        remove_copy();
    }

    void commit() {
        if (state_ != State::prepared) throw std::logic_error("commit needs new contents written and not committed");
        const pykiv::io::WriteResult result = replacement_->commit();
        if (result != pykiv::io::WriteResult::written) fail(result);
        state_ = State::committed;
    }

    // Removes what was prepared and not committed, at once.
    void discard() {
        if (state_ == State::verifying) throw std::logic_error("cannot discard while verifying");
        replacement_.reset();
        state_ = State::discarded;
    }

    bool committed() const { return state_ == State::committed; }

private:
    enum class State { empty, prepared, verifying, committed, discarded };

    [[noreturn]] void fail(pykiv::io::WriteResult result) const {
        const std::optional<pykiv::io::WriteFailure> known = replacement_->failure();
        const pykiv::io::WriteFailure failure =
            known ? *known : pykiv::io::describe_write_failure(pykiv::io::path_from_utf8(path_), result);
        raise_os_error(failure.error_number, failure.reason, path_);
    }

    std::string path_;
    std::optional<pykiv::io::FileReplacement> replacement_;  // empty once discarded
    std::vector<std::uint8_t> contents_;
    State state_ = State::empty;
};

void replace_file(const std::string& path, const std::string& contents, const std::string& root) {
    Replacement replacement(path, root);
    replacement.write(contents);
    replacement.commit();
}

// Raises OSError naming the first file that could not be synced.
void sync_written(const std::vector<std::string>& paths) {
    std::vector<fs::path> files;
    files.reserve(paths.size());
    for (const std::string& path : paths) files.push_back(pykiv::io::path_from_utf8(path));
    const auto failed = pykiv::io::sync_written_files(files);
    if (failed)
        raise_os_error(failed->second.error_number, failed->second.reason, pykiv::io::path_to_utf8(failed->first));
}

py::bytes read_file(const std::string& path, const std::string& root, std::size_t limit) {
    const pykiv::io::FileRead read =
        pykiv::io::read_regular_file(pykiv::io::path_from_utf8(path), pykiv::io::path_from_utf8(root), limit);
    if (!read.bytes) raise_os_error(read.error_number, read.reason, path);
    return bytes_of(read.bytes->data(), read.bytes->size());
}

// --------------------------------------------------------------------------
// Palette files

py::bytes palette_bytes(const std::vector<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t>>& colors) {
    if (colors.empty()) throw py::value_error("a palette file holds 1 to 256 colours, not 0");
    PalF palette;
    std::vector<PalF::Color> entries;
    entries.reserve(colors.size());
    for (const auto& [r, g, b, a] : colors) entries.push_back(PalF::Color{r, g, b, a});
    palette.colors(std::move(entries));
    palette.check_savable();
    const std::vector<std::uint8_t> written = palette.file_bytes();
    return bytes_of(written.data(), written.size());
}

// A palette file on its own, loaded as the core loads it.
struct PaletteLoad {
    std::int32_t result = 0;  // PalF::load's: 1, -1 (cannot open), -2 (colour count not 1 to 256)
    std::vector<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t>> colors;
    std::uint16_t color_count = 0;
    std::vector<std::string> errors;
};

PaletteLoad load_palette(const std::string& path) {
    PaletteLoad out;
    PalF palette;
    ErrorCollection errors;
    out.result = palette.load(path);
    out.errors = errors.take();
    out.color_count = palette.stored_color_count();
    for (const PalF::Color& c : palette.colors()) out.colors.emplace_back(c.r, c.g, c.b, c.a);
    return out;
}

// --------------------------------------------------------------------------
// PNG files read by the core

// What read_png found: the header, the frame count, and the pixels as RGBA
// in a bytearray (writable, for numpy) when the core decodes this kind of
// PNG and the image is within the pixel limit; else None.
struct PngRead {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t bit_depth = 0;
    std::uint8_t color_type = 0;
    std::uint8_t interlace = 0;
    std::uint32_t frames = 1;
    bool decodable = false;
    py::object pixels = py::none();
};

// The bytes of a PNG file, held while the core reads them: one contiguous
// block of bytes.
py::buffer_info png_bytes_of(const py::buffer& data) {
    py::buffer_info info = data.request();
    if (info.itemsize != 1 || info.ndim != 1 || info.strides[0] != 1) {
        throw py::value_error("data must be contiguous bytes");
    }
    return info;
}

// ValueError with the cause for a damaged file. Nothing is decoded (and
// nothing allocated for the pixels) for an image of more than `max_pixels`
// or of more than one frame, which the caller refuses, nor without `decode`.
PngRead read_png(const py::buffer& data, std::uint64_t max_pixels, bool decode) {
    const py::buffer_info info = png_bytes_of(data);
    const auto* bytes = static_cast<const std::uint8_t*>(info.ptr);
    const auto size = static_cast<std::size_t>(info.size);
    PngRead out;
    try {
        const pykiv::image::PngLayout layout = pykiv::image::read_png_layout(bytes, size);
        out.width = layout.width;
        out.height = layout.height;
        out.bit_depth = layout.bit_depth;
        out.color_type = layout.color_type;
        out.interlace = layout.interlace;
        out.frames = layout.frames;
        out.decodable = layout.decodable();
        if (!decode || !out.decodable || layout.pixels() > max_pixels || layout.frames != 1) return out;
        const std::uint64_t rgba_bytes = layout.pixels() * 4;
        if (rgba_bytes > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) throw std::bad_alloc();
        PyObject* array = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rgba_bytes));
        if (array == nullptr) throw py::error_already_set();
        out.pixels = py::reinterpret_steal<py::object>(array);
        pykiv::image::decode_png(bytes, size, layout,
                                 reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(out.pixels.ptr())));
    } catch (const pykiv::image::PngError& error) {
        throw py::value_error(error.what());
    }
    return out;
}

// --------------------------------------------------------------------------
// Palette lookups

constexpr const char* map_buffers_needed =
    "map takes contiguous RGBA bytes and, for as many pixels, contiguous arrays of one byte, one byte and four "
    "bytes a pixel";

// The outputs of a lookup, requested writable and held while it runs:
// `count` entries each, of one byte, one byte and four bytes.
class MapOutputs {
public:
    MapOutputs(const py::buffer& indices, const py::buffer& painted, const py::buffer& kept, std::size_t count)
        : indices_(indices.request(true)), painted_(painted.request(true)), kept_(kept.request(true)) {
        if (!whole_buffer(indices_, 1) || !whole_buffer(painted_, 1) || !whole_buffer(kept_, 4) ||
            static_cast<std::size_t>(indices_.size) != count || static_cast<std::size_t>(painted_.size) != count ||
            static_cast<std::size_t>(kept_.size) != count) {
            throw py::value_error(map_buffers_needed);
        }
    }
    std::uint8_t* indices() const { return static_cast<std::uint8_t*>(indices_.ptr); }
    std::uint8_t* painted() const { return static_cast<std::uint8_t*>(painted_.ptr); }
    std::uint32_t* kept() const { return static_cast<std::uint32_t*>(kept_.ptr); }

private:
    py::buffer_info indices_, painted_, kept_;
};

// A height x width plane of `T` in memory of the core's own, handed to numpy
// without a copy: the array owns it.
template <typename T>
py::array_t<T> owned_plane(std::unique_ptr<T[]> values, std::uint32_t height, std::uint32_t width) {
    T* data = values.get();
    py::capsule owner(values.release(), [](void* held) { delete[] static_cast<T*>(held); });
    return py::array_t<T>({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)}, data, owner);
}

// The pixels of a PNG file the core decodes, mapped to palette indices as
// its rows are decoded: (indices, painted, kept, missing), as map gives
// them. The file's bytes are copied and the planes made in memory of the
// core's own, so that the decoding and mapping run without the
// interpreter's lock, holding no Python object: other threads can decode
// other frames meanwhile.
py::tuple map_png_planes(const PaletteLookup& lookup, const py::buffer& data) {
    std::vector<std::uint8_t> bytes;
    {
        const py::buffer_info info = png_bytes_of(data);
        const auto* start = static_cast<const std::uint8_t*>(info.ptr);
        bytes.assign(start, start + info.size);
    }
    pykiv::image::PngLayout layout;
    std::unique_ptr<std::uint8_t[]> indices;
    std::unique_ptr<bool[]> painted;  // written as bytes 0 and 1, as numpy's bools are
    std::unique_ptr<std::uint32_t[]> kept;
    std::size_t missing = 0;
    bool decodable = true;
    try {
        py::gil_scoped_release unlocked;
        layout = pykiv::image::read_png_layout(bytes.data(), bytes.size());
        decodable = layout.decodable() && layout.frames == 1;
        if (decodable) {
            const auto count = static_cast<std::size_t>(layout.pixels());
            indices.reset(new std::uint8_t[count]);
            painted.reset(new bool[count]);
            kept.reset(new std::uint32_t[count]);
            missing = pykiv::image::map_png(bytes.data(), bytes.size(), layout, lookup, indices.get(),
                                            reinterpret_cast<std::uint8_t*>(painted.get()), kept.get());
        }
    } catch (const pykiv::image::PngError& error) {
        throw py::value_error(error.what());
    }
    if (!decodable) throw py::value_error("map_png takes a still PNG that the core decodes");
    return py::make_tuple(owned_plane(std::move(indices), layout.height, layout.width),
                          owned_plane(std::move(painted), layout.height, layout.width),
                          owned_plane(std::move(kept), layout.height, layout.width), missing);
}

// --------------------------------------------------------------------------
// PNG files written

// A PNG file of `pixels` (RGBA, or palette indices when `palette_rgb` is
// given). The pixels are copied into rows of the core's own while the lock
// is held, since another thread could resize the buffer; compression then
// runs without the lock, holding no Python object.
py::bytes png_file(const py::buffer& pixels, std::int64_t width, std::int64_t height, int level,
                   const std::string& palette_rgb, const std::string& palette_alpha,
                   const std::vector<std::pair<std::string, std::string>>& text) {
    if (width <= 0 || height <= 0 || width > std::numeric_limits<std::uint32_t>::max() ||
        height > std::numeric_limits<std::uint32_t>::max()) {
        throw py::value_error("a PNG image is 1 to 2^31 - 1 pixels a side");
    }
    pykiv::image::PngPalette palette;
    palette.rgb.assign(palette_rgb.begin(), palette_rgb.end());
    palette.alpha.assign(palette_alpha.begin(), palette_alpha.end());
    pykiv::image::PngRows rows;
    {
        const py::buffer_info info = pixels.request();
        if (info.itemsize != 1 || info.ndim != 1 || info.strides[0] != 1) {
            throw py::value_error("pixels must be contiguous bytes");
        }
        rows = pykiv::image::png_rows(static_cast<const std::uint8_t*>(info.ptr), static_cast<std::size_t>(info.size),
                                      static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                                      !palette.rgb.empty());
    }
    std::vector<std::uint8_t> file;
    {
        py::gil_scoped_release unlocked;
        file = pykiv::image::png_file(rows, level, palette, text);
    }
    return bytes_of(file.data(), file.size());
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "kivtool's private view of the pykiv core";

    m.attr("SPEED_MAX") = codec::max_speed;
    m.attr("OFFSET_MIN") = codec::min_offset;
    m.attr("OFFSET_MAX") = codec::max_offset;
    m.attr("WIDTH_MAX") = codec::max_width;
    m.attr("PLAIN_HEIGHT_MAX") = codec::max_plain_height;
    m.attr("HEIGHT_FROM_SHADOW_MAX") = codec::max_height_from_shadow;
    m.attr("FRAMES_MAX") = codec::max_frames;
    m.attr("SHADOW_COLOR") = py::make_tuple(shadow_color.r, shadow_color.g, shadow_color.b, shadow_color.a);

    py::native_enum<KivLoadStatus>(m, "LoadOutcome", "enum.Enum")
        .value("loaded", KivLoadStatus::loaded)
        .value("cannot_open", KivLoadStatus::cannot_open)
        .value("no_frames", KivLoadStatus::no_frames)
        .value("palette_missing", KivLoadStatus::palette_missing)
        .value("palette_invalid", KivLoadStatus::palette_invalid)
        .value("no_colors", KivLoadStatus::no_colors)
        .finalize();

    using pykiv::file::FrameFacts;
    py::class_<FrameFacts>(m, "Frame")
        .def_readonly("width", &FrameFacts::width)
        .def_readonly("height", &FrameFacts::height)
        .def_readonly("x_offset", &FrameFacts::x_offset)
        .def_readonly("y_offset", &FrameFacts::y_offset)
        .def_readonly("is_shadow", &FrameFacts::is_shadow)
        .def_readonly("runs", &FrameFacts::runs)
        .def_readonly("record_offset", &FrameFacts::record_offset);

    py::class_<PyAnimation>(m, "Animation")
        .def(py::init<const std::string&, const py::buffer&, const std::string&, bool>(), py::arg("path"),
             py::arg("data"), py::arg("palette") = "", py::kw_only(), py::arg("keep_trailing") = true)
        .def_static(
            "records_end",
            [](const py::buffer& data) {
                const py::buffer_info info = data.request();
                if (info.itemsize != 1 || info.ndim != 1 || info.strides[0] != 1) {
                    throw py::value_error("data must be contiguous bytes");
                }
                return codec::records_end(static_cast<const std::uint8_t*>(info.ptr),
                                          static_cast<std::size_t>(info.size));
            },
            py::arg("data"))
        .def_property_readonly("outcome", [](const PyAnimation& a) { return a.core().outcome(); })
        .def_property_readonly("errors", [](const PyAnimation& a) { return texts(a.core().errors()); })
        .def_property_readonly("palette_tried",
                               [](const PyAnimation& a) { return text(a.core().report().palette_tried); })
        .def_property_readonly("palette_used", [](const PyAnimation& a) { return text(a.core().palette_used()); })
        .def_property_readonly("palette_folder",
                               [](const PyAnimation& a) { return text(a.core().report().palette_folder); })
        .def_property_readonly("speed", [](const PyAnimation& a) { return a.core().speed(); })
        .def_property_readonly("frame_count", [](const PyAnimation& a) { return a.core().frame_count(); })
        .def_property_readonly("has_background", [](const PyAnimation& a) { return a.core().has_background(); })
        .def_property_readonly("location", [](const PyAnimation& a) { return text(a.core().report().location); })
        .def_property_readonly("frames", &PyAnimation::frames)
        .def_property_readonly("cut_short", [](const PyAnimation& a) { return a.core().report().cut_short; })
        .def_property_readonly("trailing_bytes", [](const PyAnimation& a) { return a.core().report().trailing_bytes; })
        .def_property_readonly("max_index", [](const PyAnimation& a) { return a.core().max_index(); })
        .def_property_readonly("color_count", [](const PyAnimation& a) { return a.core().color_count(); })
        .def_property_readonly("colors",
                               [](const PyAnimation& a) {
                                   py::list out;
                                   for (const PalF::Color& c : a.core().colors()) {
                                       out.append(py::make_tuple(c.r, c.g, c.b, c.a));
                                   }
                                   return out;
                               })
        .def_property_readonly("digest", &PyAnimation::digest)
        .def_property_readonly("render_bytes", [](const PyAnimation& a) { return a.core().render_bytes(); })
        .def_property_readonly("rendered", [](const PyAnimation& a) { return a.core().rendered(); })
        .def("render", [](PyAnimation& a) { a.core().render(); })
        .def("rgba", &PyAnimation::rgba, py::arg("index"))
        .def("first_difference", &PyAnimation::first_difference, py::arg("index"), py::arg("pixels"))
        .def("indices", &PyAnimation::indices, py::arg("index"))
        .def("patched", &PyAnimation::patched, py::arg("speed"), py::arg("offsets"));

    m.def(
        "find_palette",
        [](const std::string& animation_path, const std::string& location) {
            return text(pykiv::io::path_to_utf8(
                KivF::find_palette(pykiv::io::path_from_utf8(animation_path), std::nullopt, location)));
        },
        py::arg("animation_path"), py::arg("location"));

    py::class_<PyFramePlanes>(m, "FramePlanes")
        .def(py::init(
                 [](py::object painted, py::object indices, std::int64_t x_offset, std::int64_t y_offset, bool shadow) {
                     plane_size(painted);
                     return PyFramePlanes{std::move(painted), std::move(indices), x_offset, y_offset, shadow};
                 }),
             py::arg("painted"), py::arg("indices") = py::none(), py::arg("x_offset") = 0, py::arg("y_offset") = 0,
             py::arg("shadow") = false)
        .def_readonly("painted", &PyFramePlanes::painted)
        .def_readonly("indices", &PyFramePlanes::indices)
        .def_readonly("x_offset", &PyFramePlanes::x_offset)
        .def_readonly("y_offset", &PyFramePlanes::y_offset)
        .def_readonly("shadow", &PyFramePlanes::shadow)
        .def_property_readonly("width", [](const PyFramePlanes& f) { return plane_size(f.painted).first; })
        .def_property_readonly("height", [](const PyFramePlanes& f) { return plane_size(f.painted).second; });

    m.def("encode", &encode, py::arg("frames"), py::kw_only(), py::arg("speed"), py::arg("location"),
          py::arg("has_background"), py::arg("names") = std::vector<std::string>{});
    m.def(
        "check_frames",
        [](const py::sequence& frames, const std::vector<std::string>& names) {
            // The count first, before a frame is looked at.
            const std::size_t count = py::len(frames);
            codec::check_frame_count(count);
            // The sequence may make each item when asked and drop it after,
            // and any attribute read runs Python code that may change the
            // sequence: each item is held by a reference of our own while
            // its fields are read into native values. Items are asked for
            // by index, up to the length the count check saw; a sequence
            // that then has fewer raises its own IndexError.
            std::vector<codec::FrameShape> shapes;
            for (std::size_t i = 0; i < count; ++i) {
                const py::object frame = frames[i];
                codec::FrameShape shape;
                shape.width = frame.attr("width").cast<std::int64_t>();
                shape.height = frame.attr("height").cast<std::int64_t>();
                shape.x_offset = frame.attr("x_offset").cast<std::int64_t>();
                shape.y_offset = frame.attr("y_offset").cast<std::int64_t>();
                shape.shadow = frame.attr("shadow").cast<bool>();
                shapes.push_back(shape);
            }
            codec::check_frame_shapes(shapes, names);
        },
        py::arg("frames"), py::arg("names") = std::vector<std::string>{});
    py::class_<Replacement>(m, "FileReplacement")
        .def(py::init<const std::string&, const std::string&, bool>(), py::arg("path"), py::arg("root") = "",
             py::kw_only(), py::arg("synced") = true)
        .def(
            "write", [](Replacement& r, const py::bytes& data) { r.write(std::string(data)); }, py::arg("data"))
        .def("verify", &Replacement::verify, py::arg("check"))
        .def("commit", &Replacement::commit)
        .def("discard", &Replacement::discard)
        .def(
            "__enter__", [](Replacement& r) -> Replacement& { return r; }, py::return_value_policy::reference)
        .def("__exit__", [](Replacement& r, const py::args&) {
            if (!r.committed()) r.discard();
        });
    m.def(
        "replace_file",
        [](const std::string& path, const py::bytes& data, const std::string& root) {
            replace_file(path, std::string(data), root);
        },
        py::arg("path"), py::arg("data"), py::arg("root") = "");
    m.def("sync_written", &sync_written, py::arg("paths"));
    m.def("read_file", &read_file, py::arg("path"), py::arg("root") = "",
          py::arg("limit") = std::numeric_limits<std::size_t>::max());

    m.def("palette_bytes", &palette_bytes, py::arg("colors"));
    py::class_<PaletteLoad>(m, "PaletteLoad")
        .def_readonly("result", &PaletteLoad::result)
        .def_readonly("colors", &PaletteLoad::colors)
        .def_readonly("color_count", &PaletteLoad::color_count)
        .def_property_readonly("errors", [](const PaletteLoad& p) { return texts(p.errors); });
    m.def("load_palette", &load_palette, py::arg("path"));

    py::class_<PaletteLookup>(m, "PaletteLookup")
        .def(
            py::init([](const std::vector<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t>>& colors) {
                std::vector<PalF::Color> entries;
                for (const auto& [r, g, b, a] : colors) entries.push_back(PalF::Color{r, g, b, a});
                return PaletteLookup(entries);
            }),
            py::arg("colors"))
        .def(
            "map",
            [](const PaletteLookup& lookup, const py::buffer& rgba, const py::buffer& indices,
               const py::buffer& painted, const py::buffer& kept) {
                // Every buffer is requested before the work and released
                // after it; nothing in between runs Python code.
                const py::buffer_info in = rgba.request();
                const auto count = static_cast<std::size_t>(in.size / 4);
                if (!whole_buffer(in, 1) || in.size % 4 != 0) throw py::value_error(map_buffers_needed);
                MapOutputs out(indices, painted, kept, count);
                return lookup.map(static_cast<const std::uint8_t*>(in.ptr), count, out.indices(), out.painted(),
                                  out.kept());
            },
            py::arg("rgba"), py::arg("indices"), py::arg("painted"), py::arg("kept"))
        .def("map_png", &map_png_planes, py::arg("data"));
    m.def("available_memory", &pykiv::memory::available_memory_bytes);

    py::class_<PngRead>(m, "PngRead")
        .def_readonly("width", &PngRead::width)
        .def_readonly("height", &PngRead::height)
        .def_readonly("bit_depth", &PngRead::bit_depth)
        .def_readonly("color_type", &PngRead::color_type)
        .def_readonly("interlace", &PngRead::interlace)
        .def_readonly("frames", &PngRead::frames)
        .def_readonly("decodable", &PngRead::decodable)
        .def_readonly("pixels", &PngRead::pixels);
    m.def("read_png", &read_png, py::arg("data"), py::arg("max_pixels"), py::arg("decode") = true);
    m.def("png_file", &png_file, py::arg("pixels"), py::arg("width"), py::arg("height"), py::kw_only(),
          py::arg("level") = 6, py::arg("palette_rgb") = std::string(), py::arg("palette_alpha") = std::string(),
          py::arg("text") = std::vector<std::pair<std::string, std::string>>{});
}
