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

// Whether `text` holds a "%", eight bytes at a time for one-byte text.
bool holds_percent(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    if (kind != PyUnicode_1BYTE_KIND)
        return find_percent(kind, PyUnicode_DATA(text), 0, length) >= 0;
    const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    Py_ssize_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, chars + i, sizeof word);
        const std::uint64_t x = word ^ (kOnes * '%');  // a zero byte where a "%" stands
        if (((x - kOnes) & ~x & kHigh) != 0) return true;
    }
    for (; i < length; ++i) {
        if (chars[i] == '%') return true;
    }
    return false;
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
    PyObject* value;     // borrowed from the event; nullptr while the site is open
    Py_ssize_t removed;  // length of the placeholder that `value` replaces
};

// Puts `value` into every open site whose text starts with `key`. False when the outcome
// cannot be told from the expression alone.
bool place(const ExpressionPlan& plan, PyObject* expression, Placed* placed, int& open,
           PyObject* key, Py_UCS4 first, std::uint32_t candidates, PyObject* value) {
    const Py_ssize_t key_length = PyUnicode_GET_LENGTH(key);
    bool value_checked = false;
    for (; candidates != 0; candidates &= candidates - 1) {
        const int i = std::countr_zero(candidates);
        const Site& site = plan.sites[i];
        if (site.first != first || placed[i].value != nullptr) continue;
        if (key_length > site.room) {
            // The placeholder would reach past the next "%": only the general way can tell.
            if (!site.last && same_text(expression, site.at + 1, key, site.room)) return false;
            continue;
        }
        if (!same_text(expression, site.at + 1, key, key_length)) continue;
        if (!value_checked) {
            if (holds_percent(value)) return false;
            value_checked = true;
        }
        placed[i] = {value, key_length + 1};
        --open;
    }
    return true;
}

Ref write_text(const ExpressionPlan& plan, PyObject* expression, const Placed* placed) {
    const bool ascii = PyUnicode_IS_ASCII(expression);
    const Py_ssize_t expression_length = PyUnicode_GET_LENGTH(expression);
    Py_ssize_t length = expression_length;
    Py_UCS4 widest = 127;
    Py_ssize_t kept_from = 0;
    for (int i = 0; i < plan.count; ++i) {
        if (placed[i].value == nullptr) continue;
        const Py_ssize_t inserted = PyUnicode_GET_LENGTH(placed[i].value);
        if (inserted > PY_SSIZE_T_MAX - length) return Ref::steal(PyErr_NoMemory());
        length += inserted - placed[i].removed;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(placed[i].value));
        // The result's kind must be the narrowest that holds it, as for any str.
        if (!ascii) {
            widest =
                std::max(widest, _PyUnicode_FindMaxChar(expression, kept_from, plan.sites[i].at));
        }
        kept_from = plan.sites[i].at + placed[i].removed;
    }
    if (!ascii) {
        widest = std::max(widest, _PyUnicode_FindMaxChar(expression, kept_from, expression_length));
    }
    Ref text = Ref::steal(PyUnicode_New(length, widest));
    if (!text) return text;
    const bool bytes = PyUnicode_KIND(text.get()) == PyUnicode_1BYTE_KIND;
    char* out = static_cast<char*>(PyUnicode_DATA(text.get()));
    Py_ssize_t written = 0;
    auto copy = [&](PyObject* from, Py_ssize_t start, Py_ssize_t chars) {
        if (bytes && PyUnicode_KIND(from) == PyUnicode_1BYTE_KIND) {
            std::memcpy(out + written, static_cast<const char*>(PyUnicode_DATA(from)) + start,
                        static_cast<std::size_t>(chars));
        } else {
            _PyUnicode_FastCopyCharacters(text.get(), written, from, start, chars);
        }
        written += chars;
    };
    kept_from = 0;
    for (int i = 0; i < plan.count; ++i) {
        if (placed[i].value == nullptr) continue;
        copy(expression, kept_from, plan.sites[i].at - kept_from);
        copy(placed[i].value, 0, PyUnicode_GET_LENGTH(placed[i].value));
        kept_from = plan.sites[i].at + placed[i].removed;
    }
    copy(expression, kept_from, expression_length - kept_from);
    return text;
}

}  // namespace

// The sites are the "%" signs that a key could take: a "%" at the very end can never be
// replaced and stays as written. The plan is unusable when there are too many, or when one
// "%" directly follows another (a placeholder could then run into text inserted later).
bool ExpressionPlan::prepare(PyObject* expression_now) {
    if (expression_now == expression) return usable;
    release();
    expression = Ref::borrow(expression_now).release();
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

void ExpressionPlan::release() {
    Ref dropped = Ref::steal(std::exchange(expression, nullptr));
    usable = false;
}

int ExpressionPlan::traverse(visitproc visit, void* arg) {
    Py_VISIT(expression);
    return 0;
}

Ref expression_direct(ExpressionPlan& plan, PyObject* expression, PyObject* event) {
    if (!PyUnicode_CheckExact(expression) || !PyDict_CheckExact(event)) return Ref();
    if (!plan.prepare(expression)) return Ref();
    Placed placed[ExpressionPlan::kMaxSites];
    for (int i = 0; i < plan.count; ++i) placed[i] = {nullptr, 0};
    int open = plan.count;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Nothing below runs Python code, so the event cannot change while it is read.
    while (PyDict_Next(event, &pos, &key, &value)) {
        // Every value is used as replacement text, so each must be a str (the general way
        // raises the host's error for any other); an empty key matches every "%".
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value) ||
            PyUnicode_GET_LENGTH(key) == 0) {
            return Ref();
        }
        if (open == 0) continue;  // only a final "%" may be left, which no key reaches
        const Py_UCS4 first = PyUnicode_READ(PyUnicode_KIND(key), PyUnicode_DATA(key), 0);
        const std::uint32_t candidates =
            first < 128 ? plan.sites_by_first[first] : plan.other_sites;
        if (candidates == 0) continue;
        if (!place(plan, expression, placed, open, key, first, candidates, value)) return Ref();
    }
    if (open == plan.count) return Ref::borrow(expression);  // str.replace found nothing
    return write_text(plan, expression, placed);
}

}  // namespace nerit::layout
