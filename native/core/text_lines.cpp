// Block-wise pread line reader with universal newlines and a bound on the length of a line.
#include "core/text_lines.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace nerit::core {

namespace {

std::size_t find_line_end_scalar(const char* p, std::size_t i, std::size_t n) {
    for (; i < n; ++i) {
        if (p[i] == '\n' || p[i] == '\r') return i;
    }
    return n;
}

#if defined(__SSE2__)

std::size_t find_line_end_sse2(const char* p, std::size_t n) {
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
    return find_line_end_scalar(p, i, n);
}

__attribute__((target("avx2"))) std::size_t find_line_end_avx2(const char* p, std::size_t n) {
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        auto mask = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr))));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
    return i + find_line_end_sse2(p + i, n - i);
}

using FindLineEnd = std::size_t (*)(const char*, std::size_t);

// The widest vectors this processor has, chosen once when the module loads (among the other
// constructors, hence the explicit look at the processor first).
const FindLineEnd find_line_end_here = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? find_line_end_avx2 : find_line_end_sse2;
}();

#endif

}  // namespace

std::size_t find_line_end(std::string_view bytes) {
#if defined(__SSE2__)
    return find_line_end_here(bytes.data(), bytes.size());
#else
    return find_line_end_scalar(bytes.data(), 0, bytes.size());
#endif
}

namespace {

// Above this the buffer is given back once the long line that needed it has gone.
constexpr std::size_t kKeepCapacity = 4 * LineReader::kBlockSize;

}  // namespace

void LineReader::make_room() {
    std::size_t keep = end_ - begin_;
    if (begin_ > 0) {
        if (keep > 0) std::memmove(buf_.data(), buf_.data() + begin_, keep);
        scan_ -= begin_;
        end_ = keep;
        begin_ = 0;
    }
    std::size_t need = keep + kBlockSize;
    if (buf_.size() < need) {
        std::size_t grown = buf_.size() * 2;
        buf_.resize(grown > need ? grown : need);
    } else if (buf_.size() > kKeepCapacity && need * 2 <= kKeepCapacity) {
        std::vector<char> smaller(kKeepCapacity / 2);
        std::memcpy(smaller.data(), buf_.data(), keep);
        buf_.swap(smaller);
    }
}

LineReader::Status LineReader::fill() {
    make_room();
    ssize_t got;
    do {
        got = pread(fd_, buf_.data() + end_, buf_.size() - end_, static_cast<off_t>(offset_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        errno_ = errno;
        return Status::read_error;
    }
    if (got == 0) return Status::end_of_file;
    offset_ += got;
    end_ += static_cast<std::size_t>(got);
    return Status::line;
}

bool LineReader::take(std::size_t end_at, std::size_t resume_at, Line& line) {
    std::size_t start = begin_;
    begin_ = scan_ = resume_at;
    if (dropping_) {
        dropping_ = false;
        return false;
    }
    if (end_at - start > max_line_) return false;
    line.content = std::string_view(buf_.data() + start, end_at - start);
    return true;
}

LineReader::Status LineReader::step(Line& line, bool appended) {
    while (true) {
        std::size_t at = scan_ + find_line_end(std::string_view(buf_.data() + scan_, end_ - scan_));
        if (at < end_) {
            bool cr = buf_[at] == '\r';
            if (cr && at + 1 == end_) {
                // Whether an LF follows is in the next byte, perhaps not read yet.
                scan_ = at;
                Status status = fill();
                if (status == Status::read_error) return status;
                if (status == Status::line) continue;
                at = scan_;
            }
            bool crlf = cr && at + 1 < end_ && buf_[at + 1] == '\n';
            if (take(at, at + (crlf ? 2 : 1), line)) {
                line.terminated = true;
                line.lf_follows = !cr;
                return Status::line;
            }
            continue;
        }
        scan_ = end_;
        if (!dropping_ && end_ - begin_ > max_line_) dropping_ = true;
        if (dropping_) begin_ = scan_ = end_;
        Status status = fill();
        if (status != Status::end_of_file) {
            if (status == Status::read_error) return status;
            continue;
        }
        if (appended || begin_ == end_) return Status::end_of_file;
        line = Line{std::string_view(buf_.data() + begin_, end_ - begin_), false, false};
        begin_ = scan_ = end_;
        return Status::line;
    }
}

bool LineReader::take_unfinished(Line& line) {
    if (begin_ == end_ || dropping_) {
        dropping_ = false;
        begin_ = scan_ = end_;
        return false;
    }
    line = Line{std::string_view(buf_.data() + begin_, end_ - begin_), false, false};
    begin_ = scan_ = end_;
    return true;
}

void LineReader::restart(int fd, std::int64_t offset) {
    fd_ = fd;
    offset_ = offset;
    begin_ = scan_ = end_ = 0;
    dropping_ = false;
    errno_ = 0;
}

}  // namespace nerit::core
