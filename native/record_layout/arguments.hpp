// Argument binding for the formatter's methods: positional-or-keyword parameters as a Python
// def binds them, and the exact-str argument check of the typed parameters.
#pragma once

#include <initializer_list>

#include "py/ref.hpp"

namespace nerit::layout {

// Binds vectorcall arguments to `names` (all positional-or-keyword). The first `required`
// names have no default; missing optional ones are left nullptr. Returns false with the
// host's TypeError texts for a missing, surplus, repeated or unknown argument.
bool bind_arguments(const char* function, std::initializer_list<const char*> names,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// True when `value` is exactly a str or None; otherwise sets the TypeError
// "Argument '<name>' has incorrect type (expected str, got <type>)" and returns false.
bool check_text_argument(PyObject* value, const char* name);

}  // namespace nerit::layout
