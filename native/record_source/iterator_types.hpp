// The five iterator classes: their factories, the base-class steps the subclasses reuse and the
// garbage-collector support they share.
#pragma once

#include "py/pass_api.hpp"
#include "record_source/state.hpp"

namespace nerit::record_source {

// GC support shared by every class (a class with GC must name its traverse function).
int iterator_traverse(PyObject* self, visitproc visit, void* arg);
int iterator_clear(PyObject* self);

// Base-class behaviour reused by the subclasses.
int base_init_steps(PyObject* self, ModuleState* st, PyObject* event_file_path);
Ref close_file(PyObject* self, ModuleState* st);  // self._file.close()

// The reading classes' __next__, and the same step within a native pass (see next_from_file).
struct HostCalls;
PyObject* all_events_next(PyObject* self);
PyObject* all_events_step(PyObject* self, py::LineOffer* offer);
PyObject* range_next(PyObject* self);
PyObject* range_step(PyObject* self, py::LineOffer* offer);
PyObject* recent_next(PyObject* self);
PyObject* recent_step(PyObject* self, py::LineOffer* offer);
PyObject* new_next(PyObject* self);
PyObject* new_step(PyObject* self, py::LineOffer* offer);
// 1 when the recent-events iterator reads its window natively from its own file and counts it
// in plain ints; 0 when not, -1 with an error set.
int recent_pass_ready(PyObject* self, HostCalls& host);
// 1 when the time-range iterator judges dates by its own rules alone, with those stamped on
// `guard`; 0 when not, -1 with an error set.
int range_pass_ready(PyObject* self, HostCalls& host, const py::Watchers& watchers,
                     py::Guard& guard);

// Publishes the table of functions the viewer's native print loop uses (module attribute).
bool publish_native_pass(PyObject* module);

// Type specs and factories, one per class.
PyObject* make_base_type(PyObject* module, ModuleState* st);
PyObject* make_all_events_type(PyObject* module, PyObject* base);
PyObject* make_time_range_type(PyObject* module, PyObject* base);
PyObject* make_recent_type(PyObject* module, PyObject* base);
PyObject* make_new_events_type(PyObject* module, PyObject* base);

}  // namespace nerit::record_source
