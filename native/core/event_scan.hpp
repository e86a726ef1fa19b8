// One event line described by spans over its bytes: what the filters and layouts read, found
// by a walk over the line's structural masks, without building any object.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/line_masks.hpp"
#include "core/utf8.hpp"

namespace nerit::core {

// Keys that the filters and the layouts look up by name.
enum class KnownKey : std::uint8_t {
    other,
    msg,       // MSG
    priority,  // PRIORITY
    isodate,   // ISODATE
    date,      // DATE
    source,    // source
    type_ru,
    type_en,
    name_ru,
    name_en,
};
inline constexpr std::size_t kKnownKeyCount = 10;

enum class ValueKind : std::uint8_t {
    text,
    integer,
    real,
    boolean_true,
    boolean_false,
    null,
    array,
    object,
};

// A JSON string after decoding: its UTF-8 bytes, either in the scan's copy of the line (no
// escapes) or in the scan's own buffer.
struct ScannedText {
    std::string_view bytes;

    // Worked out when asked: the keyed layouts need it for their labels only.
    std::size_t code_points() const noexcept { return utf8_code_points(bytes); }
};

struct ScannedMember {
    ScannedText key;
    ScannedText value;  // a text's characters, an integer's decimal form; empty otherwise
    ValueKind kind = ValueKind::null;
    KnownKey known = KnownKey::other;  // set for keys of the top level and of the fields
    std::uint64_t key_prefix = 0;      // see key_prefix()
};

// A list of at most N items kept in place: scanning a line allocates nothing.
template <class T, std::size_t N>
class FixedList {
  public:
    static constexpr std::size_t kCapacity = N;

    void clear() noexcept { size_ = 0; }
    // A new last item, or nullptr when the list is full.
    T* add() noexcept { return size_ < N ? &items_[size_++] : nullptr; }
    // For a writer that counts in a register: the room, and the count it filled.
    T* data() noexcept { return items_.data(); }
    void resize(std::size_t size) noexcept { size_ = size; }
    std::size_t size() const noexcept { return size_; }
    const T* begin() const noexcept { return items_.data(); }
    const T* end() const noexcept { return items_.data() + size_; }
    T& operator[](std::size_t i) noexcept { return items_[i]; }
    const T& operator[](std::size_t i) const noexcept { return items_[i]; }
    operator std::span<const T>() const noexcept { return {items_.data(), size_}; }

  private:
    std::array<T, N> items_;
    std::size_t size_ = 0;
};

enum class ScanOutcome : std::uint8_t {
    scanned,   // the description holds the line
    declined,  // UTF-8, but not a line this description carries: the host decodes it
    not_utf8,  // not valid UTF-8 as the host's strict decoder reads it
};

// The description of one line. Reused from line to line.
class EventScan {
  public:
    explicit EventScan(VectorLevel level = best_vector_level());
    ~EventScan();
    EventScan(const EventScan&) = delete;
    EventScan& operator=(const EventScan&) = delete;

    // Scans `line` (without its line end), bytes unchecked. Declined when the line is not a
    // JSON object, is not valid JSON, or holds what this description does not carry (a lone
    // surrogate, a number the JSON decoder leaves to the host, very deep nesting, more members
    // than the lists hold): the caller then decodes it the host's way. The description refers
    // to the scan's own copy of the line, valid until the next scan. Running out of memory
    // throws std::bad_alloc.
    ScanOutcome scan(std::string_view line);

    // Top-level members in the order of the line.
    std::span<const ScannedMember> members() const noexcept { return members_; }
    // Index in members() of a known key's first occurrence, or -1.
    int index_of(KnownKey key) const noexcept {
        return known_index_[static_cast<std::size_t>(key)];
    }
    // A top-level key occurs twice (the host's dict would keep its first place, last value).
    bool duplicate_keys() const noexcept { return duplicate_keys_; }

    // The message block: the value of "MSG" when it is an object.
    std::size_t msg_member_count() const noexcept { return msg_names_.size(); }
    // Its first member's name and the kind of that member's value (valid when the count > 0).
    const ScannedText& msg_first_name() const noexcept { return msg_first_name_; }
    ValueKind msg_first_kind() const noexcept { return msg_first_kind_; }
    // The members of the first member's value, when that is an object.
    std::span<const ScannedMember> fields() const noexcept { return fields_; }
    // Index in fields() of a known key's first occurrence, or -1.
    int field_index_of(KnownKey key) const noexcept {
        return field_index_[static_cast<std::size_t>(key)];
    }
    // A member name repeats among the message block's members or among the fields.
    bool msg_duplicates() const noexcept { return msg_duplicates_; }

    // Some text the viewer escapes before formatting, at a place where that changes what is
    // printed: a top-level key or text value, or any text inside the message block.
    bool controls() const noexcept { return controls_; }

  private:
    friend class EventWalker;

    FixedList<ScannedMember, 64> members_;
    FixedList<ScannedMember, 64> fields_;
    FixedList<ScannedText, 16> msg_names_;
    std::array<int, kKnownKeyCount> known_index_{};
    std::array<int, kKnownKeyCount> field_index_{};
    std::uint64_t key_bloom_ = 0;
    std::uint64_t fields_bloom_ = 0;
    ScannedText msg_first_name_;
    ValueKind msg_first_kind_ = ValueKind::null;
    bool duplicate_keys_ = false;
    bool msg_duplicates_ = false;
    bool controls_ = false;
    VectorLevel level_;
    LineMasks masks_;
    // Decoded escaped texts: never more bytes than the line, plus a word of padding.
    std::unique_ptr<char[]> decoded_;
    std::size_t decoded_capacity_ = 0;
    std::size_t decoded_used_ = 0;
};

// The first eight bytes of a key (zero-padded): with the length, enough to tell most keys
// apart without reading them, and all keys of up to eight bytes exactly.
std::uint64_t key_prefix(std::string_view key) noexcept;

// Whether two scanned keys hold the same text.
inline bool same_key(const ScannedMember& a, const ScannedMember& b) noexcept {
    return a.key_prefix == b.key_prefix && a.key.bytes.size() == b.key.bytes.size() &&
           (a.key.bytes.size() <= 8 || a.key.bytes == b.key.bytes);
}

// The multiplier of a key's prefix that sends the nine known keys to nine different slots of
// sixteen (its top four bits, found by search); other bits of the product serve as a hash.
inline constexpr std::uint64_t kKeyHash = 0xec148cb48e73ca47u;

// One bit of 64 for a key, for a quick "certainly not among these keys" (keys that share their
// first eight bytes share it too).
inline std::uint64_t key_bit_of_hash(std::uint64_t prefix_times_key_hash) noexcept {
    return std::uint64_t{1} << ((prefix_times_key_hash >> 52) & 63);
}
inline std::uint64_t key_bit(std::uint64_t prefix) noexcept {
    return key_bit_of_hash(prefix * kKeyHash);
}
inline std::uint64_t key_bit(const ScannedMember& member) noexcept {
    return key_bit(member.key_prefix);
}

}  // namespace nerit::core
