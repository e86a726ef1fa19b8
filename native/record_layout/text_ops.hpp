// Text building blocks of the layouts: single-allocation concatenation, a growing text writer,
// and the host's "+" for the operands that are not plain str.
#pragma once

#include <string_view>

#include "py/ref.hpp"

namespace nerit::layout {

using py::Ref;

// a + b + c as Python evaluates it: one allocation when all three are exact str, otherwise
// the host's "+" from left to right (so the host's TypeError texts are raised).
Ref add3(PyObject* a, PyObject* b, PyObject* c);

// True when `needle` occurs in `text` right after a '%'
// (exact str both), i.e. when text.replace("%" + needle, ...) would change anything.
bool has_placeholder(PyObject* text, PyObject* needle);

// Builds one str from pieces; the buffer grows as needed and widens to wider characters.
class TextWriter {
  public:
    TextWriter() noexcept;
    ~TextWriter();
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // Each returns false with an error set (out of memory).
    bool write(PyObject* text);  // any str, subclasses included
    bool write_ascii(std::string_view ascii);
    bool write_spaces(Py_ssize_t count);
    // The finished text; the writer is empty afterwards.
    Ref finish();

  private:
    _PyUnicodeWriter writer_;
    bool active_ = true;
};

}  // namespace nerit::layout
