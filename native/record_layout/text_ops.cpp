// Text building blocks of the layouts: single-allocation concatenation, a growing text writer,
// and the host's "+" for the operands that are not plain str.
#include "record_layout/text_ops.hpp"

#include <algorithm>

namespace nerit::layout {

Ref add3(PyObject* a, PyObject* b, PyObject* c) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_CheckExact(c)) {
        const Py_ssize_t la = PyUnicode_GET_LENGTH(a);
        const Py_ssize_t lb = PyUnicode_GET_LENGTH(b);
        const Py_ssize_t lc = PyUnicode_GET_LENGTH(c);
        if (la <= PY_SSIZE_T_MAX - lb && la + lb <= PY_SSIZE_T_MAX - lc) {
            const Py_UCS4 widest =
                std::max({PyUnicode_MAX_CHAR_VALUE(a), PyUnicode_MAX_CHAR_VALUE(b),
                          PyUnicode_MAX_CHAR_VALUE(c)});
            Ref joined = Ref::steal(PyUnicode_New(la + lb + lc, widest));
            if (!joined) return joined;
            _PyUnicode_FastCopyCharacters(joined.get(), 0, a, 0, la);
            _PyUnicode_FastCopyCharacters(joined.get(), la, b, 0, lb);
            _PyUnicode_FastCopyCharacters(joined.get(), la + lb, c, 0, lc);
            return joined;
        }
    }
    Ref head = Ref::steal(PyNumber_Add(a, b));
    if (!head) return head;
    return Ref::steal(PyNumber_Add(head.get(), c));
}

bool has_placeholder(PyObject* text, PyObject* needle) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t wanted = PyUnicode_GET_LENGTH(needle);
    Py_ssize_t from = 0;
    while (from < length) {
        const Py_ssize_t at = PyUnicode_FindChar(text, '%', from, length, 1);
        if (at < 0) return false;
        if (length - (at + 1) >= wanted &&
            PyUnicode_Tailmatch(text, needle, at + 1, at + 1 + wanted, -1) == 1) {
            return true;
        }
        from = at + 1;
    }
    return false;
}

TextWriter::TextWriter() noexcept {
    _PyUnicodeWriter_Init(&writer_);
    writer_.overallocate = 1;
}

TextWriter::~TextWriter() {
    if (active_) _PyUnicodeWriter_Dealloc(&writer_);
}

bool TextWriter::write(PyObject* text) {
    return _PyUnicodeWriter_WriteStr(&writer_, text) == 0;
}

bool TextWriter::write_ascii(std::string_view ascii) {
    return _PyUnicodeWriter_WriteASCIIString(&writer_, ascii.data(),
                                             static_cast<Py_ssize_t>(ascii.size())) == 0;
}

bool TextWriter::write_spaces(Py_ssize_t count) {
    if (count <= 0) return true;
    if (_PyUnicodeWriter_Prepare(&writer_, count, 127) < 0) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyUnicode_WRITE(writer_.kind, writer_.data, writer_.pos + i, ' ');
    }
    writer_.pos += count;
    return true;
}

Ref TextWriter::finish() {
    active_ = false;
    return Ref::steal(_PyUnicodeWriter_Finish(&writer_));
}

}  // namespace nerit::layout
