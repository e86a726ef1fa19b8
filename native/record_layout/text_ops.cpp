// Text building blocks of the layouts: single-allocation concatenation, a text writer sized
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

namespace {

// Copies the few bytes of a layout's piece (a colour, a separator, a field) with fixed-size moves
// rather than a library call.
inline void copy_piece(char* out, const char* from, std::size_t count) {
    if (count >= 8) {
        if (count > 16) {
            std::memcpy(out, from, count);
            return;
        }
        std::memcpy(out, from, 8);
        std::memcpy(out + count - 8, from + count - 8, 8);
    } else if (count >= 4) {
        std::memcpy(out, from, 4);
        std::memcpy(out + count - 4, from + count - 4, 4);
    } else {
        for (std::size_t i = 0; i < count; ++i) out[i] = from[i];
    }
}

}  // namespace

Ref ascii_text(std::string_view ascii) {
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
    if (text) {
        copy_piece(static_cast<char*>(PyUnicode_DATA(text.get())), ascii.data(), ascii.size());
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
            copy_piece(out + at, static_cast<const char*>(PyUnicode_DATA(pieces[i])),
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

bool TextWriter::reserve(Py_ssize_t length, Py_UCS4 widest) {
    text_ = Ref::steal(PyUnicode_New(length, widest));
    if (!text_) return false;
    kind_ = PyUnicode_KIND(text_.get());
    data_ = PyUnicode_DATA(text_.get());
    pos_ = 0;
    return true;
}

bool TextWriter::room_for(Py_ssize_t count) {
    if (text_ && count <= PyUnicode_GET_LENGTH(text_.get()) - pos_) return true;
    PyErr_SetString(PyExc_SystemError, "text written past its measured length");
    return false;
}

bool TextWriter::write(PyObject* text) {
    const Py_ssize_t count = PyUnicode_GET_LENGTH(text);
    if (!room_for(count)) return false;
    copy_characters(text_.get(), pos_, text, 0, count);
    pos_ += count;
    return true;
}

bool TextWriter::write_ascii(std::string_view ascii) {
    const auto count = static_cast<Py_ssize_t>(ascii.size());
    if (!room_for(count)) return false;
    if (kind_ == PyUnicode_1BYTE_KIND) {
        std::memcpy(static_cast<char*>(data_) + pos_, ascii.data(), ascii.size());
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyUnicode_WRITE(kind_, data_, pos_ + i,
                            static_cast<Py_UCS4>(ascii[static_cast<std::size_t>(i)]));
        }
    }
    pos_ += count;
    return true;
}

bool TextWriter::write_spaces(Py_ssize_t count) {
    if (count <= 0) return true;
    if (!room_for(count)) return false;
    if (kind_ == PyUnicode_1BYTE_KIND) {
        std::memset(static_cast<char*>(data_) + pos_, ' ', static_cast<std::size_t>(count));
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) PyUnicode_WRITE(kind_, data_, pos_ + i, ' ');
    }
    pos_ += count;
    return true;
}

bool TextWriter::write_capitalized(PyObject* key) {
    const Py_ssize_t count = PyUnicode_GET_LENGTH(key);
    const char* ascii = static_cast<const char*>(PyUnicode_DATA(key));
    if (!room_for(count)) return false;
    if (kind_ == PyUnicode_1BYTE_KIND) {
        core::capitalize_ascii(ascii, static_cast<std::size_t>(count),
                               static_cast<char*>(data_) + pos_);
        pos_ += count;
        return true;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const char c = i == 0 ? core::ascii_upper(ascii[0]) : core::ascii_lower(ascii[i]);
        PyUnicode_WRITE(kind_, data_, pos_ + i, static_cast<Py_UCS4>(c));
    }
    pos_ += count;
    return true;
}

Ref TextWriter::finish() {
    Ref text = std::move(text_);
    if (text && pos_ != PyUnicode_GET_LENGTH(text.get())) {
        PyErr_SetString(PyExc_SystemError, "text written short of its measured length");
        return Ref();
    }
    return text;
}

}  // namespace nerit::layout
