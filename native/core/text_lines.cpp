// Chunked pread line reader with universal newlines and incremental UTF-8 validation.
#include "core/text_lines.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/utf8.hpp"

namespace nerit::core {
namespace {

// Above this the buffer is given back once a long line has been consumed.
constexpr std::size_t kKeepCapacity = std::size_t{1} << 22;

}  // namespace

std::int64_t TextLineReader::next_line_offset() const {
    return offset_ - static_cast<std::int64_t>(end_ - begin_);
}

bool TextLineReader::find_line(Line& line) {
    const char* base = buf_.data();
    std::size_t limit = decoded_;
    if (scan_ >= limit) return false;
    const char* from = base + scan_;
    std::size_t span = limit - scan_;
    const void* lf = std::memchr(from, '\n', span);
    std::size_t stop = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - from) : span;
    const void* cr = std::memchr(from, '\r', stop);
    if (cr != nullptr) {
        std::size_t at = scan_ + static_cast<std::size_t>(static_cast<const char*>(cr) - from);
        if (at + 1 >= limit) {
            // A CR at the end of what decoded: the host waits for the next chunk to see
            // whether an LF follows.
            scan_ = at;
            return false;
        }
        bool crlf = base[at + 1] == '\n';
        line = Line{std::string_view(base + begin_, at - begin_), true, false};
        begin_ = scan_ = at + (crlf ? 2 : 1);
        return true;
    }
    if (lf == nullptr) {
        scan_ = limit;
        return false;
    }
    std::size_t at = scan_ + stop;
    line = Line{std::string_view(base + begin_, at - begin_), true, true};
    begin_ = scan_ = at + 1;
    return true;
}

void TextLineReader::compact(std::size_t chunk_size) {
    std::size_t keep = end_ - begin_;
    if (begin_ > 0) {
        if (keep > 0) std::memmove(buf_.data(), buf_.data() + begin_, keep);
        scan_ -= begin_;
        decoded_ -= begin_;
        end_ -= begin_;
        begin_ = 0;
    }
    std::size_t need = keep + chunk_size;
    if (buf_.size() < need) {
        std::size_t grown = buf_.size() * 2;
        buf_.resize(grown > need ? grown : need);
    } else if (buf_.size() > kKeepCapacity && need * 4 < buf_.size()) {
        std::vector<char> smaller(need * 2);
        std::memcpy(smaller.data(), buf_.data(), keep);
        buf_.swap(smaller);
    }
}

void TextLineReader::drop_unreturned_text() {
    // A failed readline loses the text it had decoded but not returned; a CR held back to see
    // whether an LF follows lives in the host's newline decoder and survives.
    bool held_cr = scan_ + 1 == decoded_ && scan_ >= begin_ && buf_[scan_] == '\r';
    begin_ = scan_ = held_cr ? scan_ : decoded_;
}

TextLineReader::Status TextLineReader::read_chunk(std::size_t chunk_size) {
    compact(chunk_size);
    ssize_t got;
    do {
        got = pread(fd_, buf_.data() + end_, chunk_size, static_cast<off_t>(offset_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        errno_ = errno;
        return Status::read_error;
    }
    if (got == 0) return Status::end_of_file;
    auto n = static_cast<std::size_t>(got);
    offset_ += got;
    std::string_view input(buf_.data() + decoded_, end_ + n - decoded_);
    Utf8Check check = check_utf8(input, false);
    if (!check.valid) {
        // The host loses the chunk and keeps what it carried before it.
        failed_ = input;
        failed_final_ = false;
        drop_unreturned_text();
        return Status::decode_error;
    }
    decoded_ += check.consumed;
    end_ += n;
    return Status::line;
}

TextLineReader::Status TextLineReader::next(std::size_t chunk_size, Line& line) {
    while (!find_line(line)) {
        Status status = read_chunk(chunk_size);
        if (status == Status::line) continue;
        if (status != Status::end_of_file) return status;
        if (end_ > decoded_) {
            failed_ = std::string_view(buf_.data() + decoded_, end_ - decoded_);
            failed_final_ = true;
            drop_unreturned_text();
            return Status::decode_error;
        }
        if (decoded_ == begin_) return Status::end_of_file;
        // The final decode releases a held-back CR as a line end.
        bool cr = buf_[decoded_ - 1] == '\r';
        line = Line{std::string_view(buf_.data() + begin_, decoded_ - begin_ - (cr ? 1 : 0)), cr,
                    false};
        begin_ = scan_ = decoded_;
        return Status::line;
    }
    return Status::line;
}

TextLineReader::Status TextLineReader::next_appended(std::size_t chunk_size, Line& line) {
    while (!find_line(line)) {
        Status status = read_chunk(chunk_size);
        if (status == Status::line) continue;
        if (status != Status::end_of_file) return status;
        if (decoded_ > begin_ && decoded_ == end_ && buf_[decoded_ - 1] == '\r') {
            line = Line{std::string_view(buf_.data() + begin_, decoded_ - begin_ - 1), true, false};
            begin_ = scan_ = decoded_;
            return Status::line;
        }
        return Status::end_of_file;
    }
    return Status::line;
}

}  // namespace nerit::core
