// The priority and source filters on a scanned line, as the iterators decide them on its dict.
#include "core/event_filter.hpp"

#include <algorithm>

namespace nerit::core {
namespace {

FilterDecision filter_priority(const EventScan& scan, const std::vector<std::string>& names) {
    const int at = scan.index_of(KnownKey::priority);
    if (at < 0) return FilterDecision::decline;  // KeyError
    const ScannedMember& priority = scan.members()[static_cast<std::size_t>(at)];
    switch (priority.kind) {
        case ValueKind::text:
            break;
        case ValueKind::array:
        case ValueKind::object:
            return FilterDecision::decline;  // unhashable
        default:
            return FilterDecision::reject;  // a number, bool or None is never in a set of str
    }
    const std::string_view value = priority.value.bytes;
    const bool listed = std::any_of(names.begin(), names.end(),
                                    [value](const std::string& name) { return name == value; });
    return listed ? FilterDecision::accept : FilterDecision::reject;
}

FilterDecision filter_source(const EventScan& scan, const std::vector<std::string>& parts) {
    const int at = scan.index_of(KnownKey::msg);
    if (at < 0) return FilterDecision::decline;  // KeyError
    if (scan.members()[static_cast<std::size_t>(at)].kind != ValueKind::object) {
        return FilterDecision::decline;  // no keys()
    }
    if (scan.msg_member_count() == 0) return FilterDecision::reject;
    // Substrings of valid UTF-8 found bytewise are substrings of its characters.
    const std::string_view name = scan.msg_first_name().bytes;
    const bool found = std::any_of(parts.begin(), parts.end(), [name](const std::string& part) {
        return name.find(part) != std::string_view::npos;
    });
    return found ? FilterDecision::accept : FilterDecision::reject;
}

}  // namespace

FilterDecision filter_event(const EventScan& scan, const EventFilters& filters) noexcept {
    if (filters.priorities.empty() && filters.sources.empty()) return FilterDecision::accept;
    if (scan.duplicate_keys()) return FilterDecision::decline;
    if (!filters.priorities.empty()) {
        const FilterDecision priority = filter_priority(scan, filters.priorities);
        if (priority != FilterDecision::accept) return priority;
    }
    if (filters.sources.empty()) return FilterDecision::accept;
    return filter_source(scan, filters.sources);
}

}  // namespace nerit::core
