// Escaping control characters in events before they reach the formatter.
#pragma once

#include "py/ref.hpp"

namespace nerit::console {

// The event with every control character in its keys and text values escaped, recursively;
// the very same object when nothing needed changing. Empty Ref with an error set on failure.
py::Ref escape_event(PyObject* event);

}  // namespace nerit::console
