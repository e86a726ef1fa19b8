// The instance layout of every iterator class: the native per-instance data beside the dict.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/text_lines.hpp"
#include "py/json_build.hpp"
#include "record_source/lookup_cache.hpp"

namespace nerit::record_source {

// Who reads the constructor's text file.
enum class ReadMode {
    undecided,  // nothing read yet
    native,     // the native line reader has started; the host file has not moved
    host        // the host file's readline has been used; the native reader is out for good
};

// Native per-instance data; every Python-visible attribute lives in the instance dict.
struct NativeState {
    Ref opened_file;   // the file object the base constructor opened
    Ref date_pattern;  // a pattern compiled by the module's original re.compile
    Ref pending_text;  // new-events: text read before its line end arrived
    bool opened_through_posix_path = false;
    std::int64_t start_offset = 0;  // where native reading starts (new-events: the end)
    bool follows_appends = false;   // new-events: wait for whole lines and characters
    ReadMode mode = ReadMode::undecided;
    std::unique_ptr<core::TextLineReader> reader;
    std::string scratch;     // a line rebuilt with its "\n" when it ended in CR or CR LF
    Ref utf8_encoding;       // the file's encoding object, once known to name UTF-8
    py::KeyCache json_keys;  // keys repeated from line to line share one str
    LookupCache lookups;     // what the last __next__ found, while nothing has changed
    // Objects below _file once checked for the native reader; each call compares identities
    // with them before trusting the check (held, so an address is never reused meanwhile).
    Ref checked_buffer;
    Ref reader_raw;     // the raw file whose descriptor the native reader reads
    Ref strict_errors;  // the errors value of _file, once seen to be "strict"
};

struct IteratorObject {
    PyObject_HEAD PyObject* dict;
    NativeState* native;
};

inline IteratorObject* as_iterator(PyObject* self) {
    return reinterpret_cast<IteratorObject*>(self);
}

}  // namespace nerit::record_source
