// What an iterator keeps between calls about the file it opened itself and the native readers
// that read the bytes below that file object.
#pragma once

#include <cstdint>
#include <memory>

#include "core/line_scan.hpp"
#include "core/text_lines.hpp"
#include "py/module_state.hpp"
#include "py/ref.hpp"

namespace nerit::record_source {

struct ModuleState;

// The longest line the readers hold, in bytes without its line end (the module attribute
// _max_line_length starts with it). A longer line is not an event: it is dropped unread.
inline constexpr std::size_t kMaxLineLength = std::size_t{64} << 20;

// Who reads the iterator's own file.
enum class ReadMode {
    undecided,  // nothing read yet
    below,      // the native reader, below the file object, which itself never moves
    host        // the file object's readline: it is not one the native reader can stand under
};

// The references an OwnFile holds.
#define NERIT_OWN_FILE_REFS(X)                                                                    \
    X(opened)        /* the file object the iterator opened (and, new-events, reopened) */        \
    X(buffer)        /* objects below `opened`, checked once; the raw file keeps the */           \
    X(raw)           /* descriptor open */                                                         \
    X(utf8_encoding) /* the text file's encoding object, once known to name UTF-8 */              \
    X(strict_errors) /* its errors value, once seen to be "strict" */                             \
    X(pending_text)  /* new-events over a file read by readline: text before its line end */

struct OwnFile {
    NERIT_STATE_TABLE(NERIT_STATE_NONE, NERIT_OWN_FILE_REFS)
    bool opened_through_posix_path = false;
    std::int64_t start_offset = 0;  // where reading starts (new-events: the end)
    bool draining = false;  // new-events: the path names another file; finishing the old one
    ReadMode mode = ReadMode::undecided;
    std::shared_ptr<core::LineReader> lines;     // a text file's lines
    std::shared_ptr<core::LineAtOffset> window;  // the recent-events iterator's binary file

    // Reading starts afresh on `file` (the constructor's, or a reopened one).
    void open(py::Ref file, std::int64_t from) {
        opened = std::move(file);
        start_offset = from;
        draining = false;
        mode = ReadMode::undecided;
        buffer.reset();
        raw.reset();
        lines.reset();
        window.reset();
        pending_text.reset();
    }

    int traverse(visitproc visit, void* arg) const { return traverse_table(visit, arg); }

    void clear() {
        open(py::Ref(), 0);
        clear_table();
    }
};

inline bool is_exactly(PyObject* object, const py::Ref& type) {
    return Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(type.get()));
}

// What attribute lookup of a data descriptor's name gives on an exact instance of the
// descriptor's (immutable) type, with no lookup: how the objects below a file are reached.
inline py::Ref through(const py::Ref& descriptor, PyObject* object) {
    PyObject* d = descriptor.get();
    return py::Ref::steal(
        Py_TYPE(d)->tp_descr_get(d, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

// The module's _max_line_length, taken when a native reader starts; false with an error set
// when it is not an integer.
bool max_line_length(PyObject* module, ModuleState* st, std::size_t& limit);

}  // namespace nerit::record_source
