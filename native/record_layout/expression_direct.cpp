// The expression layout in one pass over the event. While no inserted value holds a "%", every
// "%" of the text is one of the expression's own, and the characters after it up to the next
// "%" stay as the expression has them until a key is put there: so each "%" takes the value of
// the first key, in event order, that those characters start with, and the text is written once.
#include "record_layout/expression_direct.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <utility>

#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

using py::Ref;
using Site = ExpressionPlan::Site;

// Short texts: a plain loop beats the set-up of a library call.
Py_ssize_t find_percent(int kind, const void* data, Py_ssize_t from, Py_ssize_t length) {
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* chars = static_cast<const unsigned char*>(data);
        for (Py_ssize_t i = from; i < length; ++i) {
            if (chars[i] == '%') return i;
        }
        return -1;
    }
    for (Py_ssize_t i = from; i < length; ++i) {
        if (PyUnicode_READ(kind, data, i) == '%') return i;
    }
    return -1;
}

// Whether `count` characters of `text` from `from` equal the first `count` of `key`.
bool same_text(PyObject* text, Py_ssize_t from, PyObject* key, Py_ssize_t count) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const int key_kind = PyUnicode_KIND(key);
    const void* key_data = PyUnicode_DATA(key);
    if (kind == PyUnicode_1BYTE_KIND && key_kind == PyUnicode_1BYTE_KIND) {
        const auto* a = static_cast<const unsigned char*>(data) + from;
        const auto* b = static_cast<const unsigned char*>(key_data);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_READ(kind, data, from + i) != PyUnicode_READ(key_kind, key_data, i)) {
            return false;
        }
    }
    return true;
}

// What each site receives during one call.
struct Placed {
    PyObject* value;     // borrowed from the event
    Py_ssize_t removed;  // length of the placeholder that `value` replaces
};

// Copies `count` one-byte characters; false when one of them is a "%". Eight at a time: a word
// holds a "%" exactly when its XOR with eight of them holds a zero byte.
bool copy_without_percent(char* out, const char* from, Py_ssize_t count) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    constexpr std::uint64_t percents = ones * static_cast<unsigned char>('%');
    const auto length = static_cast<std::size_t>(count);
    auto word_has_percent = [&](std::size_t at) {
        std::uint64_t word;
        std::memcpy(&word, from + at, 8);
        std::memcpy(out + at, &word, 8);
        const std::uint64_t x = word ^ percents;
        return (x - ones) & ~x & highs;
    };
    if (length < 8) {
        copy_bytes(out, from, length);
        return std::memchr(from, '%', length) == nullptr;
    }
    std::uint64_t found = 0;
    for (std::size_t i = 0; i + 8 <= length; i += 8) found |= word_has_percent(i);
    found |= word_has_percent(length - 8);  // the last word, overlapping the one before
    return found == 0;
}

bool holds_percent(PyObject* text) {
    return find_percent(PyUnicode_KIND(text), PyUnicode_DATA(text), 0,
                        PyUnicode_GET_LENGTH(text)) >= 0;
}

