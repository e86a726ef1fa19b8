// Scanning an event line into spans: a walk over the line's structural masks that records only
// what the filters and layouts read, and where the viewer's escaping would change it.
#include "core/event_scan.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/calendar.hpp"
#include "core/json_scan.hpp"

namespace nerit::core {

namespace json = nerit::core::json;

namespace {

static_assert(std::endian::native == std::endian::little, "key prefixes are read little-endian");

template <std::size_t N>
constexpr std::uint64_t prefix_of(const char (&text)[N]) {
    static_assert(N - 1 <= 8);
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i + 1 < N; ++i) {
        prefix |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
    }
    return prefix;
}

// Every known key has at most eight bytes, so its length and prefix identify it; kKeyHash
// sends the nine known prefixes to nine different slots of sixteen.
constexpr std::size_t key_slot(std::uint64_t prefix) {
    return static_cast<std::size_t>((prefix * kKeyHash) >> 60);
}

struct KnownSlot {
    std::uint64_t prefix = 0;
    std::size_t size = 0;
    KnownKey key = KnownKey::other;
};

template <std::size_t N>
constexpr void put_known(std::array<KnownSlot, 16>& slots, const char (&name)[N], KnownKey key) {
    slots[key_slot(prefix_of(name))] = KnownSlot{prefix_of(name), N - 1, key};
}

constexpr std::array<KnownSlot, 16> kKnownSlots = [] {
    std::array<KnownSlot, 16> slots{};
    put_known(slots, "MSG", KnownKey::msg);
    put_known(slots, "PRIORITY", KnownKey::priority);
    put_known(slots, "ISODATE", KnownKey::isodate);
    put_known(slots, "DATE", KnownKey::date);
    put_known(slots, "source", KnownKey::source);
    put_known(slots, "type_ru", KnownKey::type_ru);
    put_known(slots, "type_en", KnownKey::type_en);
    put_known(slots, "name_ru", KnownKey::name_ru);
    put_known(slots, "name_en", KnownKey::name_en);
    return slots;
}();

static_assert([] {
    int filled = 0;
    for (const KnownSlot& slot : kKnownSlots) filled += slot.key != KnownKey::other;
    return filled == 9;
}(), "every known key has a slot of its own");

// The known key of a key's size and prefix, given the prefix times kKeyHash.
KnownKey known_key_of(std::size_t size, std::uint64_t prefix, std::uint64_t hash) noexcept {
    const KnownSlot& slot = kKnownSlots[static_cast<std::size_t>(hash >> 60)];
    return slot.prefix == prefix && slot.size == size ? slot.key : KnownKey::other;
}

}  // namespace

std::uint64_t key_prefix(std::string_view key) noexcept {
    std::uint64_t prefix = 0;
    if (!key.empty()) std::memcpy(&prefix, key.data(), key.size() < 8 ? key.size() : 8);
    return prefix;
}

namespace {

// Where a container stands, which decides what of it is recorded.
enum class Role : std::uint8_t {
    top,         // the event object
    msg,         // the object under the top-level "MSG"
    fields,      // the object of the message block's first member
    inside_msg,  // anything else within the message block: only its controls matter
    other,       // values nobody prints as text: nothing is recorded
};

// The role of a container that is a value in a container of role `parent`.
Role child_role(Role parent, bool object, bool under_msg_key, bool first_member) noexcept {
    switch (parent) {
        case Role::top:
            return object && under_msg_key ? Role::msg : Role::other;
        case Role::msg:
            return object && first_member ? Role::fields : Role::inside_msg;
        case Role::fields:
        case Role::inside_msg:
            return Role::inside_msg;
        case Role::other:
            break;
    }
    return Role::other;
}

// What becomes of a string: its controls noted and its text kept where the caller gives it a
// place, its controls noted only, or its syntax checked only.
enum class Use : std::uint8_t { record, note, check };

Use string_use(Role role) noexcept {
    switch (role) {
        case Role::top:
        case Role::fields:
        case Role::msg:
            return Use::record;
        case Role::inside_msg:
            return Use::note;
        case Role::other:
            break;
    }
    return Use::check;
}

// The bytes of a word that a key of 0 to 8 bytes fills.
constexpr std::array<std::uint64_t, 9> kPrefixMasks = [] {
    std::array<std::uint64_t, 9> masks{};
    for (std::size_t size = 1; size <= 8; ++size) masks[size] = (masks[size - 1] << 8) | 0xFF;
    return masks;
}();

bool is_whitespace(char c) noexcept {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at p, or -1.
long hex4(const char* p) noexcept {
    long value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_value(p[i]);
        if (digit < 0) return -1;
        value = (value << 4) | digit;
    }
    return value;
}

// Whether the viewer escapes any character (C0 but tab, DEL, C1) of valid UTF-8 text.
bool decoded_controls(std::string_view text) noexcept {
    bool controls = false;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    for (; p < end; ++p) {
        const unsigned c = *p;
        controls |= (c < 0x20 && c != '\t') || c == 0x7F ||
                    (c == 0xC2 && p + 1 < end && p[1] >= 0x80 && p[1] <= 0x9F);
    }
    return controls;
}

}  // namespace

