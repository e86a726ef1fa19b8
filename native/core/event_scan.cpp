// Scanning an event line into spans: a builder for the JSON scanner that records only what the
// filters and layouts read, and where the viewer's escaping would change it.
#include "core/event_scan.hpp"

#include <bit>
#include <charconv>
#include <cstring>

#include "core/control_escape.hpp"
#include "core/json_scan.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Every known key has at most eight bytes, so its length and prefix identify it.
KnownKey known_key(std::size_t size, std::uint64_t prefix) noexcept {
    switch (size) {
        case 3:
            return prefix == prefix_of("MSG") ? KnownKey::msg : KnownKey::other;
        case 4:
            return prefix == prefix_of("DATE") ? KnownKey::date : KnownKey::other;
        case 6:
            return prefix == prefix_of("source") ? KnownKey::source : KnownKey::other;
        case 7:
            switch (prefix) {
                case prefix_of("ISODATE"):
                    return KnownKey::isodate;
                case prefix_of("type_ru"):
                    return KnownKey::type_ru;
                case prefix_of("type_en"):
                    return KnownKey::type_en;
                case prefix_of("name_ru"):
                    return KnownKey::name_ru;
                case prefix_of("name_en"):
                    return KnownKey::name_en;
                default:
                    return KnownKey::other;
            }
        case 8:
            return prefix == prefix_of("PRIORITY") ? KnownKey::priority : KnownKey::other;
        default:
            return KnownKey::other;
    }
}

}  // namespace

KnownKey known_key(std::string_view key) noexcept {
    return known_key(key.size(), key_prefix(key));
}

std::uint64_t key_prefix(std::string_view key) noexcept {
    std::uint64_t prefix = 0;
    if (!key.empty()) std::memcpy(&prefix, key.data(), key.size() < 8 ? key.size() : 8);
    return prefix;
}

bool utf8_has_del_or_c1(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    // C1 characters are encoded C2 80..C2 9F.
    auto control_at = [end](const unsigned char* at) {
        return *at == 0x7F || (*at == 0xC2 && at + 1 < end && at[1] >= 0x80 && at[1] <= 0x9F);
    };
#if defined(__SSE2__)
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, del), _mm_cmpeq_epi8(chunk, c2))));
        for (; mask != 0; mask &= mask - 1) {
            if (control_at(p + __builtin_ctz(mask))) return true;
        }
    }
#endif
    for (; p < end; ++p) {
        if (control_at(p)) return true;
    }
    return false;
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

bool is_container(ValueKind kind) noexcept {
    return kind == ValueKind::array || kind == ValueKind::object;
}

bool escaped_controls(std::span<const char32_t> code_points) noexcept {
    bool found = false;
    for (char32_t cp : code_points) found |= is_escaped_control(cp);
    return found;
}

}  // namespace

// The scanner's builder (see json_scan.hpp for the interface). Containers are frames on a
// stack; a text is decoded straight into the member it belongs to (a key opens the member, its
// value completes it), so the values handed through the scanner carry only their kind.
class SpanBuilder {
  public:
    struct Value {
        ValueKind kind = ValueKind::null;
        bool ok = false;
        explicit operator bool() const noexcept { return ok; }
    };

    SpanBuilder(EventScan& scan, std::string_view line) noexcept
        : scan_(scan),
          line_begin_(line.data()),
          line_end_(line.data() + line.size()),
          // Without a DEL or C1 byte in the line only escapes can bring a control character.
          line_controls_(utf8_has_del_or_c1(line)) {}

    Value null_value() noexcept { return made(ValueKind::null); }
    Value boolean(bool value) noexcept {
        return made(value ? ValueKind::boolean_true : ValueKind::boolean_false);
    }
    Value real(double) noexcept { return made(ValueKind::real); }
    Value integer(std::int64_t value) noexcept {
        MemberList* members = recorded_members();
        if (members == nullptr) return made(ValueKind::integer);
        // The decimal form is never longer than the number's own text in the line.
        char* at = scan_.decoded_.get() + scan_.decoded_used_;
        char* limit = scan_.decoded_.get() + scan_.decoded_capacity_;
        auto [end, error] = std::to_chars(at, limit, value);
        if (error != std::errc()) return Value();
        const auto size = static_cast<std::size_t>(end - at);
        ScannedText& text = members->back().value;
        text.bytes = std::string_view(at, size);
        text.length = static_cast<std::uint32_t>(size);
        scan_.decoded_used_ += size;
        return made(ValueKind::integer);
    }
    Value string(const json::StringPiece& piece) noexcept { return value_text(piece); }
    Value key(const json::StringPiece& piece) noexcept { return key_text(piece); }