// The text with the values placed at the sites of `filled`; empty Ref without an error when an
// inserted value holds a "%" (a later key could then match inside it: only the general way can
// tell).
Ref write_text(const ExpressionPlan& plan, PyObject* expression, const Placed* placed,
               std::uint32_t filled) {
    const bool ascii = PyUnicode_IS_ASCII(expression);
    const Py_ssize_t expression_length = PyUnicode_GET_LENGTH(expression);
    Py_ssize_t length = expression_length;
    Py_UCS4 widest = 127;
    Py_ssize_t kept_from = 0;
    for (std::uint32_t left = filled; left != 0; left &= left - 1) {
        const int i = std::countr_zero(left);
        const Py_ssize_t inserted = PyUnicode_GET_LENGTH(placed[i].value);
        if (inserted > PY_SSIZE_T_MAX - length) return Ref::steal(PyErr_NoMemory());
        length += inserted - placed[i].removed;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(placed[i].value));
        // The result's kind must be the narrowest that holds it, as for any str.
        if (!ascii) widest = std::max(widest, widest_char(expression, kept_from, plan.sites[i].at));
        kept_from = plan.sites[i].at + placed[i].removed;
    }
    if (!ascii) widest = std::max(widest, widest_char(expression, kept_from, expression_length));
    Ref text = Ref::steal(PyUnicode_New(length, widest));
    if (!text) return text;
    const bool bytes = PyUnicode_KIND(text.get()) == PyUnicode_1BYTE_KIND;
    char* out = static_cast<char*>(PyUnicode_DATA(text.get()));
    Py_ssize_t written = 0;
    // Short pieces: a plain loop beats the set-up of a library call.
    const bool bytes_kept = bytes && PyUnicode_KIND(expression) == PyUnicode_1BYTE_KIND;
    auto copy_kept = [&](Py_ssize_t start, Py_ssize_t chars) {
        if (bytes_kept) {
            copy_bytes(out + written, static_cast<const char*>(PyUnicode_DATA(expression)) + start,
                       static_cast<std::size_t>(chars));
        } else {
            copy_characters(text.get(), written, expression, start, chars);
        }
        written += chars;
    };
    kept_from = 0;
    for (std::uint32_t left = filled; left != 0; left &= left - 1) {
        const int i = std::countr_zero(left);
        PyObject* const value = placed[i].value;
        copy_kept(kept_from, plan.sites[i].at - kept_from);
        const Py_ssize_t chars = PyUnicode_GET_LENGTH(value);
        if (bytes) {
            // A one-byte result means every inserted value is one-byte text too.
            if (!copy_without_percent(out + written,
                                      static_cast<const char*>(PyUnicode_DATA(value)), chars)) {
                return Ref();
            }
        } else {
            if (holds_percent(value)) return Ref();
            copy_characters(text.get(), written, value, 0, chars);
        }
        written += chars;
        kept_from = plan.sites[i].at + placed[i].removed;
    }
    copy_kept(kept_from, expression_length - kept_from);
    return text;
}

}  // namespace

// The sites are the "%" signs that a key could take: a "%" at the very end can never be
// replaced and stays as written. The plan is unusable when there are too many, or when one
// "%" directly follows another (a placeholder could then run into text inserted later).
bool ExpressionPlan::prepare(PyObject* expression_now) {
    if (expression.is(expression_now)) return usable;
    release();
    expression = Ref::borrow(expression_now);
    // The key cache was filled for the previous expression (release() emptied it).
    const Py_ssize_t length = PyUnicode_GET_LENGTH(expression_now);
    const int kind = PyUnicode_KIND(expression_now);
    const void* data = PyUnicode_DATA(expression_now);
    count = 0;
    std::fill(std::begin(sites_by_first), std::end(sites_by_first), 0u);
    other_sites = 0;
    usable = false;
    for (Py_ssize_t at = find_percent(kind, data, 0, length); at >= 0 && at + 1 < length;) {
        const Py_ssize_t following = find_percent(kind, data, at + 1, length);
        if (following == at + 1 || count == kMaxSites) return false;
        Site& site = sites[count++];
        site.at = at;
        site.last = following < 0;
        site.room = (site.last ? length : following) - at - 1;
        site.first = PyUnicode_READ(kind, data, at + 1);
        (site.first < 128 ? sites_by_first[site.first] : other_sites) |= std::uint32_t{1}
                                                                         << (count - 1);
        at = following;
    }
    usable = true;
    return true;
}

