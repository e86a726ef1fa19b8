// Reading a UTF-8 text file line by line the way the host's buffered text reader does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nerit::core {

// Reads lines of a regular file with pread, never moving the descriptor's own position. It
// reproduces what the host's text reader (universal newlines, strict UTF-8) returns and when it
// fails: the file is read in raw chunks of the size the caller gives, one read per chunk, at the
// moment the host would read it (when the lines decoded so far hold no further line end), and
// each chunk is validated as a whole together with the unfinished sequence carried over from
// the previous one. A chunk that does not decode is dropped, as the host drops it, together with
// the text of the line it was completing.
class TextLineReader {
  public:
    enum class Status {
        line,          // a line is ready (see Line)
        end_of_file,   // nothing more is there now
        decode_error,  // the bytes of failed_input() do not decode (raise the host's error)
        read_error     // the read failed; errno_value() tells why
    };

    struct Line {
        std::string_view content;  // the line's bytes, without its line end
        bool terminated;           // whether a line end (LF, CR LF or CR) followed
        bool lf_follows;           // true when the byte after `content` is the LF that ended it
    };

    // Reads from `start_offset` on (0: the start of the file).
    explicit TextLineReader(int fd, std::int64_t start_offset = 0)
        : fd_(fd), offset_(start_offset) {}

    // Reads the next line. `chunk_size` is the host reader's chunk size (at least 1).
    Status next(std::size_t chunk_size, Line& line);

    // The same for a file that its writer is still appending to: the end of what is there now
    // is not the end of the text. A line without its line end, or a character whose bytes are
    // not all there yet, stays unreturned until the rest arrives (end_of_file meanwhile); a CR
    // at the end is a line end, as the host's reader takes it at end of file.
    Status next_appended(std::size_t chunk_size, Line& line);

    // After Status::decode_error: the input that the host's decoder was given, and whether it
    // was the final call (end of file with an unfinished sequence left).
    std::string_view failed_input() const { return failed_; }
    bool failed_final() const { return failed_final_; }
    int errno_value() const { return errno_; }

    // File offset of the first byte not yet returned as part of a line, for handing the reading
    // position back to the host's reader; only meaningful at a line start.
    std::int64_t next_line_offset() const;

  private:
    bool find_line(Line& line);
    Status read_chunk(std::size_t chunk_size);
    void compact(std::size_t chunk_size);
    void drop_unreturned_text();

    int fd_;
    std::vector<char> buf_;
    std::size_t begin_ = 0;    // start of the current line
    std::size_t scan_ = 0;     // where the search for a line end resumes
    std::size_t decoded_ = 0;  // end of the bytes that decoded
    std::size_t end_ = 0;      // end of the bytes read; [decoded_, end_) is carried over
    std::int64_t offset_ = 0;  // file offset of the next read
    std::string_view failed_;
    bool failed_final_ = false;
    int errno_ = 0;
};

}  // namespace nerit::core
