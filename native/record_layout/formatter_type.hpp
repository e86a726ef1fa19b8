// The class NeritEventFormatter: a heap type with an instance __dict__, GC support and
// subclassing, whose methods run the native formatting steps.
#pragma once

#include "py/ref.hpp"

namespace nerit::layout {

// Creates the class for `module` (its constants are added by the caller).
py::Ref create_formatter_type(PyObject* module);

// Publishes the table of functions the viewer's native print loop uses (module attribute).
bool publish_native_pass(PyObject* module);

}  // namespace nerit::layout
