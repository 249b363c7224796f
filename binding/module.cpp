// The Python module: registers the four classes and forwards every method to one
// engine operation. Its only logic of its own is LayoutResult's representation and
// guards against hostile use: the import refuses sub-interpreters, records made by
// __new__ alone hold defined values, and pickling or copying raises TypeError
// instead of aborting the process.

// Every scoped acquisition of the interpreter lock goes through PyGILState_Ensure,
// and pybind11 keeps no thread state of its own. Its default caches the thread
// state that is current when its shared state is first set up, and an import in a
// sub-interpreter sets it up under a thread state that CPython makes for that one
// call and then deletes: the main interpreter's next callback would resume it and
// abort. Must precede every pybind11 header.
#define PYBIND11_SIMPLE_GIL_MANAGEMENT

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <new>
#include <string>
#include <type_traits>

#include "binding/measure_bridge.h"
#include "engine/engine.h"

namespace py = pybind11;
using quillset::LayoutConfig;
using quillset::LayoutResult;
using quillset::MeasureFunc;
using quillset::Quillset;
using quillset::TextSize;

namespace {

std::string representation(const LayoutResult& r) {
    // "%f" of a float widened to double never produces an exponent, so the buffer
    // must hold up to 39 integer digits per coordinate.
    char buffer[512];
    std::snprintf(buffer, sizeof buffer,
                  "<LayoutResult left=%f top=%f width=%d height=%d padding_x=%d padding_y=%d "
                  "textAscent=%d textDescent=%d fontSize=%d>",
                  static_cast<double>(r.left), static_cast<double>(r.top), r.width, r.height,
                  r.padding_x, r.padding_y, r.textAscent, r.textDescent, r.fontSize);
    return buffer;
}

// The `self` of an engine method. An instance made by Quillset.__new__ without
// __init__ holds no engine, and pybind11 would hand the method unconstructed
// storage; engine() refuses such an instance instead.
class EngineSelf : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(EngineSelf, py::object, isEngineObject)

    Quillset& engine() const {
        auto* inst = reinterpret_cast<py::detail::instance*>(ptr());
        auto handle = inst->get_value_and_holder(py::detail::get_type_info(typeid(Quillset)));
        if (!handle.holder_constructed()) {
            throw py::type_error("quillset.Quillset.__init__() was not called: no engine");
        }
        return *static_cast<Quillset*>(handle.value_ptr());
    }

private:
    static bool isEngineObject(PyObject* o) { return py::isinstance<Quillset>(o); }
};

// pybind11 allocates the record of an instance made by __new__ without __init__
// only when the instance is first used, with a plain operator new: its fields
// would be whatever the heap held. This allocator gives such a record the values
// of a default-constructed one instead (zeros, or LayoutConfig's defaults).
template <typename Record>
void* valueInitialised(std::size_t size) {
    static_assert(std::is_trivially_destructible_v<Record>,
                  "pybind11 frees an unconstructed record without destroying it");
    return new (::operator new(size)) Record{};
}

template <typename Record>
void allocateValueInitialised() {
    py::detail::get_type_info(typeid(Record))->operator_new = &valueInitialised<Record>;
}

// A sub-interpreter that shares the main one's state ("legacy", as
// Py_NewInterpreter makes) would import the module and then abort the process at
// the first call of a measuring callable. The module body runs in the importing
// interpreter (its init function does not: CPython runs that in the main
// interpreter), so the body refuses every interpreter but the main one first.
void refuseSubInterpreter() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw py::import_error(
            "quillset does not support sub-interpreters: import it in the main interpreter "
            "only");
    }
}

// Records and engines cannot be pickled or copied: the engine holds a callable and
// results are made only by layout. Every protocol says so with one TypeError, as
// protocols 2 and above already did. Without these, protocols 0 and 1 (and
// object.__reduce__) go through copyreg, which constructs pybind11's common base
// class from the object; its allocator then throws a C++ exception through the
// interpreter's C frames and the process aborts.
template <typename Class>
void refusePickling(Class& cls, const char* qualifiedName) {
    const std::string message = std::string("cannot pickle '") + qualifiedName + "' object";
    cls.def("__reduce_ex__",
            [message](const py::object&, const py::object&) -> py::object {
                throw py::type_error(message);
            })
        .def("__reduce__",
             [message](const py::object&) -> py::object { throw py::type_error(message); });
}

}  // namespace

