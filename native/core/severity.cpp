// The colour class of a priority name. Equal names have equal lengths, so the length picks the
// names to compare with.
#include "core/severity.hpp"

namespace nerit::core {

Severity severity_of(std::string_view priority) noexcept {
    switch (priority.size()) {
        case 3:
            return priority == "err" ? Severity::ok : Severity::plain;
        case 4:
            return priority == "crit" ? Severity::fail : Severity::plain;
        case 5:
            if (priority == "alert" || priority == "emerg") return Severity::fail;
            return priority == "error" ? Severity::ok : Severity::plain;
        case 7:
            return priority == "warning" ? Severity::ok : Severity::plain;
        case 8:
            return priority == "critical" ? Severity::fail : Severity::plain;
        case 9:
            return priority == "emergency" ? Severity::fail : Severity::plain;
        default:
            return Severity::plain;
    }
}

}  // namespace nerit::core
