// Per-module data of record_source: interned names, the host objects captured at load, types,
// declared once in tables that generate their interning, traverse and clear.
#pragma once

#include "py/guard.hpp"
#include "py/module_state.hpp"
#include "py/ref.hpp"

#include <datetime.h>

namespace nerit::record_source {

using py::Ref;

// Interned attribute and key names, created once per module so per-event code never builds one.
#define NERIT_SOURCE_NAMES(X)                                           \
    X(file, "_file")                                                    \
    X(file_path, "_file_path")                                          \
    X(priority_filter, "_NeritEventIterator__priority_filter")          \
    X(source_filter, "_NeritEventIterator__source_filter")              \
    X(filter_event, "_filter_event")                                    \
    X(filter_priority, "_filter_priority")                              \
    X(filter_source, "_filter_source")                                  \
    X(count, "_NeritRecentEventIterator__count")                        \
    X(positions, "_NeritRecentEventIterator__positions")                \
    X(current_line, "current_line")                                     \
    X(find_positions, "_find_positions")                                \
    X(date_regex, "_NeritTimeRangeEventIterator__date_regex_pattern")   \
    X(date_since, "_NeritTimeRangeEventIterator__date_since")           \
    X(date_until, "_NeritTimeRangeEventIterator__date_until")           \
    X(adjust_end_date, "_NeritTimeRangeEventIterator__adjust_end_date") \
    X(fast_paths, "_fast_paths")                                        \
    X(open, "open")                                                     \
    X(readline, "readline")                                             \
    X(close, "close")                                                   \
    X(seek, "seek")                                                     \
    X(read, "read")                                                     \
    X(tell, "tell")                                                     \
    X(fileno, "fileno")                                                 \
    X(closed, "closed")                                                 \
    X(encoding, "encoding")                                             \
    X(errors, "errors")                                                 \
    X(max_line_length, "_max_line_length")                              \
    X(buffer, "buffer")                                                 \
    X(raw, "raw")                                                       \
    X(name, "name")                                                     \
    X(json, "json")                                                     \
    X(loads, "loads")                                                   \
    X(decoder, "decoder")                                               \
    X(json_decode_error, "JSONDecodeError")                             \
    X(dateutil, "dateutil")                                             \
    X(parser, "parser")                                                 \
    X(isoparse, "isoparse")                                             \
    X(parse, "parse")                                                   \
    X(replace, "replace")                                               \
    X(tzinfo, "tzinfo")                                                 \
    X(hour, "hour")                                                     \
    X(minute, "minute")                                                 \
    X(second, "second")                                                 \
    X(time, "time")                                                     \
    X(sleep, "sleep")                                                   \
    X(re, "re")                                                         \
    X(compile, "compile")                                               \
    X(search, "search")                                                 \
    X(group, "group")                                                   \
    X(datetime, "datetime")                                             \
    X(min, "min")                                                       \
    X(max, "max")                                                       \
    X(keys, "keys")                                                     \
    X(priority_key, "PRIORITY")                                         \
    X(msg_key, "MSG")                                                   \
    X(mode_rb, "rb")                                                    \
    X(utf_8, "utf-8")                                                   \
    X(strict, "strict")

// Host objects captured at load and the module's classes.
#define NERIT_SOURCE_REFS(X)                                                                    \
    /* Host functions as the module imported them: a native stand-in is used only while the  \
       module's attribute still leads to the very same object. */                              \
    X(json_loads)                                                                               \
    X(isoparse)                                                                                 \
    X(re_compile)                                                                               \
    /* Types that make a file object eligible for the native line reader. */                   \
    X(text_io_wrapper_type)                                                                     \
    X(buffered_reader_type)                                                                     \
    X(file_io_type)                                                                             \
    X(posix_path_type)                                                                          \
    X(codecs_lookup)                                                                            \
    /* Descriptors of those (immutable) types, called directly: on an exact instance they give \
       what attribute lookup gives, without the lookup. */                                     \
    X(text_buffer)     /* TextIOWrapper.buffer */                                               \
    X(text_encoding)   /* TextIOWrapper.encoding */                                             \
    X(text_errors)     /* TextIOWrapper.errors */                                               \
    X(buffered_raw)    /* BufferedReader.raw */                                                 \
    X(buffered_closed) /* BufferedReader.closed */                                              \
    X(tzinfo_keyword)  /* ("tzinfo",), the keyword names of replace(tzinfo=None) */             \
    /* The base class's own filter methods, to tell whether a subclass replaced one. */        \
    X(native_filter_event)                                                                      \
    X(native_filter_priority)                                                                   \
    X(native_filter_source)                                                                     \
    /* The classes, in module order. */                                                         \
    X(base_type)                                                                                \
    X(all_type)                                                                                 \
    X(range_type)                                                                               \
    X(recent_type)                                                                              \
    X(new_type)

struct Names {
    NERIT_STATE_TABLE(NERIT_SOURCE_NAMES, NERIT_STATE_NONE)
};

struct ModuleState {
    Names names;
    NERIT_STATE_TABLE(NERIT_STATE_NONE, NERIT_SOURCE_REFS)
    PyDateTime_CAPI* datetime_api = nullptr;  // lives as long as the datetime module
    py::Watchers watchers;

    int traverse(visitproc visit, void* arg) const {
        if (const int visited = names.traverse_table(visit, arg)) return visited;
        return traverse_table(visit, arg);
    }
    void clear() {
        names.clear_table();
        clear_table();
    }
};

using StateSlot = py::ModuleStateSlot<ModuleState>;

extern PyModuleDef module_def;

// A method implementation of any C signature as the PyCFunction that PyMethodDef stores.
template <typename Function>
PyCFunction cfunction(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The module that defined the class of `self` (or of one of its bases), borrowed.
inline PyObject* module_of(PyObject* self) {
    return PyType_GetModuleByDef(Py_TYPE(self), &module_def);
}

inline ModuleState* state_of_module(PyObject* module) {
    return StateSlot::of(module);
}

}  // namespace nerit::record_source
