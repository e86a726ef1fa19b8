// Probes of the line primitives: the backward scan for the recent-events window, the search for
// line ends and the UTF-8 check.
#include <climits>

#include "core/line_scan.hpp"
#include "core/text_lines.hpp"
#include "core/utf8.hpp"
#include "probe/probe.hpp"

namespace nerit::probe {

using py::Ref;

PyObject* recent_line_starts(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    long long count = 0;
    if (!PyArg_ParseTuple(args, "y#L:recent_line_starts", &data, &size, &count)) return nullptr;
    auto starts = core::recent_line_starts(
        std::span<const char>(data, static_cast<std::size_t>(size)), count);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(starts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        PyObject* item = PyLong_FromLongLong(starts[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* utf8_valid(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#:utf8_valid", &data, &size)) return nullptr;
    std::string_view bytes(data, static_cast<std::size_t>(size));
    return Py_BuildValue("(OO)", core::is_valid_utf8(bytes) ? Py_True : Py_False,
                         core::is_valid_utf8_scalar(bytes) ? Py_True : Py_False);
}

PyObject* find_line_end(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#:find_line_end", &data, &size)) return nullptr;
    std::string_view bytes(data, static_cast<std::size_t>(size));
    return PyLong_FromSize_t(core::find_line_end(bytes));
}

}  // namespace nerit::probe
