// Control characters of a str made visible, over each storage width of the host's strings.
#pragma once

#include "py/ref.hpp"

namespace nerit::py {

// `text` (an exact str) with every control character but tab (C0, DEL, C1) written as "\xNN";
// the same object when it holds none. Empty Ref with an error set on failure.
Ref escape_controls(PyObject* text);

// True when `text` (a str) holds no control character that escape_controls would change.
bool has_no_controls(PyObject* text);

}  // namespace nerit::py
