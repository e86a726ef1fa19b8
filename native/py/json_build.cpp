// Builds Python objects from the JSON scanner's values, the way the host's json.loads does.
#include "py/json_build.hpp"

#include <cstdint>
#include <cstring>

#include "core/json_scan.hpp"

namespace nerit::py {
namespace {

namespace json = nerit::core::json;

// Mixes the first and last eight bytes and the length: keys that differ only in their middle
// share a slot and merely miss; equality is always checked in full.
std::uint32_t key_hash(std::string_view key) {
    std::size_t n = key.size();
    const char* s = key.data();
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    if (n >= 8) {
        std::memcpy(&head, s, 8);
        std::memcpy(&tail, s + n - 8, 8);
    } else if (n >= 4) {
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        head = a;
        tail = b;
    } else if (n > 0) {
        head = static_cast<unsigned char>(s[0]) | (static_cast<unsigned char>(s[n / 2]) << 8) |
               (static_cast<unsigned char>(s[n - 1]) << 16);
    }
    std::uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (tail + n);
    h *= 0xC2B2AE3D27D4EB4Full;
    return static_cast<std::uint32_t>(h >> 32);
}

Py_UCS4 max_char_of(json::Width width) {
    switch (width) {
        case json::Width::ascii:
            return 0x7F;
        case json::Width::latin1:
            return 0xFF;
        case json::Width::ucs2:
            return 0xFFFF;
        case json::Width::ucs4:
            break;
    }
    return 0x10FFFF;
}

// Writes code points into the canonical storage of a new str of the piece's width.
template <class Unit>
void store_code_points(const json::StringPiece& piece, Unit* out) {
    if (piece.escaped) {
        for (char32_t cp : piece.code_points) *out++ = static_cast<Unit>(cp);
        return;
    }
    auto p = reinterpret_cast<const unsigned char*>(piece.utf8.data());
    auto end = p + piece.utf8.size();
    while (p < end) {
        if (*p < 0x80) {
            *out++ = *p++;
            continue;
        }
        if (*p < 0xE0) {  // two bytes: Cyrillic and the rest of the common alphabets
            *out++ = static_cast<Unit>(((p[0] & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
            continue;
        }
        char32_t cp = 0;
        // The scanner already checked the sequence, so the length is never 0 here.
        p += json::decode_utf8(p, end, cp);
        *out++ = static_cast<Unit>(cp);
    }
}

Ref make_str(const json::StringPiece& piece) {
    auto length = static_cast<Py_ssize_t>(piece.length);
    Ref str = Ref::steal(PyUnicode_New(length, max_char_of(piece.width)));
    if (!str) return str;
    switch (PyUnicode_KIND(str.get())) {
        case PyUnicode_1BYTE_KIND:
            if (piece.width == json::Width::ascii && !piece.escaped) {
                std::memcpy(PyUnicode_1BYTE_DATA(str.get()), piece.utf8.data(), piece.length);
            } else {
                store_code_points(piece, PyUnicode_1BYTE_DATA(str.get()));
            }
            break;
        case PyUnicode_2BYTE_KIND:
            store_code_points(piece, PyUnicode_2BYTE_DATA(str.get()));
            break;
        default:
            store_code_points(piece, PyUnicode_4BYTE_DATA(str.get()));
            break;
    }
    return str;
}

// The scanner's builder: every value a new reference; a failed call leaves a Python error set.
class PythonBuilder {
  public:
    using Value = Ref;

    explicit PythonBuilder(KeyCache* keys) : keys_(keys) {}

    Ref null_value() { return Ref::borrow(Py_None); }
    Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
    Ref integer(std::int64_t value) { return Ref::steal(PyLong_FromLongLong(value)); }
    Ref real(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
    Ref string(const json::StringPiece& piece) { return make_str(piece); }
    Ref key(const json::StringPiece& piece) {
        if (keys_ != nullptr && !piece.escaped && piece.width == json::Width::ascii &&
            piece.length <= KeyCache::kMaxKeyLength) {
            return keys_->get(piece.utf8);
        }
        return make_str(piece);
    }
    Ref new_object() { return Ref::steal(PyDict_New()); }
    Ref new_array() { return Ref::steal(PyList_New(0)); }
    // Plain item assignment, as the host decoder does: a repeated key keeps its first position
    // and takes the last value.
    bool set_member(Ref& object, Ref key, Ref value) {
        return PyDict_SetItem(object.get(), key.get(), value.get()) == 0;
    }
    bool append(Ref& array, Ref value) { return PyList_Append(array.get(), value.get()) == 0; }

  private:
    KeyCache* keys_;
};

}  // namespace

Ref KeyCache::get(std::string_view ascii_key) {
    Ref& slot = slots_[key_hash(ascii_key) % kSlots];
    PyObject* cached = slot.get();
    if (cached != nullptr &&
        static_cast<std::size_t>(PyUnicode_GET_LENGTH(cached)) == ascii_key.size() &&
        std::memcmp(PyUnicode_1BYTE_DATA(cached), ascii_key.data(), ascii_key.size()) == 0) {
        return slot;
    }
    json::StringPiece piece;
    piece.utf8 = ascii_key;
    piece.length = ascii_key.size();
    Ref fresh = make_str(piece);
    if (fresh) slot = fresh;
    return fresh;
}

void KeyCache::clear() {
    for (Ref& slot : slots_) slot.reset();
}

Ref json_decode_fast(std::string_view utf8_text, KeyCache* keys) {
    PythonBuilder builder(keys);
    Ref value;
    switch (json::scan(utf8_text, builder, value)) {
        case json::ScanResult::ok:
            return value;
        case json::ScanResult::declined:
            return Ref();
        case json::ScanResult::builder_failed:
            break;
    }
    // Only running out of memory is the decoder's own failure; anything else the builder met
    // is left for the host decoder to meet (or not) in its own way.
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
    return Ref();
}

Ref json_decode_fast(PyObject* text, KeyCache* keys) {
    if (PyUnicode_READY(text) < 0) return Ref();
    auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    if (PyUnicode_IS_ASCII(text)) {
        return json_decode_fast(
            std::string_view(static_cast<const char*>(PyUnicode_DATA(text)), size), keys);
    }
    // Event lines are a few hundred bytes; longer text takes the host's UTF-8 form.
    constexpr std::size_t kStackBytes = 8192;
    char buffer[kStackBytes];
    std::ptrdiff_t written = -1;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if (size <= kStackBytes / json::kMaxUtf8PerUnit<Py_UCS1>) {
                written = json::encode_utf8(PyUnicode_1BYTE_DATA(text), size, buffer);
            }
            break;
        case PyUnicode_2BYTE_KIND:
            if (size <= kStackBytes / json::kMaxUtf8PerUnit<Py_UCS2>) {
                written = json::encode_utf8(PyUnicode_2BYTE_DATA(text), size, buffer);
                if (written < 0) return Ref();  // a surrogate
            }
            break;
        default:
            if (size <= kStackBytes / json::kMaxUtf8PerUnit<Py_UCS4>) {
                written = json::encode_utf8(PyUnicode_4BYTE_DATA(text), size, buffer);
                if (written < 0) return Ref();
            }
            break;
    }
    if (written >= 0) {
        return json_decode_fast(std::string_view(buffer, static_cast<std::size_t>(written)), keys);
    }
    Py_ssize_t utf8_size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &utf8_size);
    if (utf8 == nullptr) {
        // Surrogates have no UTF-8 form; only memory exhaustion is the decoder's own failure.
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
        return Ref();
    }
    return json_decode_fast(std::string_view(utf8, static_cast<std::size_t>(utf8_size)), keys);
}

}  // namespace nerit::py
