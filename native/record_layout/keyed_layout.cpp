// The detailed and raw layouts: one "key: value" line per top-level key, values aligned.
#include <algorithm>

#include "core/ascii_case.hpp"
#include "record_layout/formatting.hpp"
#include "record_layout/small_vector.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

// Keys or values of one event, held for the time of the call; an event of the usual size
// needs no allocation for them.
using Items = SmallVector<Ref, 32>;

// The event's (key, value) pairs in stored order, held for the time of the call.
bool collect_items(LayoutState& state, PyObject* event, Items& keys, Items& values) {
    if (PyDict_CheckExact(event)) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(event, &pos, &key, &value)) {
            keys.push_back(Ref::borrow(key));
            values.push_back(Ref::borrow(value));
        }
        return true;
    }
    PyObject* call[] = {event};
    Ref items = Ref::steal(PyObject_VectorcallMethod(state.attr_items.get(), call, 1, nullptr));
    if (!items) return false;
    Ref listed = Ref::steal(PySequence_List(items.get()));
    if (!listed) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(listed.get(), i);
        Ref pair = Ref::steal(PySequence_Tuple(item));
        if (!pair) return false;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(
                PyExc_ValueError, "%s to unpack (expected 2)",
                PyTuple_GET_SIZE(pair.get()) < 2 ? "not enough values" : "too many values");
            return false;
        }
        keys.push_back(Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)));
        values.push_back(Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)));
    }
    return true;
}

// len(key), for str keys without a call.
Py_ssize_t key_length(PyObject* key) {
    return PyUnicode_CheckExact(key) ? PyUnicode_GET_LENGTH(key) : PyObject_Length(key);
}

// key.capitalize(): natively for ASCII text, otherwise by the host's method.
Ref capitalized(Formatting& formatting, PyObject* key, bool native) {
    if (native && PyUnicode_CheckExact(key) && PyUnicode_IS_ASCII(key)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        Ref label = Ref::steal(PyUnicode_New(length, 127));
        if (!label) return label;
        core::capitalize_ascii(static_cast<const char*>(PyUnicode_DATA(key)),
                               static_cast<std::size_t>(length),
                               static_cast<char*>(PyUnicode_DATA(label.get())));
        return label;
    }
    PyObject* call[] = {key};
    return Ref::steal(
        PyObject_VectorcallMethod(formatting.state().attr_capitalize.get(), call, 1, nullptr));
}

// One line as Python evaluates it:
// self.__colorize(label + ":", "grey") + " " * (max_key_length - len(key)) + " " + str(value)
Ref build_line(Formatting& formatting, PyObject* key, PyObject* value, Py_ssize_t max_length,
               bool detailed, bool native) {
    LayoutState& state = formatting.state();
    Ref label = detailed ? capitalized(formatting, key, native) : Ref::borrow(key);
    if (!label) return label;
    Ref colon = Ref::steal(PyUnicode_FromString(":"));
    if (!colon) return colon;
    Ref labelled = Ref::steal(PyNumber_Add(label.get(), colon.get()));
    if (!labelled) return labelled;
    Ref coloured = formatting.colorize(labelled.get(), state.text_grey.get());
    if (!coloured) return coloured;
    const Py_ssize_t length = key_length(key);
    if (length < 0) return Ref();
    Ref padding = Ref::steal(PyUnicode_New(std::max<Py_ssize_t>(max_length - length, 0), 127));
    if (!padding) return padding;
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(padding.get()); ++i) {
        PyUnicode_WRITE(PyUnicode_1BYTE_KIND, PyUnicode_DATA(padding.get()), i, ' ');
    }
    Ref space = Ref::steal(PyUnicode_FromString(" "));
    if (!space) return space;
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) return text;
    Ref head = Ref::steal(PyNumber_Add(coloured.get(), padding.get()));
    if (!head) return head;
    return add3(head.get(), space.get(), text.get());
}

// The lines of the one-buffer way: exact str keys (ASCII when capitalised), values and colours.
template <typename Item>
struct KeyedLines {
    const Item* keys;
    const Item* values;
    std::size_t count;
    Py_ssize_t max_length;
    bool detailed;
    PyObject* grey;  // nullptr when colour is off
    PyObject* end;

    static PyObject* object(PyObject* item) { return item; }
    static PyObject* object(const Ref& item) { return item.get(); }

    template <typename Char>
    void write(Char* out) const {
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* key = object(keys[i]);
            if (grey != nullptr) out = put_text(out, grey);
            out = detailed ? put_capitalized(out, key) : put_text(out, key);
            out = put_char(out, ':');
            if (grey != nullptr) out = put_text(out, end);
            out = put_spaces(out, max_length - PyUnicode_GET_LENGTH(key) + 1);
            out = put_text(out, object(values[i]));
            out = put_char(out, '\n');
        }
    }

    // The text, `length` characters whose widest is at most `widest`.
    Ref make(Py_ssize_t length, Py_UCS4 widest) const {
        Ref text = Ref::steal(PyUnicode_New(length, widest));
        if (!text) return text;
        void* out = PyUnicode_DATA(text.get());
        switch (PyUnicode_KIND(text.get())) {
            case PyUnicode_1BYTE_KIND:
                write(static_cast<Py_UCS1*>(out));
                break;
            case PyUnicode_2BYTE_KIND:
                write(static_cast<Py_UCS2*>(out));
                break;
            default:
                write(static_cast<Py_UCS4*>(out));
                break;
        }
        return text;
    }
};

