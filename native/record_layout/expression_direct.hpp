// The expression layout in one pass over the event, for events whose keys and values are plain
// str and whose inserted values hold no "%".
#pragma once

#include "py/ref.hpp"

namespace nerit::layout {

// `expression` with every "%<key>" replaced key by key in the order of `event` (an exact dict),
// exactly as successive str.replace calls would leave it. Empty Ref without an error when the
// event is not of the usual kind (the caller then takes the general way); empty Ref with an
// error set only when memory runs out.
py::Ref expression_direct(PyObject* expression, PyObject* event);

}  // namespace nerit::layout