// The walk over one line's masks: a recursive descent with the grammar of the host's JSON
// decoder that jumps from quote to quote and records members as it goes. Each step takes the
// position it starts at and gives back the position after what it read, or kFailed.
class EventWalker {
  public:
    explicit EventWalker(EventScan& scan) noexcept
        : scan_(scan), masks_(scan.masks_), s_(scan.masks_.text()), end_(scan.masks_.size()) {}

    bool run() {
        std::size_t at = skip_whitespace(0);
        if (s_[at] != '{') return false;
        at = object_of<Role::top>(at, 1);
        if (at == kFailed) return false;
        return skip_whitespace(at) == end_;
    }

  private:
    using MemberList = FixedList<ScannedMember, 64>;
    static constexpr std::size_t kFailed = LineMasks::npos;

    std::size_t skip_whitespace(std::size_t at) const noexcept {
        // The zero after the line stops it; a byte above the space is no white space.
        while (static_cast<unsigned char>(s_[at]) <= ' ' && is_whitespace(s_[at])) ++at;
        return at;
    }

    // The string whose opening quote is at `at`.
    [[gnu::always_inline]] std::size_t string(std::size_t at, Use use, ScannedText* out) {
        const std::size_t begin = at + 1;
        const std::size_t stop = masks_.next_stop(begin);
        // Plain text up to a quote, the usual case: no backslash can have escaped it.
        if (s_[stop] == '"') [[likely]] {
            if (out != nullptr) out->bytes = std::string_view(s_ + begin, stop - begin);
            return stop + 1;
        }
        return special_string(begin, use, out);
    }

    [[gnu::noinline]] std::size_t special_string(std::size_t begin, Use use, ScannedText* out) {
        const std::size_t close = masks_.next_quote(begin);
        if (close == LineMasks::npos) return kFailed;
        const TextFacts facts = text_facts(s_ + begin, close - begin);
        if (facts.raw_control) return kFailed;  // not allowed in a JSON string
        if (facts.backslash) return escaped(begin, close, use, out) ? close + 1 : kFailed;
        if (use != Use::check) scan_.controls_ |= facts.controls;
        if (out != nullptr) out->bytes = std::string_view(s_ + begin, close - begin);
        return close + 1;
    }

