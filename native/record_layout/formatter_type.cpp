// The class NeritEventFormatter: a heap type with an instance __dict__, GC support and
// subclassing, whose methods run the native formatting steps.
#include "record_layout/formatter_type.hpp"

#include <cstddef>
#include <iterator>
#include <new>
#include <utility>

#include <structmember.h>

#include "record_layout/arguments.hpp"
#include "record_layout/formatter_object.hpp"
#include "record_layout/formatting.hpp"

namespace nerit::layout {
namespace {

using py::Ref;

FormatterObject* as_formatter(PyObject* self) {
    return reinterpret_cast<FormatterObject*>(self);
}

// Runs a method body; a failed allocation inside the C++ library becomes MemoryError so
// that no C++ exception reaches the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected failure in record_layout");
        return nullptr;
    }
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_formatter(self)->dict);
    const FormatterCaches* caches = as_formatter(self)->caches;
    return caches == nullptr ? 0 : caches->traverse(visit, arg);
}

int clear(PyObject* self) {
    if (FormatterCaches* caches = as_formatter(self)->caches) caches->clear();
    // Dropped through a handle so that the dict's own clean-up runs with the slot already empty.
    Ref dict = Ref::steal(std::exchange(as_formatter(self)->dict, nullptr));
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_formatter(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear(self);
    delete std::exchange(as_formatter(self)->caches, nullptr);
    // The instance held a reference to its heap type (taken by tp_alloc).
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_TYPE(self)->tp_free(self);
}

// __init__(self, format_expression=None, is_detailed=False, is_raw=False, no_color=False,
//          use_iso_date=False)
int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"format_expression", "is_detailed",  "is_raw",
                                  "no_color",          "use_iso_date", nullptr};
    PyObject* values[] = {Py_None, Py_False, Py_False, Py_False, Py_False};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:__init__", const_cast<char**>(names),
                                     &values[0], &values[1], &values[2], &values[3], &values[4])) {
        return -1;
    }
    if (!check_text_argument(values[0], "format_expression")) return -1;
    LayoutState* state = state_of_instance(self);
    if (state == nullptr) return -1;
    PyObject* attributes[] = {state->attr_format_expression.get(), state->attr_is_detailed.get(),
                              state->attr_is_raw.get(), state->attr_no_color.get(),
                              state->attr_use_iso_date.get()};
    for (std::size_t i = 0; i < std::size(attributes); ++i) {
        if (PyObject_SetAttr(self, attributes[i], values[i]) < 0) return -1;
    }
    return 0;
}

PyObject* unpack_event_dict(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* event = nullptr;
    if (!bind_arguments("__unpack_event_dict", {"event"}, 1, args, nargs, kwnames, &event)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Formatting formatting(self, state_of_class(cls));
        return unpack_event_native(formatting, event) ? py::none() : nullptr;
    });
}

PyObject* format_event_with_expression(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* event = nullptr;
    if (!bind_arguments("__format_event_with_expression", {"event"}, 1, args, nargs, kwnames,
                        &event)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Formatting formatting(self, state_of_class(cls));
        return expression_layout_native(formatting, event).release();
    });
}

PyObject* format_event(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* event = nullptr;
    if (!bind_arguments("format_event", {"event"}, 1, args, nargs, kwnames, &event)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Formatting formatting(self, state_of_class(cls));
        return format_event_native(formatting, event).release();
    });
}

PyObject* colorize_priority(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* priority = nullptr;
    if (!bind_arguments("__colorize_priority", {"priority"}, 1, args, nargs, kwnames, &priority) ||
        !check_text_argument(priority, "priority")) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Formatting formatting(self, state_of_class(cls));
        return colorize_priority_native(formatting, priority).release();
    });
}

PyObject* colorize(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    PyObject* bound[2] = {nullptr, nullptr};
    if (!bind_arguments("__colorize", {"string", "color"}, 2, args, nargs, kwnames, bound) ||
        !check_text_argument(bound[0], "string") || !check_text_argument(bound[1], "color")) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Formatting formatting(self, state_of_class(cls));
        return colorize_native(formatting, bound[0], bound[1]).release();
    });
}

template <typename Method>
PyCFunction as_cfunction(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyObject* init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return init(self, args, kwargs) < 0 ? nullptr : py::none();
}

PyMethodDef methods[] = {
    {"__init__", as_cfunction(init_method), METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
     "__init__($self, /, format_expression=None, is_detailed=False, is_raw=False, "
     "no_color=False, use_iso_date=False)\n--\n\n"
     "Choose the layout: a format expression, detailed, raw or the one-line default."},
    {"_NeritEventFormatter__unpack_event_dict", as_cfunction(unpack_event_dict), kMethodFlags,
     "_NeritEventFormatter__unpack_event_dict($self, /, event)\n--\n\n"
     "Lift the fields of the event's message block to its top level and add its source."},
    {"_NeritEventFormatter__format_event_with_expression",
     as_cfunction(format_event_with_expression), kMethodFlags,
     "_NeritEventFormatter__format_event_with_expression($self, /, event)\n--\n\n"
     "The event's text laid out by the format expression."},
    {"format_event", as_cfunction(format_event), kMethodFlags,
     "format_event($self, /, event)\n--\n\n"
     "The text to print for one event; the event is changed on the way."},
    {"_NeritEventFormatter__colorize_priority", as_cfunction(colorize_priority), kMethodFlags,
     "_NeritEventFormatter__colorize_priority($self, /, priority)\n--\n\n"
     "The priority name in the colour of its severity, unless colour is off."},
    {"_NeritEventFormatter__colorize", as_cfunction(colorize), kMethodFlags,
     "_NeritEventFormatter__colorize($self, /, string, color)\n--\n\n"
     "The text in the named colour (\"grey\"), unless colour is off."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FormatterObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FormatterObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                       {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(clear)},
                       {Py_tp_init, reinterpret_cast<void*>(init)},
                       {Py_tp_methods, methods},
                       {Py_tp_members, members},
                       {Py_tp_getset, getset},
                       {0, nullptr}};

PyType_Spec spec = {"nerit_record_console.record_layout.NeritEventFormatter",
                    sizeof(FormatterObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};

}  // namespace

Ref create_formatter_type(PyObject* module) {
    return Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace nerit::layout
