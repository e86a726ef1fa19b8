// Escaping control characters in events before they reach the formatter.
#pragma once

#include "py/ref.hpp"

namespace nerit::console {

// The event with every control character escaped in the keys and text values of the event, of
// its message block and of each member's mapping; lists and other mappings are left alone. The
// very same object when nothing needed changing. Empty Ref with an error set on failure.
py::Ref escape_event(PyObject* event);

}  // namespace nerit::console
