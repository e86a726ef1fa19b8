// The instance layout of every iterator class: the native per-instance data beside the dict.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/text_lines.hpp"
#include "py/json_build.hpp"
#include "py/module_state.hpp"
#include "record_source/lookup_cache.hpp"

namespace nerit::record_source {

// Who reads the constructor's text file.
enum class ReadMode {
    undecided,  // nothing read yet
    native,     // the native line reader has started; the host file has not moved
    host        // the host file's readline has been used; the native reader is out for good
};

// The references of an iterator's native data.
#define NERIT_ITERATOR_REFS(X)                                                                   \
    X(opened_file)   /* the file object the base constructor opened */                           \
    X(date_pattern)  /* a pattern compiled by the module's original re.compile */                \
    X(pending_text)  /* new-events: text read before its line end arrived */                     \
    X(utf8_encoding) /* the file's encoding object, once known to name UTF-8 */                  \
    /* Objects below _file once checked for the native reader; each call compares identities    \
       with them before trusting the check (held, so an address is never reused meanwhile). */  \
    X(checked_buffer)                                                                            \
    X(reader_raw)    /* the raw file whose descriptor the native reader reads */                 \
    X(strict_errors) /* the errors value of _file, once seen to be "strict" */

// Native per-instance data; every Python-visible attribute lives in the instance dict.
struct NativeState {
    NERIT_STATE_TABLE(NERIT_STATE_NONE, NERIT_ITERATOR_REFS)
    bool opened_through_posix_path = false;
    std::int64_t start_offset = 0;  // where native reading starts (new-events: the end)
    bool follows_appends = false;   // new-events: wait for whole lines and characters
    ReadMode mode = ReadMode::undecided;
    std::unique_ptr<core::TextLineReader> reader;
    std::string scratch;     // a line rebuilt with its "\n" when it ended in CR or CR LF
    py::KeyCache json_keys;  // keys repeated from line to line share one str
    LookupCache lookups;     // what the last __next__ found, while nothing has changed

    int traverse(visitproc visit, void* arg) const {
        if (const int visited = traverse_table(visit, arg)) return visited;
        if (const int visited = json_keys.traverse(visit, arg)) return visited;
        return lookups.traverse(visit, arg);
    }
    void clear() {
        clear_table();
        json_keys.clear();
        lookups.clear();
    }
};

struct IteratorObject {
    PyObject_HEAD PyObject* dict;
    NativeState* native;
};

inline IteratorObject* as_iterator(PyObject* self) {
    return reinterpret_cast<IteratorObject*>(self);
}

}  // namespace nerit::record_source