    // A string with escapes, decoded into the scan's buffer; valid UTF-8 and free of raw
    // controls already.
    bool escaped(std::size_t begin, std::size_t close, Use use, ScannedText* out) {
        char* const start = scan_.decoded_.get() + scan_.decoded_used_;
        char* o = start;
        for (std::size_t i = begin; i < close;) {
            if (s_[i] != '\\') {
                *o++ = s_[i++];
                continue;
            }
            const char kind = s_[i + 1];  // the closing quote at worst: never past the line
            std::uint32_t cp = 0;
            switch (kind) {
                case '"':
                case '\\':
                case '/':
                    cp = static_cast<unsigned char>(kind);
                    break;
                case 'b':
                    cp = '\b';
                    break;
                case 'f':
                    cp = '\f';
                    break;
                case 'n':
                    cp = '\n';
                    break;
                case 'r':
                    cp = '\r';
                    break;
                case 't':
                    cp = '\t';
                    break;
                case 'u': {
                    if (close - i < 6) return false;
                    const long unit = hex4(s_ + i + 2);
                    if (unit < 0) return false;
                    cp = static_cast<std::uint32_t>(unit);
                    i += 4;
                    // A high surrogate joins a directly following low-surrogate escape; any
                    // other surrogate stays a code point of its own, as the host keeps it.
                    if (cp >= 0xD800 && cp <= 0xDBFF && close - i >= 8 && s_[i + 2] == '\\' &&
                        s_[i + 3] == 'u') {
                        const long low = hex4(s_ + i + 4);
                        if (low >= 0xDC00 && low <= 0xDFFF) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) +
                                 (static_cast<std::uint32_t>(low) - 0xDC00);
                            i += 6;
                        }
                    }
                    if (cp >= 0xD800 && cp <= 0xDFFF) {
                        // It has no UTF-8 form: a line that keeps such text is left to the host.
                        if (out != nullptr) return false;
                        i += 2;
                        continue;
                    }
                    break;
                }
                default:
                    return false;
            }
            i += 2;
            const char32_t code_point = cp;  // never a surrogate here
            o += json::encode_utf8(&code_point, 1, o);
        }
        ScannedText text;
        text.bytes = std::string_view(start, static_cast<std::size_t>(o - start));
        if (use != Use::check) scan_.controls_ |= decoded_controls(text.bytes);
        if (out == nullptr) return true;
        *out = text;
        scan_.decoded_used_ += text.bytes.size();
        return true;
    }

    // A number at `at` with the host's pattern -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?;
    // whatever follows is checked by the caller. Integers of more than 18 digits, and reals
    // out of the double's range, are left to the host.
    std::size_t number(std::size_t at, ValueKind& kind, ScannedText* out) {
        const std::size_t start = at;
        std::size_t p = at;
        if (s_[p] == '-') ++p;
        const std::size_t digits = p;
        if (s_[p] == '0') {
            ++p;
        } else if (s_[p] >= '1' && s_[p] <= '9') {
            while (is_digit(s_[p])) ++p;
        } else {
            return kFailed;
        }
        const std::size_t digits_end = p;
        bool real = false;
        if (s_[p] == '.' && is_digit(s_[p + 1])) {
            real = true;
            p += 2;
            while (is_digit(s_[p])) ++p;
        }
        if (s_[p] == 'e' || s_[p] == 'E') {
            std::size_t q = p + 1;
            if (s_[q] == '+' || s_[q] == '-') ++q;
            if (is_digit(s_[q])) {
                while (is_digit(s_[q])) ++q;
                real = true;
                p = q;
            }
        }
        if (!real) {
            if (digits_end - digits > json::kMaxIntegerDigits) return kFailed;
            kind = ValueKind::integer;
            if (out != nullptr) {
                // The decimal form of the integer is its text, but for "-0".
                const bool negative_zero = digits_end - start == 2 && s_[digits] == '0';
                out->bytes = negative_zero ? std::string_view("0")
                                           : std::string_view(s_ + start, digits_end - start);
            }
            return p;
        }
        double value = 0;
        const auto [ptr, error] =
            std::from_chars(s_ + start, s_ + p, value, std::chars_format::general);
        // Out of range means the host would give an infinity or a rounded zero: its call.
        if (error != std::errc() || ptr != s_ + p || !std::isfinite(value)) return kFailed;
        kind = ValueKind::real;
        return p;
    }

    std::size_t literal(std::size_t at, std::string_view word) const noexcept {
        // The line is followed by zero bytes: comparing past its end is safe and fails.
        if (std::memcmp(s_ + at, word.data(), word.size()) != 0 || at + word.size() > end_) {
            return kFailed;
        }
        return at + word.size();
    }

    // Any value at `at` in a container of role `role`. `out` receives a text or an integer's
    // decimal form where the value is recorded.
    std::size_t value(std::size_t at, Role role, int depth, bool under_msg_key, bool first_member,
                      ValueKind& kind, ScannedText* out) {
        switch (s_[at]) {
            case '"':
                kind = ValueKind::text;
                return string(at, string_use(role), out);
            case '{':
                kind = ValueKind::object;
                return object(at, child_role(role, true, under_msg_key, first_member), depth + 1);
            case '[':
                kind = ValueKind::array;
                return array(at, child_role(role, false, under_msg_key, first_member), depth + 1);
            case 'n':
                kind = ValueKind::null;
                return literal(at, "null");
            case 't':
                kind = ValueKind::boolean_true;
                return literal(at, "true");
            case 'f':
                kind = ValueKind::boolean_false;
                return literal(at, "false");
            case 'N':
                kind = ValueKind::real;
                return literal(at, "NaN");
            case 'I':
                kind = ValueKind::real;
                return literal(at, "Infinity");
            case '-':
                if (s_[at + 1] == 'I') {
                    kind = ValueKind::real;
                    return literal(at, "-Infinity");
                }
                return number(at, kind, out);
            default:
                return number(at, kind, out);
        }
    }

    // After a member or an element at `at`: the position of the next one (`more` set), of
    // what follows the container's end (`more` clear), or kFailed.
    std::size_t next_item(std::size_t at, char closing, bool& more) const noexcept {
        if (static_cast<unsigned char>(s_[at]) <= ' ') at = skip_whitespace(at);
        const char c = s_[at];
        more = c == ',';
        if (more) return skip_whitespace(at + 1);
        return c == closing ? at + 1 : kFailed;
    }

    // After a key: the position of its value, or kFailed.
    std::size_t colon(std::size_t at) const noexcept {
        if (s_[at] != ':') {
            at = skip_whitespace(at);
            if (s_[at] != ':') return kFailed;
        }
        ++at;
        return static_cast<unsigned char>(s_[at]) <= ' ' ? skip_whitespace(at) : at;
    }

    std::size_t array(std::size_t at, Role role, int depth) {
        if (depth > json::kMaxDepth) return kFailed;
        at = skip_whitespace(at + 1);  // past '['
        if (s_[at] == ']') return at + 1;
        ValueKind kind;
        for (bool more = true; more;) {
            // Strings of the message block's arrays only have their controls noted.
            at = value(at, role, depth, false, false, kind, nullptr);
            if (at == kFailed) return kFailed;
            at = next_item(at, ']', more);
            if (at == kFailed) return kFailed;
        }
        return at;
    }

    // An object at `at`: its members walked by a loop made for its role, so that the usual
    // members cost no dispatch.
    std::size_t object(std::size_t at, Role role, int depth) {
        switch (role) {
            case Role::top:
                return object_of<Role::top>(at, depth);
            case Role::msg:
                return object_of<Role::msg>(at, depth);
            case Role::fields:
                return object_of<Role::fields>(at, depth);
            case Role::inside_msg:
                return object_of<Role::inside_msg>(at, depth);
            case Role::other:
                break;
        }
        return object_of<Role::other>(at, depth);
    }

    template <Role R>
    std::size_t object_of(std::size_t at, int depth) {
        if (depth > json::kMaxDepth) return kFailed;
        at = skip_whitespace(at + 1);  // past '{'
        if (s_[at] == '}') return at + 1;
        if constexpr (R == Role::top) {
            return recorded_object(at, depth, R, scan_.members_, scan_.key_bloom_,
                                   scan_.known_index_, scan_.duplicate_keys_);
        } else if constexpr (R == Role::fields) {
            return recorded_object(at, depth, R, scan_.fields_, scan_.fields_bloom_,
                                   scan_.field_index_, scan_.msg_duplicates_);
        } else {
            std::size_t index = 0;
            for (bool more = true; more; ++index) {
                if (s_[at] != '"') return kFailed;
                at = member<R>(at, depth, index);
                if (at == kFailed) return kFailed;
                at = next_item(at, '}', more);
                if (at == kFailed) return kFailed;
            }
            return at;
        }
    }

    // One member at `at` (its key's opening quote) of an object of role R, which records none.
    template <Role R>
    [[gnu::always_inline]] std::size_t member(std::size_t at, int depth, std::size_t index) {
        if constexpr (R == Role::msg) {
            return msg_member(at, depth, index);
        } else {
            at = string(at, string_use(R), nullptr);
            if (at == kFailed || (at = colon(at)) == kFailed) return kFailed;
            ValueKind kind;
            return value(at, R, depth, false, false, kind, nullptr);
        }
    }

    // What a recorded object's loop keeps in registers, written back at its end.
    struct Recording {
        ScannedMember* members;
        std::size_t count;
        std::uint64_t bloom;
        bool duplicate;
    };

    // The members of an object of role top or fields, from the first key at `at`.
    [[gnu::always_inline]] std::size_t recorded_object(std::size_t at, int depth, Role role,
                                                       MemberList& members,
                                                       std::uint64_t& bloom,
                                                       std::array<int, kKnownKeyCount>& known_index,
                                                       bool& duplicate) {
        // Appended to what an earlier object of the role left (a repeated "MSG").
        Recording recording{members.data(), members.size(), bloom, false};
        for (bool more = true; more;) {
            if (s_[at] != '"') return kFailed;
            at = recorded_member(at, recording, known_index, role, depth);
            if (at == kFailed) return kFailed;
            at = next_item(at, '}', more);
            if (at == kFailed) return kFailed;
        }
        members.resize(recording.count);
        bloom = recording.bloom;
        duplicate |= recording.duplicate;
        return at;
    }

    [[gnu::always_inline]] std::size_t recorded_member(
        std::size_t at, Recording& recording, std::array<int, kKnownKeyCount>& known_index,
        Role role, int depth) {
        if (recording.count == MemberList::kCapacity) return kFailed;
        ScannedMember* member = recording.members + recording.count++;
        at = string(at, Use::record, &member->key);
        if (at == kFailed || (at = colon(at)) == kFailed) return kFailed;
        const std::string_view key = member->key.bytes;
        // Every text is followed by at least eight readable bytes (the line's padding or the
        // decoded buffer's): one load and a mask give the prefix.
        std::uint64_t prefix = 0;
        std::memcpy(&prefix, key.data(), 8);
        prefix &= kPrefixMasks[std::min<std::size_t>(key.size(), 8)];
        member->key_prefix = prefix;
        const std::uint64_t hash = prefix * kKeyHash;
        const KnownKey known = known_key_of(key.size(), prefix, hash);
        member->known = known;
        if (s_[at] == '"') {
            member->kind = ValueKind::text;
            at = string(at, Use::record, &member->value);
        } else {
            member->value = ScannedText();
            at = value(at, role, depth, known == KnownKey::msg, false, member->kind,
                       &member->value);
        }
        if (at == kFailed) return kFailed;
        const auto index = static_cast<int>(recording.count - 1);
        if (known != KnownKey::other) {
            int& first = known_index[static_cast<std::size_t>(known)];
            if (first < 0) first = index;
        }
        const std::uint64_t bit = key_bit_of_hash(hash);
        if ((recording.bloom & bit) != 0) [[unlikely]] {
            for (int i = 0; i < index; ++i) {
                recording.duplicate |= same_key(recording.members[i], *member);
            }
        }
        recording.bloom |= bit;
        return at;
    }

    std::size_t msg_member(std::size_t at, int depth, std::size_t index) {
        ScannedText* name = scan_.msg_names_.add();
        if (name == nullptr) return kFailed;
        at = string(at, Use::record, name);
        if (at == kFailed || (at = colon(at)) == kFailed) return kFailed;
        if (index == 0) scan_.msg_first_name_ = *name;
        for (std::size_t i = 0; i + 1 < scan_.msg_names_.size(); ++i) {
            scan_.msg_duplicates_ |= scan_.msg_names_[i].bytes == name->bytes;
        }
        ValueKind kind;
        at = value(at, Role::msg, depth, false, index == 0, kind, nullptr);
        if (index == 0) scan_.msg_first_kind_ = kind;
        return at;
    }

    EventScan& scan_;
    const LineMasks& masks_;
    const char* s_;
    std::size_t end_;
};

EventScan::EventScan(VectorLevel level) : level_(level) {}
EventScan::~EventScan() = default;

ScanOutcome EventScan::scan(std::string_view line) {
    members_.clear();
    fields_.clear();
    msg_names_.clear();
    known_index_.fill(-1);
    field_index_.fill(-1);
    key_bloom_ = fields_bloom_ = 0;
    msg_first_name_ = ScannedText();
    msg_first_kind_ = ValueKind::null;
    duplicate_keys_ = msg_duplicates_ = controls_ = false;
    decoded_used_ = 0;
    // Room for every text decoded, and a word of padding; given back after a very long line.
    constexpr std::size_t kKeep = std::size_t{1} << 20;
    if (decoded_capacity_ < line.size() || (decoded_capacity_ > kKeep && line.size() < kKeep / 2)) {
        const std::size_t capacity = std::max<std::size_t>(line.size(), 4096);
        decoded_.reset(new char[capacity + 8]);
        decoded_capacity_ = capacity;
    }
    if (!masks_.build(line, level_)) return ScanOutcome::not_utf8;
    EventWalker walker(*this);
    return walker.run() ? ScanOutcome::scanned : ScanOutcome::declined;
}

}  // namespace nerit::core
