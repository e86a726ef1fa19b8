// Reading the lines of a file below the host's text reader: large blocks, universal newlines, and
// a bound on the length of a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nerit::core {

// Position of the first CR or LF in `bytes`, or bytes.size() when there is none.
std::size_t find_line_end(std::string_view bytes);

// Reads the lines of a file with pread from a given offset, never moving the descriptor's own
// position. Each of LF, CR LF and a lone CR ends a line. The bytes are handed on as they are
// (validating them is the caller's business), so that a caller can look at a line before paying
// for its check. A line longer than `max_line` bytes (without its line end) is never held whole:
// once it is known to be too long its bytes are dropped as they are read, up to its line end,
// and the line is not returned at all.
class LineReader {
  public:
    static constexpr std::size_t kBlockSize = std::size_t{256} * 1024;

    enum class Status {
        line,         // a line is ready (see Line)
        end_of_file,  // nothing more is there now
        read_error    // the read failed; errno_value() tells why
    };

    struct Line {
        std::string_view content;  // the line's bytes, without its line end
        bool terminated;           // whether a line end (LF, CR LF or CR) followed
        bool lf_follows;           // true when the byte after `content` is the LF that ended it
    };

    LineReader(int fd, std::int64_t start_offset, std::size_t max_line)
        : fd_(fd), offset_(start_offset), max_line_(max_line) {}

    // The next line of a file read to its end: at the end a last line without a line end is
    // returned as it is. Lines for which `skip(content)` is true are passed over; it is asked
    // before the caller sees the line, while the bytes are still in the cache.
    template <class Skip>
    Status next(Line& line, Skip&& skip) {
        while (true) {
            Status status = step(line, false);
            if (status != Status::line || !skip(line.content)) return status;
        }
    }
    Status next(Line& line) { return step(line, false); }

    // The same for a file that its writer is still appending to: the end of what is there now
    // is not the end of the text, so a line without its line end stays unreturned until the rest
    // arrives (end_of_file meanwhile). A CR at the end is taken as a line end, as the host's
    // reader takes it at the end of what it was given.
    Status next_appended(Line& line) { return step(line, true); }

    // For a file that will not grow any more (its writer moved on to a new one): the held-back
    // start of a line as a last line without a line end. False when there is none.
    bool take_unfinished(Line& line);

    // Reads `fd` from `offset` on, forgetting everything read before.
    void restart(int fd, std::int64_t offset);

    int fd() const { return fd_; }
    // File offset of the next byte to read: how far the file has been read.
    std::int64_t read_offset() const { return offset_; }
    int errno_value() const { return errno_; }

  private:
    Status step(Line& line, bool appended);
    Status fill();
    void make_room();
    bool take(std::size_t end_at, std::size_t resume_at, Line& line);

    int fd_;
    std::vector<char> buf_;
    std::size_t begin_ = 0;  // start of the current line
    std::size_t scan_ = 0;   // where the search for a line end resumes
    std::size_t end_ = 0;    // end of the bytes read
    std::int64_t offset_;    // file offset of the next read
    std::size_t max_line_;
    bool dropping_ = false;  // the current line is too long: its bytes are dropped as they come
    int errno_ = 0;
};

}  // namespace nerit::core
