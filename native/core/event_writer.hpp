// One line of the log through the scan, the filters and the layout: the per-line step of the
// native print loop, with no Python object made.
#pragma once

#include <string_view>
#include <utility>

#include "core/byte_buffer.hpp"
#include "core/event_filter.hpp"
#include "core/event_layout.hpp"
#include "core/event_scan.hpp"

namespace nerit::core {

enum class LineOutcome {
    written,          // the event's text and a line end were appended
    rejected,         // the filters drop the event: nothing to print
    declined_scan,    // not an object this path reads (or not JSON at all)
    declined_filter,  // a filter would raise, or cannot be decided here
    declined_layout,  // the formatter would raise, or prints what this path does not write
};

// Holds the filters, the formatter's settings and the scratch of the steps; reused for every
// line of a pass. A declined line must be decoded and printed the host's way instead.
class EventWriter {
  public:
    EventWriter(EventFilters filters, LayoutSettings settings)
        : filters_(std::move(filters)), layout_(std::move(settings)) {}

    // `line` is one line without its line end. On `written` the text is appended to `out`
    // followed by "\n", as print writes it; otherwise `out` is unchanged. Running out of
    // memory throws std::bad_alloc.
    LineOutcome write_line(std::string_view line, ByteBuffer& out) {
        if (!scan_.scan(line)) return LineOutcome::declined_scan;
        switch (filter_event(scan_, filters_)) {
            case FilterDecision::accept:
                break;
            case FilterDecision::reject:
                return LineOutcome::rejected;
            case FilterDecision::decline:
                return LineOutcome::declined_filter;
        }
        if (!layout_.write(scan_, out)) return LineOutcome::declined_layout;
        out.push_back('\n');
        return LineOutcome::written;
    }

    const EventScan& scan() const noexcept { return scan_; }

  private:
    EventFilters filters_;
    EventLayout layout_;
    EventScan scan_;
};

}  // namespace nerit::core
