// Text building blocks of the layouts: single-allocation concatenation, writers into a str sized
// in advance, and the host's "+" for operands that are not plain str.
#include "record_layout/text_ops.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

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


Ref ascii_text(std::string_view ascii) {
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
    if (text) {
        copy_bytes(static_cast<char*>(PyUnicode_DATA(text.get())), ascii.data(), ascii.size());
    }
    return text;
}

Ref concat(PyObject* const* pieces, std::size_t count) {
    Py_ssize_t length = 0;
    bool ascii = true;
    for (std::size_t i = 0; i < count; ++i) {
        const Py_ssize_t piece = PyUnicode_GET_LENGTH(pieces[i]);
        if (piece > PY_SSIZE_T_MAX - length) return Ref::steal(PyErr_NoMemory());
        length += piece;
        ascii = ascii && PyUnicode_IS_ASCII(pieces[i]);
    }
    Py_UCS4 widest = 127;
    for (std::size_t i = 0; !ascii && i < count; ++i) {
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
            copy_bytes(out + at, static_cast<const char*>(PyUnicode_DATA(pieces[i])),
                       static_cast<std::size_t>(piece));
            at += piece;
        }
        return joined;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Py_ssize_t piece = PyUnicode_GET_LENGTH(pieces[i]);
        copy_characters(joined.get(), at, pieces[i], 0, piece);
        at += piece;
    }
    return joined;
}

Py_UCS4 widest_char(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        if (PyUnicode_IS_ASCII(text)) return 0x7F;
        const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(text));
        for (Py_ssize_t i = start; i < end; ++i) {
            if (chars[i] >= 0x80) return 0xFF;
        }
        return 0x7F;
    }
    const void* data = PyUnicode_DATA(text);
    const Py_UCS4 kind_max = kind == PyUnicode_2BYTE_KIND ? 0xFFFF : 0x10FFFF;
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = start; i < end && widest < kind_max; ++i) {
        widest = std::max(widest, PyUnicode_READ(kind, data, i));
    }
    return widest;
}

namespace {

// Element-wise copy between storage widths; the caller knows that every value fits.
template <class From, class To>
void convert(const void* from, void* to, Py_ssize_t count) {
    const auto* source = static_cast<const From*>(from);
    auto* target = static_cast<To*>(to);
    for (Py_ssize_t i = 0; i < count; ++i) target[i] = static_cast<To>(source[i]);
}

template <class From>
void convert_to(int to_kind, const void* from, void* to, Py_ssize_t count) {
    switch (to_kind) {
        case PyUnicode_1BYTE_KIND:
            convert<From, Py_UCS1>(from, to, count);
            break;
        case PyUnicode_2BYTE_KIND:
            convert<From, Py_UCS2>(from, to, count);
            break;
        default:
            convert<From, Py_UCS4>(from, to, count);
            break;
    }
}

}  // namespace

void copy_characters(PyObject* to, Py_ssize_t at, PyObject* from, Py_ssize_t start,
                     Py_ssize_t count) {
    if (count <= 0) return;
    const int to_kind = PyUnicode_KIND(to);
    const int from_kind = PyUnicode_KIND(from);
    const char* source = static_cast<const char*>(PyUnicode_DATA(from)) + start * from_kind;
    char* target = static_cast<char*>(PyUnicode_DATA(to)) + at * to_kind;
    switch (from_kind) {
        case PyUnicode_1BYTE_KIND:
            if (to_kind == PyUnicode_1BYTE_KIND) {
                std::memcpy(target, source, static_cast<std::size_t>(count));
            } else {
                convert_to<Py_UCS1>(to_kind, source, target, count);
            }
            break;
        case PyUnicode_2BYTE_KIND:
            convert_to<Py_UCS2>(to_kind, source, target, count);
            break;
        default:
            convert_to<Py_UCS4>(to_kind, source, target, count);
            break;
    }
}

}  // namespace nerit::layout