    Value new_object() noexcept { return open(ValueKind::object); }
    Value new_array() noexcept { return open(ValueKind::array); }

    bool set_member(Value&, Value, Value value) noexcept {
        if (is_container(value.kind)) close();
        Frame& frame = frames_[depth_ - 1];
        switch (frame.role) {
            case Role::top:
                finish_member(scan_.members_, value.kind, scan_.key_bloom_, scan_.known_index_,
                              scan_.duplicate_keys_);
                break;
            case Role::msg:
                if (frame.members == 0) scan_.msg_first_kind_ = value.kind;
                break;
            case Role::fields:
                finish_member(scan_.fields_, value.kind, fields_bloom_, scan_.field_index_,
                              scan_.msg_duplicates_);
                break;
            case Role::inside_msg:
            case Role::other:
                break;
        }
        ++frame.members;
        return true;
    }

    bool append(Value&, Value value) noexcept {
        if (is_container(value.kind)) close();
        return true;
    }

  private:
    struct Frame {
        Role role;
        KnownKey last_key;  // objects: the known key of the member being scanned
        std::uint32_t members;
    };

    using MemberList = FixedList<ScannedMember, 64>;

    static Value made(ValueKind kind) noexcept { return Value{kind, true}; }

    // A container was closed: the one around it is the innermost again.
    void close() noexcept {
        --depth_;
        role_ = depth_ == 0 ? Role::other : frames_[depth_ - 1].role;
    }

    // The list whose last member the innermost container is filling, if it keeps one.
    MemberList* recorded_members() noexcept {
        switch (role_) {
            case Role::top:
                return &scan_.members_;
            case Role::fields:
                return &scan_.fields_;
            default:
                return nullptr;
        }
    }

    Value open(ValueKind kind) noexcept {
        if (depth_ == frames_.size()) return Value();
        Role child = Role::other;
        if (depth_ == 0) {
            child = kind == ValueKind::object ? Role::top : Role::other;
        } else {
            const Frame& parent = frames_[depth_ - 1];
            switch (parent.role) {
                case Role::top:
                    if (kind == ValueKind::object && parent.last_key == KnownKey::msg) {
                        child = Role::msg;
                    }
                    break;
                case Role::msg:
                    child = kind == ValueKind::object && parent.members == 0 ? Role::fields
                                                                             : Role::inside_msg;
                    break;
                case Role::fields:
                case Role::inside_msg:
                    child = Role::inside_msg;
                    break;
                case Role::other:
                    break;
            }
        }
        frames_[depth_++] = Frame{child, KnownKey::other, 0};
        role_ = child;
        return made(kind);
    }

    // Whether the escaping would change a text that nobody records.
    void note_controls(const json::StringPiece& piece) noexcept {
        scan_.controls_ |= piece.escaped ? escaped_controls(piece.code_points)
                                         : line_controls_ && utf8_has_del_or_c1(piece.utf8);
    }

    Value key_text(const json::StringPiece& piece) noexcept {
        if (role_ == Role::msg) {
            ScannedText* name = scan_.msg_names_.add();
            if (name == nullptr || !decode(piece, *name)) return Value();
            if (scan_.msg_names_.size() == 1) scan_.msg_first_name_ = *name;
            for (std::size_t i = 0; i + 1 < scan_.msg_names_.size(); ++i) {
                scan_.msg_duplicates_ |= scan_.msg_names_[i].bytes == name->bytes;
            }
            ++scan_.msg_members_;
            return made(ValueKind::text);
        }
        MemberList* members = recorded_members();
        if (members == nullptr) {
            if (role_ == Role::inside_msg) note_controls(piece);
            return made(ValueKind::text);
        }
        ScannedMember* member = members->add();
        if (member == nullptr) return Value();
        member->value = ScannedText();  // every other part is written below or on completion
        if (!decode(piece, member->key)) return Value();
        member->key_prefix = prefix(member->key.bytes);
        member->known = known_key(member->key.bytes.size(), member->key_prefix);
        frames_[depth_ - 1].last_key = member->known;
        return made(ValueKind::text);
    }

