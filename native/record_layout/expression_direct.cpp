// The expression layout in one pass over the event. While no inserted value holds a "%", every
// "%" of the text is one of the expression's own, and the characters after it up to the next
// "%" stay as the expression has them until a key is put there: so each "%" takes the value of
// the first key, in event order, that those characters start with, and the text is written once.
#include "record_layout/expression_direct.hpp"

#include <algorithm>
#include <cstring>

namespace nerit::layout {
namespace {

using py::Ref;

// Expressions with more "%" than this go the general way.
constexpr int kMaxSites = 32;

// One "%" of the expression.
struct Site {
    Py_ssize_t at;       // index of the "%"
    Py_ssize_t room;     // characters after it, up to the next "%" or the end
    Py_UCS4 first;       // the character after it (when room > 0)
    bool last;           // no "%" follows it
    PyObject* value;     // what replaces it (borrowed from the event); nullptr while open
    Py_ssize_t removed;  // length of the placeholder that `value` replaces
};

// The "%" positions of `expression`; false when there are too many, or when one is followed
// directly by another (its placeholder could then run into text inserted later).
bool find_sites(PyObject* expression, Site* sites, int& count) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(expression);
    const int kind = PyUnicode_KIND(expression);
    const void* data = PyUnicode_DATA(expression);
    count = 0;
    Py_ssize_t at = -1;
    auto next = [&](Py_ssize_t from) -> Py_ssize_t {
        if (kind == PyUnicode_1BYTE_KIND) {
            const char* begin = static_cast<const char*>(data);
            const void* found =
                std::memchr(begin + from, '%', static_cast<std::size_t>(length - from));
            return found == nullptr ? -1 : static_cast<const char*>(found) - begin;
        }
        for (Py_ssize_t i = from; i < length; ++i) {
            if (PyUnicode_READ(kind, data, i) == '%') return i;
        }
        return -1;
    };
    for (at = next(0); at >= 0;) {
        if (count == kMaxSites) return false;
        const Py_ssize_t following = at + 1 < length ? next(at + 1) : -1;
        Site& site = sites[count++];
        site.at = at;
        site.last = following < 0;
        site.room = (site.last ? length : following) - at - 1;
        if (site.room == 0 && !site.last) return false;
        site.first = site.room > 0 ? PyUnicode_READ(kind, data, at + 1) : 0;
        site.value = nullptr;
        site.removed = 0;
        at = following;
    }
    return true;
}

// Whether `count` characters of `text` from `from` equal the first `count` of `key`.
bool same_text(PyObject* text, Py_ssize_t from, PyObject* key, Py_ssize_t count) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const int key_kind = PyUnicode_KIND(key);
    const void* key_data = PyUnicode_DATA(key);
    if (kind == key_kind) {
        return std::memcmp(static_cast<const char*>(data) + from * kind, key_data,
                           static_cast<std::size_t>(count * kind)) == 0;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_READ(kind, data, from + i) != PyUnicode_READ(key_kind, key_data, i)) {
            return false;
        }
    }
    return true;
}

bool holds_percent(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        return std::memchr(PyUnicode_DATA(text), '%', static_cast<std::size_t>(length)) != nullptr;
    }
    return PyUnicode_FindChar(text, '%', 0, length, 1) != -1;
}

// Puts `value` into every open site whose text starts with `key`. False when the outcome
// cannot be told from the expression alone.
bool place(PyObject* expression, Site* sites, int count, int& open, PyObject* key,
           PyObject* value) {
    const Py_ssize_t key_length = PyUnicode_GET_LENGTH(key);
    const Py_UCS4 first = PyUnicode_READ_CHAR(key, 0);
    bool value_checked = false;
    for (int i = 0; i < count; ++i) {
        Site& site = sites[i];
        if (site.value != nullptr || site.room == 0 || site.first != first) continue;
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
        site.value = value;
        site.removed = key_length + 1;
        --open;
    }
    return true;
}

Ref write_text(PyObject* expression, const Site* sites, int count) {
    const bool ascii = PyUnicode_IS_ASCII(expression);
    Py_ssize_t length = PyUnicode_GET_LENGTH(expression);
    Py_UCS4 widest = 127;
    Py_ssize_t kept_from = 0;
    for (int i = 0; i < count; ++i) {
        const Site& site = sites[i];
        if (site.value == nullptr) continue;
        const Py_ssize_t inserted = PyUnicode_GET_LENGTH(site.value);
        if (inserted - site.removed > PY_SSIZE_T_MAX - length) return Ref::steal(PyErr_NoMemory());
        length += inserted - site.removed;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(site.value));
        // The result's kind must be the narrowest that holds it, as for any str.
        if (!ascii)
            widest = std::max(widest, _PyUnicode_FindMaxChar(expression, kept_from, site.at));
        kept_from = site.at + site.removed;
    }
    if (!ascii) {
        widest = std::max(widest, _PyUnicode_FindMaxChar(expression, kept_from,
                                                         PyUnicode_GET_LENGTH(expression)));
    }
    Ref text = Ref::steal(PyUnicode_New(length, widest));
    if (!text) return text;
    Py_ssize_t written = 0;
    kept_from = 0;
    for (int i = 0; i < count; ++i) {
        const Site& site = sites[i];
        if (site.value == nullptr) continue;
        _PyUnicode_FastCopyCharacters(text.get(), written, expression, kept_from,
                                      site.at - kept_from);
        written += site.at - kept_from;
        const Py_ssize_t inserted = PyUnicode_GET_LENGTH(site.value);
        _PyUnicode_FastCopyCharacters(text.get(), written, site.value, 0, inserted);
        written += inserted;
        kept_from = site.at + site.removed;
    }
    _PyUnicode_FastCopyCharacters(text.get(), written, expression, kept_from,
                                  PyUnicode_GET_LENGTH(expression) - kept_from);
    return text;
}

}  // namespace

Ref expression_direct(PyObject* expression, PyObject* event) {
    if (!PyUnicode_CheckExact(expression) || !PyDict_CheckExact(event)) return Ref();
    Site sites[kMaxSites];
    int count = 0;
    if (!find_sites(expression, sites, count)) return Ref();
    int open = count;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Nothing below runs Python code, so the event cannot change while it is read.
    while (PyDict_Next(event, &pos, &key, &value)) {
        // Every value is used as replacement text, so each must be a str; the general way
        // raises the host's error for any other.
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value) ||
            PyUnicode_GET_LENGTH(key) == 0) {
            return Ref();
        }
        if (open > 0 && !place(expression, sites, count, open, key, value)) return Ref();
    }
    if (open == count) return Ref::borrow(expression);  // str.replace found nothing to replace
    return write_text(expression, sites, count);
}

}  // namespace nerit::layout
