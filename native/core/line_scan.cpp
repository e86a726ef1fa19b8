// Backward newline scan over memory or a file descriptor, and single-line reads; see line_scan.hpp.
#include "core/line_scan.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nerit::core {
namespace {

// Accumulates newline offsets from the end; tells the caller when the scan may stop.
class RecentLines {
  public:
    explicit RecentLines(std::int64_t count) : count_(count) {}

    // Feeds the block that starts at file offset `base`; returns false once the scan is over.
    bool feed_block(const char* block, std::size_t size, std::int64_t base) {
        std::size_t remaining = size;
        while (remaining > 0) {
            const void* hit = memrchr(block, '\n', remaining);
            if (hit == nullptr) return true;
            auto index = static_cast<std::size_t>(static_cast<const char*>(hit) - block);
            ++lines_found_;
            // Written as a subtraction so that count + 1 cannot overflow.
            if (lines_found_ - 1 > count_) return false;
            positions_.push_back(base + static_cast<std::int64_t>(index) + 1);
            remaining = index;
        }
        return true;
    }

    std::vector<std::int64_t> finish() && {
        if (lines_found_ <= count_) positions_.push_back(0);
        std::reverse(positions_.begin(), positions_.end());
        return std::move(positions_);
    }

  private:
    std::int64_t count_;
    std::int64_t lines_found_ = 0;
    std::vector<std::int64_t> positions_;
};

constexpr std::size_t kBlockSize = 64 * 1024;

}  // namespace

std::vector<std::int64_t> recent_line_starts(std::span<const char> data, std::int64_t count) {
    RecentLines scan(count);
    scan.feed_block(data.data(), data.size(), 0);
    return std::move(scan).finish();
}

std::optional<std::vector<std::int64_t>> recent_line_starts(int fd, std::int64_t file_size,
                                                            std::int64_t count) {
    RecentLines scan(count);
    std::vector<char> block(kBlockSize);
    std::int64_t end = file_size;
    while (end > 0) {
        auto want = static_cast<std::int64_t>(std::min<std::int64_t>(end, kBlockSize));
        std::int64_t start = end - want;
        std::int64_t got = 0;
        while (got < want) {
            ssize_t n = pread(fd, block.data() + got, static_cast<std::size_t>(want - got),
                              static_cast<off_t>(start + got));
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            if (n == 0) break;  // The file shrank: the missing bytes hold no newline.
            got += n;
        }
        if (!scan.feed_block(block.data(), static_cast<std::size_t>(got), start)) break;
        end = start;
    }
    return std::move(scan).finish();
}

bool LineAtOffset::load(std::int64_t offset, std::size_t keep) {
    if (keep > 0) {
        auto from = static_cast<std::size_t>(offset - start_);
        std::memmove(buf_.data(), buf_.data() + from, keep);
    }
    if (buf_.size() < keep + kBlockSize) buf_.resize(std::max(buf_.size() * 2, keep + kBlockSize));
    start_ = offset;
    size_ = keep;
    std::size_t want = buf_.size() - keep;
    ssize_t got;
    do {
        got = pread(fd_, buf_.data() + keep, want, static_cast<off_t>(offset + keep));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    size_ += static_cast<std::size_t>(got);
    at_end_ = static_cast<std::size_t>(got) < want;
    return true;
}

LineAtOffset::Status LineAtOffset::read(std::int64_t offset, std::string_view& line) {
    bool held = offset >= start_ && offset < start_ + static_cast<std::int64_t>(size_);
    if (!held && !load(offset, 0)) return Status::read_error;
    std::size_t searched = static_cast<std::size_t>(offset - start_);
    while (true) {
        auto pos = static_cast<std::size_t>(offset - start_);
        const void* lf = std::memchr(buf_.data() + searched, '\n', size_ - searched);
        std::size_t end = lf != nullptr
                              ? static_cast<std::size_t>(static_cast<const char*>(lf) - buf_.data())
                              : size_;
        if (end - pos > max_line_) return Status::too_long;
        if (lf != nullptr || at_end_) {
            line = std::string_view(buf_.data() + pos, end - pos + (lf != nullptr ? 1 : 0));
            return Status::line;
        }
        // The line goes on past the block: keep its start and read on after it.
        std::size_t keep = size_ - pos;
        if (!load(offset, keep)) return Status::read_error;
        searched = keep;
    }
}

}  // namespace nerit::core
