// What an iterator keeps between calls about the file it opened itself and the native readers
// that read the bytes below that file object.
#pragma once

#include <cstdint>
#include <memory>

#include "core/line_scan.hpp"
#include "core/text_lines.hpp"
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

struct OwnFile {
    py::Ref opened;  // the file object the iterator opened (and, new-events, reopened)
    bool opened_through_posix_path = false;
    std::int64_t start_offset = 0;  // where reading starts (new-events: the end)
    bool draining = false;  // new-events: the path names another file; finishing the old one
    ReadMode mode = ReadMode::undecided;
    // Objects below `opened`, checked once; the raw file keeps the descriptor open.
    py::Ref buffer;
    py::Ref raw;
    std::shared_ptr<core::LineReader> lines;     // a text file's lines
    std::shared_ptr<core::LineAtOffset> window;  // the recent-events iterator's binary file
    py::Ref utf8_encoding;  // the text file's encoding object, once known to name UTF-8
    py::Ref strict_errors;  // its errors value, once seen to be "strict"
    py::Ref pending_text;   // new-events over a file read by readline: text before its line end

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

    int traverse(visitproc visit, void* arg) const {
        for (const py::Ref* ref :
             {&opened, &buffer, &raw, &utf8_encoding, &strict_errors, &pending_text}) {
            Py_VISIT(ref->get());
        }
        return 0;
    }

    void clear() {
        open(py::Ref(), 0);
        utf8_encoding.reset();
        strict_errors.reset();
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
