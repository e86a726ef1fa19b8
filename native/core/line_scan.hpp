// The recent-lines window of a file: the backward search for the starts of its last lines, in
// blocks with memrchr, and the reading of the single lines it found.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace nerit::core {

// Offsets at which the last `count` newline-terminated lines begin, plus the end marker, in
// ascending order: exactly what a byte-at-a-time scan from the last byte produces when it stops
// at the (count + 2)-th newline from the end and appends offset 0 when it saw at most `count`
// newlines. Only 0x0A counts as a newline.
std::vector<std::int64_t> recent_line_starts(std::span<const char> data, std::int64_t count);

// The same over an open file descriptor, reading blocks backwards with pread from `file_size`.
// Returns nullopt when a read fails (errno tells why).
std::optional<std::vector<std::int64_t>> recent_line_starts(int fd, std::int64_t file_size,
                                                            std::int64_t count);

// Reads one line at a given offset as a binary readline does (up to and including the next LF,
// or to the end of the file), from a block kept between calls so that lines read in file order
// cost one read per block. A line longer than `max_line` bytes (without its LF) is reported as
// too long and is never held whole.
class LineAtOffset {
  public:
    static constexpr std::size_t kBlockSize = std::size_t{256} * 1024;

    enum class Status { line, too_long, read_error };

    LineAtOffset(int fd, std::size_t max_line) : fd_(fd), max_line_(max_line) {}

    // On Status::line `line` holds the line's bytes with its LF, valid until the next call; an
    // offset at or past the end of the file gives an empty line. On read_error errno tells why.
    Status read(std::int64_t offset, std::string_view& line);

  private:
    bool load(std::int64_t offset, std::size_t keep);

    int fd_;
    std::size_t max_line_;
    std::vector<char> buf_;
    std::int64_t start_ = 0;  // file offset of buf_[0]
    std::size_t size_ = 0;    // bytes of the file held in buf_
    bool at_end_ = false;     // buf_ reaches the end of the file
};

}  // namespace nerit::core
