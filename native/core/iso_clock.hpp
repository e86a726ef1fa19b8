// Reading ISO 8601 date texts of the usual shapes and writing them as "DD.MM.YYYY HH:MM:SS".
#pragma once

#include <cstddef>
#include <string_view>

namespace nerit::core {

// Length of the clock text written by format_iso_clock.
inline constexpr std::size_t kClockTextLength = 19;

// Reads `text` when it has one of the shapes
//   YYYY-MM-DD
//   YYYY-MM-DD{T| }HH:MM:SS[.fff|.ffffff][Z|{+|-}HH:MM]
// with a valid calendar date (years 1000-9999), hour 00-23, minute and second 00-59 and an
// offset of at most 23:59, and writes the local clock time as "DD.MM.YYYY HH:MM:SS" into `out`
// (neither the offset nor the fraction is printed, and no zone conversion is done). Returns
// false for every other text; the caller then hands the text to the host's reader, which
// accepts more shapes and owns the error messages.
bool format_iso_clock(std::string_view text, char (&out)[kClockTextLength]);

}  // namespace nerit::core
