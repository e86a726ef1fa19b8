// Per-module data of record_source: interned names, the host objects captured at load, types.
#pragma once

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

struct Names {
#define NERIT_DECLARE_NAME(field, text) Ref field;
    NERIT_SOURCE_NAMES(NERIT_DECLARE_NAME)
#undef NERIT_DECLARE_NAME
};

struct ModuleState {
    Names names;
    // Host functions as the module imported them: a native stand-in is used only while the
    // module's attribute still leads to the very same object.
    Ref json_loads;
    Ref isoparse;
    Ref re_compile;
    PyDateTime_CAPI* datetime_api = nullptr;
    // Types that make a file object eligible for the native line reader.
    Ref text_io_wrapper_type;
    Ref buffered_reader_type;
    Ref file_io_type;
    Ref posix_path_type;
    Ref codecs_lookup;
    // Descriptors of those (immutable) types, called directly: on an exact instance they give
    // what attribute lookup gives, without the lookup.
    Ref text_buffer;      // TextIOWrapper.buffer
    Ref text_encoding;    // TextIOWrapper.encoding
    Ref text_errors;      // TextIOWrapper.errors
    Ref buffered_raw;     // BufferedReader.raw
    Ref buffered_closed;  // BufferedReader.closed
    Ref tzinfo_keyword;   // ("tzinfo",), the keyword names of replace(tzinfo=None)
    // The base class's own filter methods, to tell whether a subclass replaced one.
    Ref native_filter_event;
    Ref native_filter_priority;
    Ref native_filter_source;
    // The classes, in module order.
    Ref base_type;
    Ref all_type;
    Ref range_type;
    Ref recent_type;
    Ref new_type;

    int traverse(visitproc visit, void* arg);
};

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
    return *static_cast<ModuleState**>(PyModule_GetState(module));
}

}  // namespace nerit::record_source
