// The base class's filter methods and their setters, as Python calls them.
#pragma once

#include "py/ref.hpp"

namespace nerit::record_source {

PyObject* method_set_priority_filter(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_set_source_filter(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_filter_priority(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_filter_source(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_filter_event(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace nerit::record_source
