// The colour class of a priority name, shared by the formatter and the byte-level layouts.
#pragma once

#include <string_view>

namespace nerit::core {

enum class Severity { plain, ok, fail };

// By exact comparison with "critical", "crit", "alert", "emergency", "emerg" (fail) and
// "warning", "error", "err" (ok); every other text is plain.
Severity severity_of(std::string_view priority) noexcept;

}  // namespace nerit::core
