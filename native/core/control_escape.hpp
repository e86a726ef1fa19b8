// Finding and escaping the control characters of untrusted text, over code units of one width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nerit::core {

// The characters a terminal may act on: C0 except tab, DEL, and C1 (U+0080..U+009F).
constexpr bool is_escaped_control(std::uint32_t code_point) noexcept {
    // Written without short-circuits so that scans over many units vectorise.
    return ((code_point < 0x20) & (code_point != 0x09)) | (code_point - 0x7F < 0x21);
}

// Index of the first control character in `text`, or text.size() when there is none.
// Unit is std::uint8_t (Latin-1), std::uint16_t (UCS-2) or std::uint32_t (UCS-4).
template <class Unit>
std::size_t find_control(std::span<const Unit> text) noexcept;

// `text` with every control character replaced by the four characters \xNN (lower-case hex),
// as the host spells such a character in a string literal. `first` is where the scan may start:
// the result of find_control, so the clean prefix is copied without a second look.
template <class Unit>
std::vector<Unit> escape_controls(std::span<const Unit> text, std::size_t first);

}  // namespace nerit::core
