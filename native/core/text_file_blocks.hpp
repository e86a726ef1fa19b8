// When the host's text file (the C TextIOWrapper) hands the bytes it holds to its binary buffer:
// it keeps written text pending and passes it on in blocks, decided by sizes alone. A writer
// that holds text itself and hands it on at the same points makes the same buffer calls.
#pragma once

#include <cstddef>

namespace nerit::core {

// When a write first sends what is pending (the host's releases differ).
enum class HandsBefore {
    past_chunk,     // when the pending text and the write together exceed a chunk (3.11, 3.12)
    chunk_or_more,  // when the write alone fills a chunk (3.13)
};

struct TextFileRule {
    std::size_t chunk_size = 8192;  // the file's _CHUNK_SIZE
    bool line_buffering = false;
    bool write_through = false;
    HandsBefore hands_before = HandsBefore::past_chunk;
};

// What one write of `size` bytes does to a file holding `pending` bytes.
struct TextFileWrite {
    bool hands_before;      // the pending bytes go to the buffer before this write is kept
    bool hands_after;       // then everything pending (this write included) goes on
    std::size_t pending;    // what the file holds afterwards
};

// `line_end`: the write holds "\n" or "\r" (it matters with line buffering only).
constexpr TextFileWrite text_file_write(const TextFileRule& rule, std::size_t pending,
                                        std::size_t size, bool line_end) noexcept {
    const bool before = rule.hands_before == HandsBefore::past_chunk
                            ? pending + size > rule.chunk_size
                            : size >= rule.chunk_size;
    const std::size_t held = before ? size : pending + size;
    const bool after = held >= rule.chunk_size || rule.write_through ||
                       (rule.line_buffering && line_end);
    return {before && pending > 0, after, after ? 0 : held};
}

}  // namespace nerit::core