// The one-buffer way straight from an exact dict whose keys and values are all exact str (keys
// ASCII when capitalised), none of which has to be held: nothing here runs code. Empty Ref
// without an error when the event is not of that kind.
Ref keyed_plain(PyObject* event, bool detailed, PyObject* grey, PyObject* end) {
    constexpr std::size_t kMaxItems = 64;
    PyObject* keys[kMaxItems];
    PyObject* values[kMaxItems];
    std::size_t count = 0;
    Py_ssize_t max_length = 0;
    Py_ssize_t value_length = 0;
    Py_UCS4 widest = 127;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(event, &pos, &key, &value)) {
        if (count == kMaxItems || !PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value) ||
            (detailed && !PyUnicode_IS_ASCII(key))) {
            return Ref();
        }
        keys[count] = key;
        values[count++] = value;
        max_length = std::max(max_length, PyUnicode_GET_LENGTH(key));
        value_length += PyUnicode_GET_LENGTH(value);
        widest = std::max({widest, PyUnicode_MAX_CHAR_VALUE(key), PyUnicode_MAX_CHAR_VALUE(value)});
    }
    if (count == 0) return Ref();
    Py_ssize_t colour_length = 0;
    if (grey != nullptr) {
        colour_length = PyUnicode_GET_LENGTH(grey) + PyUnicode_GET_LENGTH(end);
        widest = std::max({widest, PyUnicode_MAX_CHAR_VALUE(grey), PyUnicode_MAX_CHAR_VALUE(end)});
    }
    // label ":" [colours] padding " " value "\n" per key
    const auto lines = static_cast<Py_ssize_t>(count);
    const Py_ssize_t length = lines * (max_length + 3 + colour_length) + value_length;
    return KeyedLines<PyObject*>{keys, values, count, max_length, detailed, grey, end}.make(
        length, widest);
}

// The general way: every line through the general steps (and any override), then
// "\n".join(lines) + "\n".
Ref keyed_layout_general(Formatting& formatting, const Items& keys, const Items& values,
                         Py_ssize_t max_length, bool detailed, bool native) {
    LayoutState& state = formatting.state();
    Ref lines = Ref::steal(PyList_New(0));
    if (!lines) return lines;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Ref line =
            build_line(formatting, keys[i].get(), values[i].get(), max_length, detailed, native);
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return Ref();
    }
    Ref joined = Ref::steal(PyUnicode_Join(state.text_newline.get(), lines.get()));
    if (!joined) return joined;
    return Ref::steal(PyNumber_Add(joined.get(), state.text_newline.get()));
}

}  // namespace

Ref keyed_layout(Formatting& formatting, PyObject* event) {
    LayoutState& state = formatting.state();
    // Settings from the snapshot can be read before the event's items without a change of
    // order anybody could see.
    if (PyDict_CheckExact(event) && formatting.settled() && formatting.fast_paths() &&
        formatting.native_colorize()) {
        const int colour = formatting.colour_on();
        PyObject* grey = nullptr;
        PyObject* end = nullptr;
        if (!formatting.grey_pair(colour, grey, end)) return Ref();
        if (!colour || (PyUnicode_CheckExact(grey) && PyUnicode_CheckExact(end))) {
            Ref text = keyed_plain(event, formatting.is_detailed() != 0, grey, end);
            if (text || PyErr_Occurred()) return text;
        }
    }
    Items keys;
    Items values;
    if (!collect_items(state, event, keys, values)) return Ref();
    if (keys.empty()) {
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        return Ref();
    }
    Py_ssize_t max_length = 0;
    for (const Ref& key : keys) {
        const Py_ssize_t length = key_length(key.get());
        if (length < 0) return Ref();
        max_length = std::max(max_length, length);
    }
    const int detailed = formatting.is_detailed();
    if (detailed < 0) return Ref();
    const int colour = formatting.colour_on();
    if (colour < 0) return Ref();
    const bool native = formatting.fast_paths();
    if (!native || !formatting.native_colorize()) {
        return keyed_layout_general(formatting, keys, values, max_length, detailed != 0, native);
    }
    PyObject* grey = nullptr;
    PyObject* end = nullptr;
    if (!formatting.grey_pair(colour, grey, end)) return Ref();
    // The one-buffer way needs str keys (ASCII ones when they are capitalised) and str colours;
    // anything else takes the general way, which raises the host's errors in the host's order.
    bool direct = !colour || (PyUnicode_CheckExact(grey) && PyUnicode_CheckExact(end));
    for (std::size_t i = 0; direct && i < keys.size(); ++i) {
        PyObject* key = keys[i].get();
        direct = PyUnicode_CheckExact(key) && (!detailed || PyUnicode_IS_ASCII(key));
    }
    if (!direct) {
        return keyed_layout_general(formatting, keys, values, max_length, detailed != 0, native);
    }

    // Measure, then write into one buffer of the final size.
    Py_ssize_t total = 0;
    Py_UCS4 widest = 127;
    const Py_ssize_t colour_length =
        colour ? PyUnicode_GET_LENGTH(grey) + PyUnicode_GET_LENGTH(end) : 0;
    if (colour) {
        widest = std::max({widest, PyUnicode_MAX_CHAR_VALUE(grey), PyUnicode_MAX_CHAR_VALUE(end)});
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!PyUnicode_CheckExact(values[i].get())) {
            values[i] = Ref::steal(PyObject_Str(values[i].get()));
            if (!values[i]) return Ref();
        }
        PyObject* key = keys[i].get();
        PyObject* text = values[i].get();
        // label ":" [colours] padding " " value "\n"
        total += max_length + 3 + colour_length + PyUnicode_GET_LENGTH(text);
        widest = std::max({widest, PyUnicode_MAX_CHAR_VALUE(key), PyUnicode_MAX_CHAR_VALUE(text)});
    }
    return KeyedLines<Ref>{keys.data(), values.data(), keys.size(), max_length, detailed != 0,
                           grey, end}
        .make(total, widest);
}

}  // namespace nerit::layout
