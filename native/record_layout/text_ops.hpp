// Text building blocks of the layouts: single-allocation concatenation, a text writer sized
// in advance, and the host's "+" for operands that are not plain str.
#pragma once

#include <string_view>

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

// Writes a str piece by piece into one str whose length and widest character were given up
// front (the caller measured them), so nothing is reallocated.
class TextWriter {
  public:
    TextWriter() noexcept = default;
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // Reserves room; false with an error set (out of memory).
    bool reserve(Py_ssize_t length, Py_UCS4 widest);
    // Each returns false with an error set when the reserve was too small.
    bool write(PyObject* text);  // any str, subclasses included
    bool write_ascii(std::string_view ascii);
    bool write_spaces(Py_ssize_t count);
    // `key` must be an ASCII str: written as str.capitalize() would return it.
    bool write_capitalized(PyObject* key);
    // The finished text; the writer is empty afterwards.
    Ref finish();

  private:
    bool room_for(Py_ssize_t count);

    Ref text_;
    int kind_ = PyUnicode_1BYTE_KIND;
    void* data_ = nullptr;
    Py_ssize_t pos_ = 0;
};

}  // namespace nerit::layout
