// Escaping of control characters in untrusted text; the glue hands in the host string's units.
#include "core/control_escape.hpp"

#include <algorithm>

namespace nerit::core {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

template <class Unit>
std::size_t find_control(std::span<const Unit> text) noexcept {
    // Fixed-size blocks with a branch-free test let the compiler use vector compares; event
    // texts are mostly clean, so the exact position is looked for only in a block that hit.
    constexpr std::size_t kBlock = 16;
    std::size_t i = 0;
    for (; i + kBlock <= text.size(); i += kBlock) {
        bool hit = false;
        for (std::size_t j = 0; j < kBlock; ++j) {
            hit |= is_escaped_control(static_cast<std::uint32_t>(text[i + j]));
        }
        if (hit) break;
    }
    for (; i < text.size(); ++i) {
        if (is_escaped_control(static_cast<std::uint32_t>(text[i]))) return i;
    }
    return text.size();
}

template <class Unit>
std::vector<Unit> escape_controls(std::span<const Unit> text, std::size_t first) {
    std::vector<Unit> out;
    first = std::min(first, text.size());
    // Each escape grows the text by three units; reserve for a few of them up front.
    out.reserve(text.size() + 12);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(first));
    for (std::size_t i = first; i < text.size(); ++i) {
        const auto code_point = static_cast<std::uint32_t>(text[i]);
        if (!is_escaped_control(code_point)) {
            out.push_back(text[i]);
            continue;
        }
        out.push_back(static_cast<Unit>('\\'));
        out.push_back(static_cast<Unit>('x'));
        out.push_back(static_cast<Unit>(kHexDigits[(code_point >> 4) & 0xF]));
        out.push_back(static_cast<Unit>(kHexDigits[code_point & 0xF]));
    }
    return out;
}

template std::size_t find_control<std::uint8_t>(std::span<const std::uint8_t>) noexcept;
template std::size_t find_control<std::uint16_t>(std::span<const std::uint16_t>) noexcept;
template std::size_t find_control<std::uint32_t>(std::span<const std::uint32_t>) noexcept;
template std::vector<std::uint8_t> escape_controls<std::uint8_t>(std::span<const std::uint8_t>,
                                                                 std::size_t);
template std::vector<std::uint16_t> escape_controls<std::uint16_t>(std::span<const std::uint16_t>,
                                                                   std::size_t);
template std::vector<std::uint32_t> escape_controls<std::uint32_t>(std::span<const std::uint32_t>,
                                                                   std::size_t);

}  // namespace nerit::core
