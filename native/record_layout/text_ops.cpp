// Text building blocks of the layouts: single-allocation concatenation, a text writer sized
// in advance, and the host's "+" for operands that are not plain str.
#include "record_layout/text_ops.hpp"

#include <algorithm>
#include <cstring>

#include "core/ascii_case.hpp"

namespace nerit::layout {

Ref add3(PyObject* a, PyObject* b, PyObject* c) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_CheckExact(c)) {
        PyObject* pieces[] = {a, b, c};
        return concat(pieces, 3);
    }
    Ref head = Ref::steal(PyNumber_Add(a, b));
    if (!head) return head;
    return Ref::steal(PyNumber_Add(head.get(), c));
}

Ref concat(PyObject* const* pieces, std::size_t count) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Py_ssize_t piece = PyUnicode_GET_LENGTH(pieces[i]);
        if (piece > PY_SSIZE_T_MAX - length) return Ref::steal(PyErr_NoMemory());
        length += piece;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(pieces[i]));
    }
    Ref joined = Ref::steal(PyUnicode_New(length, widest));
    if (!joined) return joined;
    Py_ssize_t at = 0;
    if (PyUnicode_KIND(joined.get()) == PyUnicode_1BYTE_KIND) {
        // Every piece of a one-byte text is one-byte text too.
        char* out = static_cast<char*>(PyUnicode_DATA(joined.get()));
        for (std::size_t i = 0; i < count; ++i) {
            const Py_ssize_t piece = PyUnicode_GET_LENGTH(pieces[i]);
            std::memcpy(out + at, PyUnicode_DATA(pieces[i]), static_cast<std::size_t>(piece));
            at += piece;
        }
        return joined;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Py_ssize_t piece = PyUnicode_GET_LENGTH(pieces[i]);
        _PyUnicode_FastCopyCharacters(joined.get(), at, pieces[i], 0, piece);
        at += piece;
    }
    return joined;
}

TextWriter::TextWriter() noexcept {
    _PyUnicodeWriter_Init(&writer_);
}

TextWriter::~TextWriter() {
    if (active_) _PyUnicodeWriter_Dealloc(&writer_);
}

bool TextWriter::reserve(Py_ssize_t length, Py_UCS4 widest) {
    return _PyUnicodeWriter_Prepare(&writer_, length, widest) == 0;
}

bool TextWriter::write(PyObject* text) {
    return _PyUnicodeWriter_WriteStr(&writer_, text) == 0;
}

bool TextWriter::write_ascii(std::string_view ascii) {
    const auto count = static_cast<Py_ssize_t>(ascii.size());
    if (_PyUnicodeWriter_Prepare(&writer_, count, 127) < 0) return false;
    if (writer_.kind == PyUnicode_1BYTE_KIND) {
        std::memcpy(static_cast<char*>(writer_.data) + writer_.pos, ascii.data(), ascii.size());
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyUnicode_WRITE(writer_.kind, writer_.data, writer_.pos + i,
                            static_cast<Py_UCS4>(ascii[static_cast<std::size_t>(i)]));
        }
    }
    writer_.pos += count;
    return true;
}

bool TextWriter::write_spaces(Py_ssize_t count) {
    if (count <= 0) return true;
    if (_PyUnicodeWriter_Prepare(&writer_, count, 127) < 0) return false;
    if (writer_.kind == PyUnicode_1BYTE_KIND) {
        std::memset(static_cast<char*>(writer_.data) + writer_.pos, ' ',
                    static_cast<std::size_t>(count));
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyUnicode_WRITE(writer_.kind, writer_.data, writer_.pos + i, ' ');
        }
    }
    writer_.pos += count;
    return true;
}

bool TextWriter::write_capitalized(PyObject* key) {
    const Py_ssize_t count = PyUnicode_GET_LENGTH(key);
    const char* ascii = static_cast<const char*>(PyUnicode_DATA(key));
    if (_PyUnicodeWriter_Prepare(&writer_, count, 127) < 0) return false;
    if (writer_.kind == PyUnicode_1BYTE_KIND) {
        core::capitalize_ascii(ascii, static_cast<std::size_t>(count),
                               static_cast<char*>(writer_.data) + writer_.pos);
        writer_.pos += count;
        return true;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const char c = i == 0 ? core::ascii_upper(ascii[0]) : core::ascii_lower(ascii[i]);
        PyUnicode_WRITE(writer_.kind, writer_.data, writer_.pos + i, static_cast<Py_UCS4>(c));
    }
    writer_.pos += count;
    return true;
}

Ref TextWriter::finish() {
    active_ = false;
    return Ref::steal(_PyUnicodeWriter_Finish(&writer_));
}

}  // namespace nerit::layout
