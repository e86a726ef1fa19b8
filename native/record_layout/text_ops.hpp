// Text building blocks of the layouts: single-allocation concatenation, writers into a str sized
// in advance, and the host's "+" for operands that are not plain str.
#pragma once

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string_view>

#include "core/ascii_case.hpp"
#include "py/ref.hpp"

namespace nerit::layout {

using py::Ref;

// a + b + c as Python evaluates it: one allocation when all three are exact str, otherwise
// the host's "+" from left to right (so the host's TypeError texts are raised).
Ref add3(PyObject* a, PyObject* b, PyObject* c);

// A new str of ASCII text (the caller checked that it is ASCII).
Ref ascii_text(std::string_view ascii);

// The concatenation of `count` exact str objects, in one allocation.
Ref concat(PyObject* const* pieces, std::size_t count);

// The largest code point of text[start:end], or a larger one of the same storage width: enough
// to choose the storage of a str that holds those characters.
Py_UCS4 widest_char(PyObject* text, Py_ssize_t start, Py_ssize_t end);

// Copies `count` characters of `from` (from `start`) into the new str `to` (at `at`), which
// was made wide enough for those characters (its storage may be wider or narrower than that of
// `from`).
void copy_characters(PyObject* to, Py_ssize_t at, PyObject* from, Py_ssize_t start,
                     Py_ssize_t count);

// Copies `count` bytes of a short piece (a colour, a separator, a field) with fixed-size moves
// rather than a library call.
inline void copy_bytes(void* to, const void* from, std::size_t count) {
    auto* out = static_cast<char*>(to);
    const auto* in = static_cast<const char*>(from);
    if (count >= 8) {
        if (count > 16) {
            std::memcpy(out, in, count);
            return;
        }
        std::memcpy(out, in, 8);
        std::memcpy(out + count - 8, in + count - 8, 8);
    } else if (count >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + count - 4, in + count - 4, 4);
    } else {
        for (std::size_t i = 0; i < count; ++i) out[i] = in[i];
    }
}

// Whether `count` bytes at `a` and `b` are equal: keys are short, so by words that may
// overlap, without a library call.
inline bool same_bytes(const char* a, const char* b, std::size_t count) {
    auto differ = [&](std::size_t at, auto word) {
        decltype(word) x;
        decltype(word) y;
        std::memcpy(&x, a + at, sizeof x);
        std::memcpy(&y, b + at, sizeof y);
        return x != y;
    };
    if (count >= 8) {
        for (std::size_t i = 0; i + 8 < count; i += 8) {
            if (differ(i, std::uint64_t{})) return false;
        }
        return !differ(count - 8, std::uint64_t{});
    }
    if (count >= 4) return !differ(0, std::uint32_t{}) && !differ(count - 4, std::uint32_t{});
    for (std::size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// Whether two exact str objects hold the same text (equal text has equal storage).
inline bool same_str(PyObject* a, PyObject* b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           same_bytes(static_cast<const char*>(PyUnicode_DATA(a)),
                      static_cast<const char*>(PyUnicode_DATA(b)),
                      static_cast<std::size_t>(length) * static_cast<std::size_t>(kind));
}

// Writers into the storage of a new str of characters `Char` (Py_UCS1, Py_UCS2 or Py_UCS4),
// which the caller made wide enough for every piece. Each returns the position after the piece.

// Any str: one-byte text into one-byte storage inline, the rest by a loop of its own.
template <typename Char>
Char* put_wide_text(Char* out, PyObject* text);

template <typename Char>
inline Char* put_text(Char* out, PyObject* text) {
    if constexpr (sizeof(Char) == 1) {
        if (PyUnicode_IS_ASCII(text)) {
            const Py_ssize_t count = PyUnicode_GET_LENGTH(text);
            copy_bytes(out, PyUnicode_DATA(text), static_cast<std::size_t>(count));
            return out + count;
        }
    }
    return put_wide_text(out, text);
}

template <typename Char>
Char* put_wide_text(Char* out, PyObject* text) {
    const Py_ssize_t count = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if constexpr (sizeof(Char) == 1) {
                copy_bytes(out, data, static_cast<std::size_t>(count));
            } else {
                for (Py_ssize_t i = 0; i < count; ++i) out[i] = static_cast<const Py_UCS1*>(data)[i];
            }
            break;
        case PyUnicode_2BYTE_KIND:
            for (Py_ssize_t i = 0; i < count; ++i) {
                out[i] = static_cast<Char>(static_cast<const Py_UCS2*>(data)[i]);
            }
            break;
        default:
            for (Py_ssize_t i = 0; i < count; ++i) {
                out[i] = static_cast<Char>(static_cast<const Py_UCS4*>(data)[i]);
            }
            break;
    }
    return out + count;
}

template <typename Char>
Char* put_char(Char* out, char c) {
    *out = static_cast<Char>(c);
    return out + 1;
}

template <typename Char>
Char* put_spaces(Char* out, Py_ssize_t count) {
    if constexpr (sizeof(Char) == 1) {
        if (count > 0) std::memset(out, ' ', static_cast<std::size_t>(count));
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) out[i] = ' ';
    }
    return out + std::max<Py_ssize_t>(count, 0);
}

// An ASCII str as str.capitalize() returns it.
template <typename Char>
Char* put_capitalized(Char* out, PyObject* key) {
    const Py_ssize_t count = PyUnicode_GET_LENGTH(key);
    const char* ascii = static_cast<const char*>(PyUnicode_DATA(key));
    if constexpr (sizeof(Char) == 1) {
        core::capitalize_ascii(ascii, static_cast<std::size_t>(count), reinterpret_cast<char*>(out));
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) {
            out[i] = static_cast<Char>(i == 0 ? core::ascii_upper(ascii[0])
                                              : core::ascii_lower(ascii[i]));
        }
    }
    return out + count;
}

}  // namespace nerit::layout
