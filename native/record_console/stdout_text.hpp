// Standard output as the native print loop writes to it: through the text file's own write, in
// the blocks that print's two writes per event would hand to its buffer.
#pragma once

#include "core/byte_buffer.hpp"
#include "core/text_file_blocks.hpp"
#include "record_console/console_state.hpp"

namespace nerit::console {

// What the loop relies on about sys.stdout, read as Python code reads it.
struct StdoutShape {
    py::Ref file;
    py::Ref buffer;
    py::Ref encoding;
    core::TextFileRule rule;

    bool same_as(const StdoutShape& other) const {
        return file.is(other.file.get()) && buffer.is(other.buffer.get()) &&
               encoding.is(other.encoding.get()) &&
               rule.chunk_size == other.rule.chunk_size &&
               rule.line_buffering == other.rule.line_buffering &&
               rule.write_through == other.rule.write_through &&
               rule.hands_before == other.rule.hands_before;
    }
};

// Finds out, with a text file over an in-memory file, when this interpreter's text files hand
// pending text on before a write. False with an error set on failure.
bool learn_text_file_rule(ConsoleState& st);

// 1 when `file` is the host's own text file, open for writing only, over the host's own binary
// file, writing "\n" as it is, encoding UTF-8 (any errors value: the loop writes valid UTF-8 only), with `out` filled;
// 0 when not (no error set); -1 with an error set.
int read_stdout_shape(ConsoleState& st, PyObject* file, StdoutShape& out);

// After print wrote `text` and its line end to `file` the host's way: keeps the count of what
// the file holds while it is the file the loop counts for.
void count_host_print(ConsoleState& st, PyObject* file, PyObject* text);

// The text the loop has written and not yet handed to the file, and the count of what the file
// holds. Each event's text and line end are counted as print's two writes.
class StdoutFeed {
  public:
    // Starts a pass on `shape`'s file: 1 when what the file holds is known (at the first pass
    // of a show, by flushing it), 0 when not (the pass is left to print), -1 with an error set.
    int start(ConsoleState& st, const StdoutShape& shape);
    // Where the loop writes an event's text and line end.
    core::ByteBuffer& text() { return held_; }
    // The `size` bytes after those already counted are one write of print's: hands text on
    // where the host's file would. False with an error set, the held text dropped as the
    // file drops pending text whose hand-off failed.
    bool count_write(std::size_t size, bool line_end);
    // Hands everything held to the file as pending text, as the host's writes would have left
    // it (before Python code runs). False with an error set.
    bool hand_on();
    // True when the file was written to since the last call.
    bool take_wrote() {
        const bool wrote = wrote_;
        wrote_ = false;
        return wrote;
    }
    // Forgets the held text after a failed hand-off, and what the file holds.
    void drop();

  private:
    bool write_file(std::size_t from, std::size_t size);

    ConsoleState* st_ = nullptr;
    const StdoutShape* shape_ = nullptr;
    core::ByteBuffer held_;
    std::size_t counted_ = 0;  // bytes of `held_` counted as writes
    bool wrote_ = false;
};

}  // namespace nerit::console
