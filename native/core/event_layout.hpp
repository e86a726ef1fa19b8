// The formatter's four layouts written as UTF-8 bytes straight from a scanned line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/event_lift.hpp"
#include "core/event_scan.hpp"
#include "core/expression_text.hpp"
#include "core/severity.hpp"

namespace nerit::core {

// A formatter's settings as plain data: truth values, its language, its format expression and
// its colour constants, all texts as UTF-8.
struct LayoutSettings {
    bool no_color = false;
    bool is_raw = false;
    bool is_detailed = false;
    bool use_iso_date = false;
    bool russian = false;
    std::string format_expression;  // empty: none (an empty expression counts as none)
    std::string color_ok;
    std::string color_fail;
    std::string color_grey;
    std::string color_end;

    friend bool operator==(const LayoutSettings&, const LayoutSettings&) = default;
};

// Writes events of scanned lines as the formatter's format_event returns them. Reused from
// event to event: its buffers keep their room.
class EventLayout {
  public:
    explicit EventLayout(LayoutSettings settings);

    const LayoutSettings& settings() const noexcept { return settings_; }

    // Appends to `out` the UTF-8 form of what format_event returns for the event of `scan`,
    // once the viewer has escaped it (no line end is added). False, with `out` unchanged,
    // where the formatter would raise or would print something this path does not write (a
    // value it would convert with str() that is not text, an integer, true, false or null; a
    // non-ASCII key to capitalise; a date its native reader declines): the caller then leaves
    // the event to the host.
    bool write(const EventScan& scan, ByteBuffer& out);

  private:
    // The priority's colour once format_event has stored it; false where it raises.
    bool colour_priority(Severity& severity) const;
    bool write_default(Severity severity, ByteBuffer& out) const;
    bool write_keyed(Severity severity, ByteBuffer& out);
    bool write_expression(Severity severity, ByteBuffer& out);
    // The colour sequences around a value of the given severity (empty when plain).
    std::string_view colour_before(Severity severity) const noexcept;
    std::string_view colour_after(Severity severity) const noexcept;

    LayoutSettings settings_;
    bool colour_;  // neither no_color nor is_raw
    // The default layout's fixed text between its fields, colours and separators joined once:
    // [time] [priority by severity] [type] name.
    std::string before_time_;
    std::string between_time_and_priority_[3];  // by severity
    std::string after_priority_[3];
    std::string after_type_;
    LiftedEvent lifted_;
    ExpressionText expression_;
    std::vector<std::size_t> key_lengths_;  // of the keyed layouts' labels, in characters
};

}  // namespace nerit::core
