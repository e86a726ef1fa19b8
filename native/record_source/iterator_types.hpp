// The five iterator classes: their factories, the base-class steps the subclasses reuse and the
// garbage-collector support they share.
#pragma once

#include "record_source/state.hpp"

namespace nerit::record_source {

// GC support shared by every class (a class with GC must name its traverse function).
int iterator_traverse(PyObject* self, visitproc visit, void* arg);
int iterator_clear(PyObject* self);

// Base-class behaviour reused by the subclasses.
int base_init_steps(PyObject* self, ModuleState* st, PyObject* event_file_path);
Ref close_file(PyObject* self, ModuleState* st);  // self._file.close()

// Type specs and factories, one per class.
PyObject* make_base_type(PyObject* module, ModuleState* st);
PyObject* make_all_events_type(PyObject* module, PyObject* base);
PyObject* make_time_range_type(PyObject* module, PyObject* base);
PyObject* make_recent_type(PyObject* module, PyObject* base);
PyObject* make_new_events_type(PyObject* module, PyObject* base);

}  // namespace nerit::record_source
