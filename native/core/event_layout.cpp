// The default, detailed, raw and expression layouts of a lifted event, written as bytes.
#include "core/event_layout.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "core/ascii_case.hpp"
#include "core/iso_clock.hpp"

namespace nerit::core {

namespace {

// Appends the pieces one after the other, with one size check for all of them.
void write_pieces(ByteBuffer& out, std::initializer_list<std::string_view> pieces) {
    std::size_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    char* o = out.extend(total);
    for (std::string_view piece : pieces) o = put(o, piece);
}

}  // namespace

EventLayout::EventLayout(LayoutSettings settings)
    : settings_(std::move(settings)),
      colour_(!settings_.no_color && !settings_.is_raw),
      expression_(settings_.format_expression) {}

bool EventLayout::write(const EventScan& scan, ByteBuffer& out) {
    if (!lifted_.lift(scan, settings_.russian)) return false;
    Severity severity = Severity::plain;
    if (!colour_priority(severity)) return false;
    const std::size_t start = out.size();
    bool written = false;
    if (settings_.is_detailed || settings_.is_raw) {
        written = write_keyed(severity, out);
    } else if (!expression_.empty()) {
        written = write_expression(severity, out);
    } else {
        written = write_default(severity, out);
    }
    if (!written) out.truncate(start);
    return written;
}

bool EventLayout::colour_priority(Severity& severity) const {
    severity = Severity::plain;
    if (!colour_) return true;  // format_event does not look "PRIORITY" up
    const ScannedMember* priority = lifted_.find(KnownKey::priority);
    if (priority == nullptr) return false;  // KeyError
    if (priority->kind == ValueKind::text) {
        severity = severity_of(priority->value.bytes);
        return true;
    }
    // None is given back uncoloured; any other value fails the argument check.
    return priority->kind == ValueKind::null;
}

std::string_view EventLayout::colour_before(Severity severity) const noexcept {
    switch (severity) {
        case Severity::ok:
            return settings_.color_ok;
        case Severity::fail:
            return settings_.color_fail;
        case Severity::plain:
            break;
    }
    return {};
}

std::string_view EventLayout::colour_after(Severity severity) const noexcept {
    return severity == Severity::plain ? std::string_view() : settings_.color_end;
}

bool EventLayout::write_default(Severity severity, ByteBuffer& out) const {
    const ScannedMember* when = lifted_.find(KnownKey::isodate);
    if (!settings_.use_iso_date && when == nullptr) when = lifted_.find(KnownKey::date);
    if (when == nullptr || when->kind != ValueKind::text) return false;
    std::string_view time = when->value.bytes;
    char clock[kClockTextLength];
    if (!settings_.use_iso_date) {
        if (!format_iso_clock(time, clock)) return false;
        time = std::string_view(clock, kClockTextLength);
    }
    const bool russian = settings_.russian;
    const ScannedMember* type = lifted_.find(russian ? KnownKey::type_ru : KnownKey::type_en);
    const ScannedMember* name = lifted_.find(russian ? KnownKey::name_ru : KnownKey::name_en);
    const ScannedMember* priority = lifted_.find(KnownKey::priority);
    if ((type != nullptr && type->kind != ValueKind::text) ||
        (name != nullptr && name->kind != ValueKind::text) || priority == nullptr ||
        priority->kind != ValueKind::text) {
        return false;
    }
    const std::string_view type_text = type != nullptr ? type->value.bytes : std::string_view();
    const std::string_view name_text = name != nullptr ? name->value.bytes : std::string_view();
    const std::string_view priority_text = priority->value.bytes;
    constexpr std::string_view separator = ", ";
    if (!colour_) {
        write_pieces(out,
                     {time, separator, priority_text, separator, type_text, separator, name_text});
        return true;
    }
    // grey(time) grey(", ") priority grey(", ") grey(type) grey(", ") name
    const std::string_view grey = settings_.color_grey;
    const std::string_view end = settings_.color_end;
    write_pieces(out, {grey, time, end, grey, separator, end, colour_before(severity),
                       priority_text, colour_after(severity), grey, separator, end, grey, type_text,
                       end, grey, separator, end, name_text});
    return true;
}

namespace {

// str() of a value the keyed layouts print: text as it is, an integer in decimal, and the
// host's spellings of true, false and null. False for the kinds left to the host.
bool value_text(const ScannedMember& member, std::string_view& text) noexcept {
    switch (member.kind) {
        case ValueKind::text:
        case ValueKind::integer:
            text = member.value.bytes;
            return true;
        case ValueKind::boolean_true:
            text = "True";
            return true;
        case ValueKind::boolean_false:
            text = "False";
            return true;
        case ValueKind::null:
            text = "None";
            return true;
        case ValueKind::real:
        case ValueKind::array:
        case ValueKind::object:
            break;
    }
    return false;
}

}  // namespace

bool EventLayout::write_keyed(Severity severity, ByteBuffer& out) {
    const auto fields = lifted_.ordered();
    const bool detailed = settings_.is_detailed;
    const int priority_at = lifted_.ordered_index_of(KnownKey::priority);
    const std::string_view grey = colour_ ? std::string_view(settings_.color_grey) : "";
    const std::string_view end = colour_ ? std::string_view(settings_.color_end) : "";
    // Measure first: every value must be one this path writes.
    std::uint32_t longest = 0;
    std::size_t total = 0;
    for (const LiftedEvent::Field& field : fields) {
        std::string_view text;
        if ((detailed && !field.key->key.ascii) || !value_text(*field.value, text)) return false;
        const ScannedText& key = field.key->key;
        longest = std::max(longest, key.length);
        // The label's bytes beyond one per character, as padding counts characters.
        total += key.bytes.size() - key.length + text.size();
    }
    // Per line: grey, label ":", end, padding to the longest key and one space, value, "\n".
    total += fields.size() * (grey.size() + end.size() + 3 + longest);
    if (priority_at >= 0) {
        total += colour_before(severity).size() + colour_after(severity).size();
    }
    char* o = out.extend(total);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const ScannedText& key = fields[i].key->key;
        o = put(o, grey);
        if (detailed) {
            capitalize_ascii(key.bytes.data(), key.bytes.size(), o);
            o += key.bytes.size();
        } else {
            o = put(o, key.bytes);
        }
        *o++ = ':';
        o = put(o, end);
        const std::size_t padding = longest - key.length + 1;
        std::memset(o, ' ', padding);
        o += padding;
        std::string_view text;
        value_text(*fields[i].value, text);
        const Severity colour = static_cast<int>(i) == priority_at ? severity : Severity::plain;
        o = put(put(put(o, colour_before(colour)), text), colour_after(colour));
        *o++ = '\n';
    }
    return true;
}

bool EventLayout::write_expression(Severity severity, ByteBuffer& out) {
    const auto fields = lifted_.ordered();
    // Every value is a replacement text, used or not: str.replace refuses any other.
    for (const LiftedEvent::Field& field : fields) {
        if (field.value->kind != ValueKind::text) return false;
    }
    expression_.write(fields, lifted_.ordered_index_of(KnownKey::priority), colour_before(severity),
                      colour_after(severity), out);
    return true;
}

}  // namespace nerit::core
