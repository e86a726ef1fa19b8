// The instance layout shared by every iterator class and the steps they have in common.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "py/json_build.hpp"
#include "record_source/lookup_cache.hpp"
#include "record_source/own_file.hpp"
#include "record_source/state.hpp"

namespace nerit::record_source {

// Native per-instance data; every Python-visible attribute lives in the instance dict.
struct NativeState {
    OwnFile own;       // the file the iterator opened and how it is read
    Ref date_pattern;  // a pattern compiled by the module's original re.compile
    py::KeyCache json_keys;  // keys repeated from line to line share one str
    LookupCache lookups;     // what the last __next__ found, while nothing has changed
};

struct IteratorObject {
    PyObject_HEAD PyObject* dict;
    NativeState* native;
};

inline IteratorObject* as_iterator(PyObject* self) {
    return reinterpret_cast<IteratorObject*>(self);
}

// Reads a module global such as "json" as the module's code would, raising NameError like it.
Ref module_global(PyObject* module, PyObject* name);

// A line handed to decoding: a str (the host's readline result, or a line decoded from bytes) or
// bytes the native reader validated as UTF-8 (with the line's "\n" when it had a line end).
struct LineText {
    PyObject* object = nullptr;  // borrowed; null for a native line
    std::string_view utf8;
    Ref held;  // a str made of the bytes before Python code runs, which could move them
};

// Before Python code runs while a line is in use: the line's bytes live in the reader's block,
// which that code could move by reading on through the same iterator, so the line becomes a
// str of its own. False with an error set when that fails.
bool hold_as_text(LineText& line);

// Decodes the line as JSON and applies _filter_event, dropping lines that raise the JSON
// decoder's error. Returns 1 with `record` set when accepted, 0 when dropped, -1 on error.
int decode_and_filter(PyObject* self, HostCalls& host, const LineText& line, Ref& record);

// Calls self._filter_event(record) (the native test unless it was replaced); new reference.
PyObject* call_filter_event(PyObject* self, HostCalls& host, PyObject* record);

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

// Filter methods of the base class (filters.cpp), as Python calls them.
PyObject* method_set_priority_filter(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_set_source_filter(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_filter_priority(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_filter_source(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_filter_event(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace nerit::record_source