namespace pybind11::detail {
template <>
struct handle_type_name<EngineSelf> {
    static constexpr auto name = const_name("quillset.Quillset");
};
}  // namespace pybind11::detail

PYBIND11_MODULE(quillset, m, py::multiple_interpreters::not_supported()) {
    refuseSubInterpreter();
    m.doc() = "Pybind11 binding for Optimized Quillset with 4-Anchor Priority";

    py::class_<TextSize> textSize(m, "TextSize");
    textSize
        .def(py::init<int32_t, int32_t, int32_t>(), py::arg("width"), py::arg("height"),
             py::arg("baseline") = 0)
        .def_readwrite("width", &TextSize::width)
        .def_readwrite("height", &TextSize::height)
        .def_readwrite("baseline", &TextSize::baseline);

    py::class_<LayoutConfig> layoutConfig(m, "LayoutConfig");
    layoutConfig.def(py::init<>())
        .def_readwrite("gridSize", &LayoutConfig::gridSize)
        .def_readwrite("spatialIndexThreshold", &LayoutConfig::spatialIndexThreshold)
        .def_readwrite("maxIterations", &LayoutConfig::maxIterations)
        .def_readwrite("paddingX", &LayoutConfig::paddingX)
        .def_readwrite("paddingY", &LayoutConfig::paddingY)
        .def_readwrite("costPos1_Top", &LayoutConfig::costPos1_Top)
        .def_readwrite("costPos2_Right", &LayoutConfig::costPos2_Right)
        .def_readwrite("costPos3_Bottom", &LayoutConfig::costPos3_Bottom)
        .def_readwrite("costPos4_Left", &LayoutConfig::costPos4_Left)
        .def_readwrite("costSlidingPenalty", &LayoutConfig::costSlidingPenalty)
        .def_readwrite("costScaleTier", &LayoutConfig::costScaleTier)
        .def_readwrite("costOccludeObj", &LayoutConfig::costOccludeObj)
        .def_readwrite("costOverlapBase", &LayoutConfig::costOverlapBase);

    py::class_<LayoutResult> layoutResult(m, "LayoutResult");
    layoutResult.def_readonly("left", &LayoutResult::left)
        .def_readonly("top", &LayoutResult::top)
        .def_readonly("width", &LayoutResult::width)
        .def_readonly("height", &LayoutResult::height)
        .def_readonly("fontSize", &LayoutResult::fontSize)
        .def_readonly("padding_x", &LayoutResult::padding_x)
        .def_readonly("padding_y", &LayoutResult::padding_y)
        .def_readonly("textAscent", &LayoutResult::textAscent)
        .def_readonly("textDescent", &LayoutResult::textDescent)
        .def("__repr__", &representation);

    allocateValueInitialised<TextSize>();
    allocateValueInitialised<LayoutConfig>();
    allocateValueInitialised<LayoutResult>();

    // One default configuration object, built once and shared by every constructor
    // call that omits it; construction copies its fields, so it never changes.
    py::object defaultConfig = py::cast(LayoutConfig());

    py::class_<Quillset> engineClass(m, "Quillset");
    engineClass
        .def(py::init<int32_t, int32_t, MeasureFunc, const LayoutConfig&>(), py::arg("w"),
             py::arg("h"), py::arg("measure_func"), py::arg("config") = defaultConfig)
        .def("set_config",
             [](const EngineSelf& self, const LayoutConfig& cfg) { self.engine().set_config(cfg); })
        .def("set_canvas_size",
             [](const EngineSelf& self, int32_t width, int32_t height) {
                 self.engine().set_canvas_size(width, height);
             })
        .def("clear", [](const EngineSelf& self) { self.engine().clear(); })
        .def(
            "add",
            [](const EngineSelf& self, float l, float t, float r, float b, const std::string& text,
               int32_t baseFontSize) { self.engine().add(l, t, r, b, text, baseFontSize); },
            py::arg("l"), py::arg("t"), py::arg("r"), py::arg("b"), py::arg("text"),
            py::arg("baseFontSize"))
        .def("solve", [](const EngineSelf& self) { self.engine().solve(); })
        .def("layout", [](const EngineSelf& self) { return self.engine().layout(); });

    refusePickling(textSize, "quillset.TextSize");
    refusePickling(layoutConfig, "quillset.LayoutConfig");
    refusePickling(layoutResult, "quillset.LayoutResult");
    refusePickling(engineClass, "quillset.Quillset");
}
