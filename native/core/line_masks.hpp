// The structural pass over one line: bitmasks of the bytes a JSON walker stops at, and whether
// the line is valid UTF-8, found in one pass over its bytes with the widest vectors at hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace nerit::core {

// The vector width of the pass: chosen once for the processor, or forced (tests compare them).
enum class VectorLevel : std::uint8_t { scalar, sse2, avx2 };

// The widest level this processor runs, looked up once.
VectorLevel best_vector_level() noexcept;

// What a string's bytes hold beyond plain text, for the few strings that hold any.
struct TextFacts {
    bool raw_control = false;  // C0: not allowed in a JSON string
    bool backslash = false;
    bool controls = false;  // DEL or a C1 character (U+0080..U+009F)
};

// The facts of `size` bytes of valid UTF-8 at `text`.
TextFacts text_facts(const char* text, std::size_t size) noexcept;

class LineMasks {
  public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // Zero bytes after the copy of the line: reads of a word past any position are safe.
    static constexpr std::size_t kPadding = 64;

    LineMasks() = default;
    LineMasks(const LineMasks&) = delete;
    LineMasks& operator=(const LineMasks&) = delete;

    // Copies `line` and describes it. False when the line is not valid UTF-8 as the host's
    // strict decoder reads it (the masks are then incomplete). May throw std::bad_alloc.
    bool build(std::string_view line, VectorLevel level);

    // The copy of the line, followed by kPadding zero bytes.
    const char* text() const noexcept { return text_.get(); }
    std::size_t size() const noexcept { return size_; }

    // Position of the first stop at or after `from` (at most size()): size() at the latest,
    // where the end of the line is marked.
    std::size_t next_stop(std::size_t from) const noexcept {
        const std::uint64_t bits = stop_[from >> 6] >> (from & 63);
        if (bits != 0) return from + static_cast<std::size_t>(__builtin_ctzll(bits));
        std::size_t w = (from >> 6) + 1;
        while (stop_[w] == 0) ++w;
        return (w << 6) + static_cast<std::size_t>(__builtin_ctzll(stop_[w]));
    }

    // Position of the first unescaped quote at or after `from` (at most size()), or npos.
    std::size_t next_quote(std::size_t from) const noexcept {
        std::size_t w = from >> 6;
        std::uint64_t bits = quote_[w] & (~std::uint64_t{0} << (from & 63));
        while (bits == 0) {
            if (++w >= block_count_) return npos;
            bits = quote_[w];
        }
        return (w << 6) + static_cast<std::size_t>(__builtin_ctzll(bits));
    }

  private:
    void reserve(std::size_t size);

    // Bit i of word w describes byte 64 * w + i of the line; bits past its end are clear, but
    // for the mark of the end in stop_.
    //   quote_: '"' that no backslash escapes
    //   stop_:  where a walk through a string must look: a quote, a backslash, C0, DEL, or 0xC2
    //           (the lead of the C1 characters)

    std::unique_ptr<char[]> text_;
    std::unique_ptr<std::uint64_t[]> quote_;
    std::unique_ptr<std::uint64_t[]> stop_;
    std::size_t capacity_ = 0;  // bytes of line the buffers hold
    std::size_t size_ = 0;
    std::size_t block_count_ = 0;
};

}  // namespace nerit::core
