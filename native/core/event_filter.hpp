// The iterators' priority and source filters, decided on a scanned line.
#pragma once

#include <string>
#include <vector>

#include "core/event_scan.hpp"

namespace nerit::core {

enum class FilterDecision {
    accept,
    reject,
    decline,  // the host's filter raises here: the caller leaves the line to it
};

// The filter sets as UTF-8 texts. An empty list sets no filter.
struct EventFilters {
    std::vector<std::string> priorities;  // "PRIORITY" must equal one of them
    std::vector<std::string> sources;     // one must occur in the first message member's name

    friend bool operator==(const EventFilters&, const EventFilters&) = default;
};

// What the iterators' _filter_event returns for the line's decoded object, or decline where
// it would raise (a key missing while its filter is set, a value of a kind it cannot test) or
// where the description does not say (a repeated top-level key).
FilterDecision filter_event(const EventScan& scan, const EventFilters& filters) noexcept;

}  // namespace nerit::core
