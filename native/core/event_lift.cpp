// Lifting of the message block on a scanned line: which value each key ends with, and the key
// order that the detailed, raw and expression layouts follow.
#include "core/event_lift.hpp"

#include <algorithm>

namespace nerit::core {

namespace {

// Position of `c` in `text` from `from` on, or npos: names are short, a loop beats a call.
std::size_t find_byte(std::string_view text, char c, std::size_t from) noexcept {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == c) return i;
    }
    return std::string_view::npos;
}

}  // namespace

bool source_of(const ScannedText& name, ScannedText& source) noexcept {
    const std::string_view bytes = name.bytes;
    // The usual name starts with it; "nerit" holds no "-", so the first "-" follows it.
    constexpr std::string_view kNerit = "nerit";
    const bool leading = bytes.substr(0, kNerit.size()) == kNerit;
    if (!leading && bytes.find(kNerit) == std::string_view::npos) {
        source = name;
        return true;
    }
    const std::size_t first = find_byte(bytes, '-', leading ? kNerit.size() : 0);
    if (first == std::string_view::npos) return false;  // split("-")[1]: IndexError
    source.bytes = bytes.substr(first + 1, find_byte(bytes, '-', first + 1) - first - 1);
    return true;
}

LiftedEvent::LiftedEvent() {
    index_.fill(-1);
    // The member that lifting adds: its key and kind are always these.
    source_.kind = ValueKind::text;
    source_.key.bytes = "source";
    source_.known = KnownKey::source;
    source_.key_prefix = key_prefix(source_.key.bytes);
}

bool LiftedEvent::lift(const EventScan& scan, bool russian) {
    ordered_ = false;
    if (scan.duplicate_keys() || scan.msg_duplicates() || scan.controls()) return false;
    const int msg = scan.index_of(KnownKey::msg);
    if (msg < 0 || scan.members()[static_cast<std::size_t>(msg)].kind != ValueKind::object ||
        scan.msg_member_count() == 0 || scan.msg_first_kind() != ValueKind::object) {
        return false;
    }
    if (!source_of(scan.msg_first_name(), source_.value)) return false;
    scan_ = &scan;
    dropped_type_ = russian ? KnownKey::type_en : KnownKey::type_ru;
    dropped_name_ = russian ? KnownKey::name_en : KnownKey::name_ru;
    return true;
}

const ScannedMember* LiftedEvent::find(KnownKey key) const noexcept {
    if (key == KnownKey::msg) return nullptr;  // the block is removed (an inner "MSG" with it)
    if (!dropped(key)) {
        const int field = scan_->field_index_of(key);
        if (field >= 0) return &scan_->fields()[static_cast<std::size_t>(field)];
    }
    if (key == KnownKey::source) return &source_;
    const int top = scan_->index_of(key);
    return top < 0 ? nullptr : &scan_->members()[static_cast<std::size_t>(top)];
}

void LiftedEvent::append(const Field& field) {
    if (field.key->known != KnownKey::other) {
        index_[static_cast<std::size_t>(field.key->known)] = static_cast<int>(fields_.size());
    }
    bloom_ |= key_bit(*field.key);
    fields_.push_back(field);
}

void LiftedEvent::set(const Field& field) {
    int at = -1;
    if (field.key->known != KnownKey::other) {
        at = index_[static_cast<std::size_t>(field.key->known)];
    } else if ((bloom_ & key_bit(*field.key)) != 0) {
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            if (same_key(*fields_[i].key, *field.key)) {
                at = static_cast<int>(i);
                break;
            }
        }
    }
    if (at < 0) {
        append(field);
    } else {
        fields_[static_cast<std::size_t>(at)].value = field.value;
    }
}

std::span<const LiftedEvent::Field> LiftedEvent::ordered() {
    if (ordered_) return fields_;
    fields_.clear();
    index_.fill(-1);
    bloom_ = 0;
    for (const ScannedMember& member : scan_->members()) {
        if (member.known != KnownKey::msg) append(Field{&member, &member});
    }
    set(Field{&source_, &source_});
    for (const ScannedMember& field : scan_->fields()) {
        // An inner "MSG" is stored over the block and goes with it when the block is removed.
        if (!dropped(field.known) && field.known != KnownKey::msg) set(Field{&field, &field});
    }
    ordered_ = true;
    return fields_;
}

}  // namespace nerit::core
