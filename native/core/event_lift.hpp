// An event's top-level fields as the formatter leaves them after lifting its message block.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/event_scan.hpp"

namespace nerit::core {

// The lifted event of a scanned line: the line's keys without "MSG"; "source" in the place of
// an existing one or appended; the first message member's fields without the other language's
// type and name, each in the place of an existing key or appended. Spans refer to the line.
// Reused from event to event.
class LiftedEvent {
  public:
    // One field in lifted order: the key as the line first gave it, the value as lifting left it.
    struct Field {
        const ScannedMember* key;    // its key
        const ScannedMember* value;  // its value and kind
    };

    LiftedEvent() { index_.fill(-1); }

    // Lifts the event of `scan` (the viewer having escaped it first). False where the
    // formatter would raise or the escaping would change the text (the caller leaves the
    // event to the host): no "MSG", a "MSG" that is not an object or has no member, a first
    // member whose value is not an object, a name holding "nerit" without "-", a repeated
    // key, a control character. `scan` must outlive the use of the result.
    bool lift(const EventScan& scan, bool russian);

    // The member holding a known key's value after lifting, or nullptr when the key is absent.
    const ScannedMember* find(KnownKey key) const noexcept;

    // The fields in lifted order, worked out on the first call after lift().
    std::span<const Field> ordered();
    // Index in ordered() of a known key, or -1.
    int ordered_index_of(KnownKey key) {
        ordered();
        return index_[static_cast<std::size_t>(key)];
    }

  private:
    bool dropped(KnownKey key) const noexcept {
        return key == dropped_type_ || key == dropped_name_;
    }
    void append(const Field& field);
    // event[key] = value: in place when the key is there, else appended.
    void set(const Field& field);

    const EventScan* scan_ = nullptr;
    KnownKey dropped_type_ = KnownKey::type_ru;
    KnownKey dropped_name_ = KnownKey::name_ru;
    ScannedMember source_;
    bool ordered_ = false;
    std::vector<Field> fields_;
    std::array<int, kKnownKeyCount> index_;
    std::uint64_t bloom_ = 0;
};

// The formatter's "source" for a message member name: the part after its first "-" (up to the
// next) when the name holds "nerit", else the name. False when it holds "nerit" but no "-".
bool source_of(const ScannedText& name, ScannedText& source) noexcept;

}  // namespace nerit::core
