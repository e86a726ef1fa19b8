// Backward search for the line starts of a file's last lines, in blocks with memrchr.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
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

}  // namespace nerit::core