// A key's sites follow from the expression alone: each site whose text starts with the key
// takes it, unless the key runs past the next "%" (it could then match text inserted later,
// which only the general way can tell).
const ExpressionPlan::KeySites& ExpressionPlan::sites_by_text(PyObject* key, Py_hash_t hash) {
    if (hash == -1) {
        hash = PyObject_Hash(key);
        if (hash == -1) {
            PyErr_Clear();
            hash = 0;
        }
    }
    KeySet& set = key_sets[static_cast<std::size_t>(hash) & (kKeySets - 1)];
    for (int way = 0; way < 2; ++way) {
        KeySites& known = set.way[way];
        if (known.key && known.hash == hash && same_str(known.key.get(), key)) {
            set.recent = way;
            return known;
        }
    }
    const Py_ssize_t key_length = PyUnicode_GET_LENGTH(key);
    const Py_UCS4 first = PyUnicode_READ(PyUnicode_KIND(key), PyUnicode_DATA(key), 0);
    std::uint32_t candidates = first < 128 ? sites_by_first[first] : other_sites;
    std::uint32_t takes = 0;
    std::uint32_t overreach = 0;
    for (; candidates != 0; candidates &= candidates - 1) {
        const int i = std::countr_zero(candidates);
        const Site& site = sites[i];
        if (site.first != first) continue;
        if (key_length > site.room) {
            if (!site.last && same_text(expression.get(), site.at + 1, key, site.room)) {
                overreach |= std::uint32_t{1} << i;
            }
        } else if (same_text(expression.get(), site.at + 1, key, key_length)) {
            takes |= std::uint32_t{1} << i;
        }
    }
    // The way not found last gives room.
    const int way = set.way[0].key ? (set.way[1].key ? 1 - set.recent : 1) : 0;
    set.way[way] = {Ref::borrow(key), hash, takes, overreach};
    set.recent = way;
    return set.way[way];
}

void ExpressionPlan::release() {
    expression.reset();
    for (KeySet& set : key_sets) {
        for (KeySites& known : set.way) known.key.reset();
    }
    usable = false;
}

int ExpressionPlan::traverse(visitproc visit, void* arg) const {
    Py_VISIT(expression.get());
    for (const KeySet& set : key_sets) {
        for (const KeySites& known : set.way) Py_VISIT(known.key.get());
    }
    return 0;
}

Ref expression_direct(ExpressionPlan& plan, PyObject* expression, PyObject* event) {
    if (!PyUnicode_CheckExact(expression) || !PyDict_CheckExact(event)) return Ref();
    if (!plan.prepare(expression)) return Ref();
    Placed placed[ExpressionPlan::kMaxSites];  // set where a site is taken
    std::uint32_t open =
        plan.count == 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << plan.count) - 1;
    const std::uint32_t all_sites = open;
    // Nothing below runs Python code, so the event cannot change while it is read.
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(event, &position, &key, &value)) {
        // Every value is used as replacement text, so each must be a str (the general way
        // raises the host's error for any other); an empty key matches every "%"; any key that
        // is not a str goes the general way too.
        if (!PyUnicode_CheckExact(value) || !PyUnicode_CheckExact(key) ||
            PyUnicode_GET_LENGTH(key) == 0) {
            return Ref();
        }
        if (open == 0) continue;  // only a final "%" may be left, which no key reaches
        // A key reaches only the open sites whose text starts with its first character.
        const Py_UCS4 first = PyUnicode_READ(PyUnicode_KIND(key), PyUnicode_DATA(key), 0);
        if (((first < 128 ? plan.sites_by_first[first] : plan.other_sites) & open) == 0) continue;
        const ExpressionPlan::KeySites& sites = plan.sites_of(key);
        if ((sites.overreach & open) != 0) return Ref();
        for (std::uint32_t taken = sites.takes & open; taken != 0; taken &= taken - 1) {
            const int i = std::countr_zero(taken);
            placed[i] = {value, PyUnicode_GET_LENGTH(key) + 1};
        }
        open &= ~sites.takes;
    }
    if (open == all_sites) return Ref::borrow(expression);  // str.replace found nothing
    return write_text(plan, expression, placed, all_sites & ~open);
}

}  // namespace nerit::layout