    Value value_text(const json::StringPiece& piece) noexcept {
        MemberList* members = recorded_members();
        if (members != nullptr) {
            if (!decode(piece, members->back().value)) return Value();
        } else if (role_ != Role::other) {
            note_controls(piece);  // the message block's own values
        }
        return made(ValueKind::text);
    }

    // key_prefix(), by one load where the line goes on for eight more bytes.
    std::uint64_t prefix(std::string_view key) const noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(key.data());
        const bool in_line = at >= reinterpret_cast<std::uintptr_t>(line_begin_) &&
                             at + 8 <= reinterpret_cast<std::uintptr_t>(line_end_);
        if (key.size() > 8 || !in_line) return key_prefix(key);
        std::uint64_t prefix = 0;
        std::memcpy(&prefix, key.data(), 8);
        return key.size() == 8 ? prefix : prefix & ((std::uint64_t{1} << (8 * key.size())) - 1);
    }

    bool decode(const json::StringPiece& piece, ScannedText& out) noexcept {
        out.length = static_cast<std::uint32_t>(piece.length);
        out.ascii = piece.width == json::Width::ascii;
        if (!piece.escaped) {
            // Field by field: one wide copy of the view would wait for its two narrow stores.
            out.bytes = std::string_view(piece.utf8.data(), piece.utf8.size());
            out.controls = line_controls_ && utf8_has_del_or_c1(out.bytes);
            scan_.controls_ |= out.controls;
            return true;
        }
        out.controls = escaped_controls(piece.code_points);
        scan_.controls_ |= out.controls;
        char* at = scan_.decoded_.get() + scan_.decoded_used_;
        const std::size_t room = scan_.decoded_capacity_ - scan_.decoded_used_;
        std::size_t needed = 0;
        for (char32_t cp : piece.code_points) {
            needed += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        }
        if (needed > room) return false;
        // A lone surrogate has no UTF-8 form: such a line is left to the host.
        const std::ptrdiff_t written =
            json::encode_utf8(piece.code_points.data(), piece.code_points.size(), at);
        if (written < 0) return false;
        out.bytes = std::string_view(at, static_cast<std::size_t>(written));
        scan_.decoded_used_ += static_cast<std::size_t>(written);
        return true;
    }

    // The member opened by its key is complete: its kind is known; check its key is new.
    static void finish_member(MemberList& members, ValueKind kind, std::uint64_t& bloom,
                              std::array<int, kKnownKeyCount>& known_index,
                              bool& duplicate) noexcept {
        ScannedMember& member = members.back();
        member.kind = kind;
        if (member.known != KnownKey::other) {
            int& index = known_index[static_cast<std::size_t>(member.known)];
            if (index < 0) index = static_cast<int>(members.size() - 1);
        }
        const std::uint64_t bit = key_bit(member);
        if ((bloom & bit) != 0) {
            for (std::size_t i = 0; i + 1 < members.size(); ++i) {
                duplicate |= same_key(members[i], member);
            }
        }
        bloom |= bit;
    }

    EventScan& scan_;
    const char* line_begin_;
    const char* line_end_;
    bool line_controls_;
    std::array<Frame, json::kMaxDepth + 1> frames_;
    std::size_t depth_ = 0;
    Role role_ = Role::other;  // of the innermost container
    std::uint64_t fields_bloom_ = 0;
};

EventScan::EventScan() = default;
EventScan::~EventScan() = default;

bool EventScan::scan(std::string_view line) {
    members_.clear();
    fields_.clear();
    msg_names_.clear();
    known_index_.fill(-1);
    field_index_.fill(-1);
    key_bloom_ = 0;
    msg_members_ = 0;
    msg_first_name_ = ScannedText();
    msg_first_kind_ = ValueKind::null;
    duplicate_keys_ = msg_duplicates_ = controls_ = false;
    decoded_used_ = 0;
    if (decoded_capacity_ < line.size()) {
        decoded_.reset(new char[line.size()]);
        decoded_capacity_ = line.size();
    }
    SpanBuilder builder(*this, line);
    SpanBuilder::Value top;
    return json::scan(line, builder, top) == json::ScanResult::ok && top.kind == ValueKind::object;
}

}  // namespace nerit::core
