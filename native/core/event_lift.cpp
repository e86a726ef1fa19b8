// Lifting of the message block on a scanned line: which value each key ends with, and the key
// order that the detailed, raw and expression layouts follow.
#include "core/event_lift.hpp"

#include <algorithm>

namespace nerit::core {

bool source_of(const ScannedText& name, ScannedText& source) noexcept {
    const std::string_view bytes = name.bytes;
    if (bytes.find("nerit") == std::string_view::npos) {
        source = name;
        return true;
    }
    const std::size_t first = bytes.find('-');
    if (first == std::string_view::npos) return false;  // split("-")[1]: IndexError
    source.bytes = bytes.substr(first + 1, bytes.find('-', first + 1) - first - 1);
    source.controls = false;
    if (name.ascii) {
        source.ascii = true;
        source.length = static_cast<std::uint32_t>(source.bytes.size());
    } else {
        source.length = static_cast<std::uint32_t>(
            std::count_if(source.bytes.begin(), source.bytes.end(),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
        source.ascii = source.length == source.bytes.size();
    }
    return true;
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
    source_.kind = ValueKind::text;
    source_.key.bytes = "source";
    source_.key.length = 6;
    source_.known = KnownKey::source;
    source_.key_prefix = key_prefix(source_.key.bytes);
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
