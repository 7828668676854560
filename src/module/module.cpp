// The Python module: registers the classes, in a fixed order, over the core.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "file/kiv_file.h"
#include "module/error_lines.h"
#include "palette/pal_file.h"
#include "records/kiv_records.h"
#include "render/kiv_frame_buffer.h"

namespace py = pybind11;

namespace pybind11::detail {
// A run's colour indices reach Python as a list of ints, as a vector would.
template <>
struct type_caster<ColorIndices> : list_caster<ColorIndices, std::uint8_t> {};
// A row's runs likewise, as a list of views of the runs.
template <>
struct type_caster<BlockList> : list_caster<BlockList, KivPixelBlock> {};
}  // namespace pybind11::detail

PYBIND11_MODULE(pykiv, m) {
    m.doc() = "Harbek animation graphics parser for Python";
    m.attr("__version__") = PYKIV_VERSION;

    // All classes exist before any member is bound, so that every generated
    // signature names the Python classes.
    py::class_<KivInfo> info(m, "KivInfo");
    py::class_<KivData, std::shared_ptr<KivData>> data(m, "KivData");
    // Frames are shared with the KivData that lists them, so a frame object
    // stays valid after the list is rebuilt by a later load.
    py::class_<KivFrame, std::shared_ptr<KivFrame>> frame(m, "KivFrame");
    py::class_<KivPixelSet> pixel_set(m, "KivPixelSet");
    py::class_<KivPixelBlock> pixel_block(m, "KivPixelBlock");
    py::class_<KivFrameBufferObject> frame_buffer_object(m, "KivFrameBufferObject");
    py::class_<KivFrameBuffer> frame_buffer(m, "KivFrameBuffer");
    py::class_<PalF::Color> color(m, "PalFColor");
    py::class_<PalF, std::shared_ptr<PalF>> palette(m, "PalF");
    py::class_<KivF> file(m, "KivF");

    info.def_readwrite("speed", &KivInfo::speed).def_readwrite("frame_count", &KivInfo::frame_count);

    // The list holds frames only: a slot that holds none (no load leaves
    // one) gets a default frame, as the slots a load adds have, so that
    // Python never sees None there and edits of that frame are kept.
    data.def_readonly("info", &KivData::info)
        .def_property_readonly("frames", py::cpp_function(
                                             [](KivData& d) -> const std::vector<std::shared_ptr<KivFrame>>& {
                                                 for (auto& frame : d.frames) {
                                                     if (!frame) frame = std::make_shared<KivFrame>();
                                                 }
                                                 return d.frames;
                                             },
                                             py::is_method(data), py::return_value_policy::reference_internal))
        .def_readonly("palette", &KivData::palette)
        .def_readwrite("has_background", &KivData::has_background);

    frame.def_readwrite("frame_size", &KivFrame::frame_size)
        .def_readwrite("height", &KivFrame::height)
        .def_readwrite("is_shadow", &KivFrame::is_shadow)
        .def_readwrite("width", &KivFrame::width)
        .def_readwrite("y_offset", &KivFrame::y_offset)
        .def_readwrite("x_offset", &KivFrame::x_offset)
        .def_readwrite("unk1", &KivFrame::unk1)
        .def_readwrite("unk2", &KivFrame::unk2)
        .def_readonly("pixel_sets", &KivFrame::pixel_sets);

    pixel_set.def_readwrite("block_count", &KivPixelSet::block_count).def_readonly("blocks", &KivPixelSet::blocks);

    pixel_block.def_readwrite("offset", &KivPixelBlock::offset)
        .def_readwrite("color_count", &KivPixelBlock::color_count)
        .def_readonly("colors", &KivPixelBlock::colors);

    frame_buffer_object
        .def_property_readonly("pixels",
                               [](const KivFrameBufferObject& o) {
                                   return py::bytes(reinterpret_cast<const char*>(o.pixels.data()), o.pixels.size());
                               })
        .def_readonly("width", &KivFrameBufferObject::width)
        .def_readonly("height", &KivFrameBufferObject::height)
        .def_readonly("offset_x", &KivFrameBufferObject::offset_x)
        .def_readonly("offset_y", &KivFrameBufferObject::offset_y)
        .def_readonly("channels", &KivFrameBufferObject::channels);

    frame_buffer
        .def(py::init([](const KivData& data) {
            const pykiv::module::ErrorLinesAfterTheCall lines;
            return KivFrameBuffer(data);
        }))
        .def("get_buffer", &KivFrameBuffer::get_buffer);

    color.def_readonly("r", &PalF::Color::r)
        .def_readonly("g", &PalF::Color::g)
        .def_readonly("b", &PalF::Color::b)
        .def_readonly("a", &PalF::Color::a);

    palette.def(py::init<>())
        .def("location", py::overload_cast<const std::string&>(&PalF::location))
        .def("location", py::overload_cast<>(&PalF::location, py::const_))
        .def("location_size", py::overload_cast<std::uint32_t>(&PalF::location_size))
        .def("location_size", py::overload_cast<>(&PalF::location_size, py::const_))
        .def("color_model", py::overload_cast<std::int32_t>(&PalF::color_model))
        .def("color_model", py::overload_cast<>(&PalF::color_model, py::const_))
        .def("colors", py::overload_cast<std::vector<PalF::Color>>(&PalF::colors))
        .def("colors", py::overload_cast<>(&PalF::colors, py::const_))
        .def("get_color", pykiv::module::lines_after(&PalF::get_color))
        .def("load", pykiv::module::lines_after(&PalF::load))
        .def("save", pykiv::module::lines_after(&PalF::save));

    file.def(py::init<>())
        .def("load", pykiv::module::lines_after(&KivF::load), py::arg("file_name"), py::arg("color_profile") = 0,
             py::arg("io_pal") = "")
        .def("save", pykiv::module::lines_after(&KivF::save), py::arg("file_name"), py::arg("project_root"),
             py::arg("palette_path"))
        .def("data", &KivF::data)
        .def("get_frame_buffer", &KivF::get_frame_buffer);
}
