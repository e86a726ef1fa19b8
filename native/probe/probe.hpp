// Test probes: the byte-level primitives exposed to Python so that tests can compare them with
// the host facilities they stand in for. Not part of the product's interface.
#pragma once

#include "py/ref.hpp"

namespace nerit::probe {

// Each probe takes the module and its arguments as a METH_VARARGS function does and returns a
// new reference, or nullptr with an error set. A probe returns None where the native code
// declines the input (the product would then call the host facility).
PyObject* json_loads(PyObject* module, PyObject* args);           // (str[, bool]) -> (ok, value)
PyObject* isoparse(PyObject* module, PyObject* args);             // (str) -> datetime | None
PyObject* find_date(PyObject* module, PyObject* args);            // (bytes) -> (key, value) | None
PyObject* recent_line_starts(PyObject* module, PyObject* args);   // (bytes, int) -> list[int]
PyObject* fromisoformat_text(PyObject* module, PyObject* args);   // (str) -> str | None
PyObject* escape_controls(PyObject* module, PyObject* args);      // (str) -> str
PyObject* utf8_valid(PyObject* module, PyObject* args);           // (bytes) -> (vector, scalar)
PyObject* find_line_end(PyObject* module, PyObject* args);        // (bytes) -> int
PyObject* date_floor_passes_over(PyObject* module, PyObject* args);  // (datetime, bytes) -> bool
// (bytes, config[, vectors]) -> (scanned, accepted | None, text | None); config as in
// probe_event.cpp; scanned is None for a line that is not UTF-8; vectors forces the width of the
// structural pass ("scalar", "sse2", "avx2"; default "best")
PyObject* event_line(PyObject* module, PyObject* args);
// (path, fd, config[, offset]) -> counts of the lines by outcome; the texts are written to fd
PyObject* render_file(PyObject* module, PyObject* args);
PyObject* watched_objects(PyObject* module, PyObject* args);      // () -> int | None

}  // namespace nerit::probe
