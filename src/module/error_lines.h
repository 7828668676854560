// Error lines of the core, for a Python module over it: written to
// sys.stderr once a call's native work is done. Shared by the modules that
// bind the core.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "io/error_line.h"

namespace pykiv::module {

namespace py = pybind11;

// The core's error lines go where Python code looks for them: to sys.stderr
// as it is when the line is written, which IDLE, Jupyter or
// contextlib.redirect_stderr may have replaced. Without a sys.stderr that
// takes the line, it goes to the process's standard error stream, and
// whatever the stream raised is dropped: a line must never turn into an
// exception, nor replace one already on its way to Python.
inline void write_to_sys_stderr(const std::string& message) {
    const py::error_scope keep_pending_error;
    PyObject* const stream = PySys_GetObject("stderr");  // borrowed; null when there is none
    if (stream != nullptr && stream != Py_None) {
        try {
            // Bytes that are not UTF-8 (a path from elsewhere) are shown
            // as \x escapes instead of failing the line.
            const std::string text = pykiv::io::error_line(message) + '\n';
            const py::str decoded = py::reinterpret_steal<py::str>(
                PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
            if (!decoded) throw py::error_already_set();
            // Held for the call: the write may replace sys.stderr.
            const auto sys_stderr = py::reinterpret_borrow<py::object>(stream);
            sys_stderr.attr("write")(decoded);
            try {
                sys_stderr.attr("flush")();
            } catch (const py::error_already_set&) {
                // The stream has the line; one that cannot flush is its own affair.
            }
            return;
        } catch (const py::error_already_set&) {
            // Falls back to the process's stream below.
        }
    }
    pykiv::io::write_to_standard_error(message);
}

// Writing a line runs Python code (a stream written in Python, or any other
// thread, since writing to a file lets go of the interpreter lock), and that
// code may change or free the records the core is working on. So the lines
// of one call are held back while its native work runs and written, in
// order, once it is done: when the call returns, and also before an
// exception it throws reaches Python.
class ErrorLinesAfterTheCall {
public:
    ErrorLinesAfterTheCall() = default;
    ErrorLinesAfterTheCall(const ErrorLinesAfterTheCall&) = delete;
    ErrorLinesAfterTheCall& operator=(const ErrorLinesAfterTheCall&) = delete;
    ~ErrorLinesAfterTheCall() {
        try {
            for (const std::string& message : collected_.finish()) write_to_sys_stderr(message);
        } catch (...) {
            // Out of memory for a line: the call's own result or exception goes first.
        }
    }

private:
    pykiv::io::CollectedErrors collected_;
};

// A method of the core bound so that its error lines are written after it.
template <typename Result, typename Class, typename... Args>
auto lines_after(Result (Class::*method)(Args...)) {
    return [method](Class& self, Args... args) -> Result {
        const ErrorLinesAfterTheCall lines;
        return (self.*method)(std::forward<Args>(args)...);
    };
}

template <typename Result, typename Class, typename... Args>
auto lines_after(Result (Class::*method)(Args...) const) {
    return [method](const Class& self, Args... args) -> Result {
        const ErrorLinesAfterTheCall lines;
        return (self.*method)(std::forward<Args>(args)...);
    };
}

}  // namespace pykiv::module
