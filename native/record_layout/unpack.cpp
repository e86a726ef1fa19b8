// Lifting of the message block: the first member of "MSG" becomes "source" and its fields
// become top-level keys, in the language of the formatter.
#include <algorithm>
#include <string_view>

#include "record_layout/formatting.hpp"
#include "record_layout/text_ops.hpp"

namespace nerit::layout {
namespace {

// event[key] for an exact dict event without the abstract protocol's detour.
Ref event_item(PyObject* event, PyObject* key) {
    if (!PyDict_CheckExact(event)) return Ref::steal(PyObject_GetItem(event, key));
    PyObject* value = PyDict_GetItemWithError(event, key);
    if (value == nullptr && !PyErr_Occurred()) py::raise_key_error(key);
    return Ref::borrow(value);
}

bool set_event_item(PyObject* event, PyObject* key, PyObject* value) {
    return (PyDict_CheckExact(event) ? PyDict_SetItem(event, key, value)
                                     : PyObject_SetItem(event, key, value)) == 0;
}

Ref index_error() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return Ref();
}

// list(msg.keys())[0]; for an exact dict `value` is set to its value (borrowed from `msg`).
Ref first_key(PyObject* msg, PyObject*& value) {
    value = nullptr;
    if (PyDict_CheckExact(msg)) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        if (!PyDict_Next(msg, &pos, &key, &value)) return index_error();
        return Ref::borrow(key);
    }
    Ref keys = Ref::steal(PyObject_CallMethod(msg, "keys", nullptr));
    if (!keys) return keys;
    Ref listed = Ref::steal(PySequence_List(keys.get()));
    if (!listed) return listed;
    if (PyList_GET_SIZE(listed.get()) == 0) return index_error();
    return Ref::borrow(PyList_GET_ITEM(listed.get(), 0));
}

// msg_key.split("-")[1] if "nerit" in msg_key else msg_key
Ref source_of(LayoutState& state, PyObject* msg_key) {
    if (PyUnicode_CheckExact(msg_key) && PyUnicode_IS_ASCII(msg_key)) {
        const std::string_view key(static_cast<const char*>(PyUnicode_DATA(msg_key)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(msg_key)));
        if (key.find("nerit") == std::string_view::npos) return Ref::borrow(msg_key);
        const std::size_t first = key.find('-');
        if (first == std::string_view::npos) return index_error();
        const std::size_t second = std::min(key.find('-', first + 1), key.size());
        return ascii_text(key.substr(first + 1, second - first - 1));
    }
    if (PyUnicode_CheckExact(msg_key)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(msg_key);
        const Py_ssize_t found = PyUnicode_Find(msg_key, state.text_nerit.get(), 0, length, 1);
        if (found == -2) return Ref();
        if (found < 0) return Ref::borrow(msg_key);
        const Py_ssize_t first = PyUnicode_FindChar(msg_key, '-', 0, length, 1);
        if (first < 0) return index_error();
        Py_ssize_t second = PyUnicode_FindChar(msg_key, '-', first + 1, length, 1);
        if (second < 0) second = length;
        return Ref::steal(PyUnicode_Substring(msg_key, first + 1, second));
    }
    const int contains = PySequence_Contains(msg_key, state.text_nerit.get());
    if (contains < 0) return Ref();
    if (!contains) return Ref::borrow(msg_key);
    PyObject* call[] = {msg_key, state.text_dash.get()};
    Ref fields = Ref::steal(PyObject_VectorcallMethod(state.attr_split.get(), call, 2, nullptr));
    if (!fields) return fields;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return one;
    return Ref::steal(PyObject_GetItem(fields.get(), one.get()));
}

// The methods the lifting calls on the fields of the message block, fetched before either is
// called: a value that is not a mapping (a text, a number, a list) fails with AttributeError
// before anything is dropped. An exact dict needs neither.
struct FieldMethods {
    Ref pop;
    Ref items;

    bool fetch(LayoutState& state, PyObject* fields) {
        if (PyDict_CheckExact(fields)) return true;
        pop = Ref::steal(PyObject_GetAttr(fields, state.attr_pop.get()));
        if (!pop) return false;
        items = Ref::steal(PyObject_GetAttr(fields, state.attr_items.get()));
        return static_cast<bool>(items);
    }
};

// fields.pop(key, None)
bool drop_field(const FieldMethods& methods, PyObject* fields, PyObject* key) {
    if (!methods.pop)
        return py::compat::dict_discard(fields, key);
    PyObject* call[] = {key, Py_None};
    return static_cast<bool>(Ref::steal(PyObject_Vectorcall(methods.pop.get(), call, 2, nullptr)));
}

// for key, value in fields.items(): event[key] = value; for an exact dict, the loop may take up
// from `pos` (the entries before it were lifted already).
bool lift_fields(const FieldMethods& methods, PyObject* event, PyObject* fields,
                 Py_ssize_t pos = 0) {
    if (!methods.items) {
        const Py_ssize_t size = PyDict_GET_SIZE(fields);
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        const bool plain_event = PyDict_CheckExact(event);
        while (PyDict_Next(fields, &pos, &key, &value)) {
            // Held while the event changes: `fields` may be reachable from the event. A plain
            // dict takes its own references to both before anything can run.
            Ref held_key = plain_event ? Ref() : Ref::borrow(key);
            Ref held_value = plain_event ? Ref() : Ref::borrow(value);
            if (!set_event_item(event, key, value)) return false;
            if (PyDict_GET_SIZE(fields) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
        }
        return true;
    }
    Ref items = Ref::steal(PyObject_CallNoArgs(methods.items.get()));
    if (!items) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref item_iterator = Ref::steal(PyObject_GetIter(item.get()));
        if (!item_iterator) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                             Py_TYPE(item.get())->tp_name);
            }
            return false;
        }
        Ref pair[2];
        for (int i = 0; i < 2; ++i) {
            pair[i] = Ref::steal(PyIter_Next(item_iterator.get()));
            if (!pair[i]) {
                if (!PyErr_Occurred()) {
                    PyErr_Format(PyExc_ValueError,
                                 "not enough values to unpack (expected 2, got %d)", i);
                }
                return false;
            }
        }
        Ref extra = Ref::steal(PyIter_Next(item_iterator.get()));
        if (extra) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            return false;
        }
        if (PyErr_Occurred()) return false;
        if (!set_event_item(event, pair[0].get(), pair[1].get())) return false;
    }
    return !PyErr_Occurred();
}


// Values whose release runs no code and cannot be seen by anyone (no finaliser, no weak
// reference).
bool is_inert(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           value == Py_None || PyBool_Check(value);
}

// Whether the exact str `key` is the interned `name` (a hash not yet kept compares by text).
bool is_key(PyObject* key, PyObject* name) {
    const Py_hash_t hash = py::compat::cached_str_hash(key);
    return key == name ||
           ((hash == -1 || hash == py::compat::cached_str_hash(name)) && same_str(key, name));
}

// The lifting when no other code can see the message block: "MSG" and its fields are held only
// by the event (and this call), so the other language's fields need not be dropped one by one
// before the rest is lifted: they go with the block when "MSG" is deleted. As soon as a lifted
// key replaces a value (whose release may run code), the fields are dropped after all and the
// lifting goes on as usual. 1 when the fields were lifted, 0 when the block is not of that kind
// (nothing changed), -1 with an error set.
int lift_unseen_fields(const FieldMethods& methods, PyObject* event, PyObject* msg,
                       PyObject* fields, PyObject* type_key, PyObject* name_key) {
    // The references: the event's to "MSG" and "MSG"'s to the fields, and one each held here.
    if (methods.items || !PyDict_CheckExact(event) || !PyDict_CheckExact(msg) ||
        !py::compat::held_only_by(msg, 2) || !py::compat::held_only_by(fields, 2)) {
        return 0;
    }
    struct Field {
        PyObject* key;
        PyObject* value;
        Py_ssize_t at;  // the position that PyDict_Next reads it from
    };
    constexpr int kMaxFields = 32;
    Field kept[kMaxFields];
    int count = 0;
    Py_ssize_t pos = 0;
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (; PyDict_Next(fields, &pos, &key, &value); at = pos) {
        if (!PyUnicode_CheckExact(key)) return 0;
        if (is_key(key, type_key) || is_key(key, name_key)) {
            if (!is_inert(value)) return 0;
            continue;
        }
        if (count == kMaxFields) return 0;
        kept[count++] = {key, value, at};
    }
    for (int i = 0; i < count; ++i) {
        // Nothing runs when the key is new; an equal key in the event keeps its place.
        PyObject* stored = PyDict_SetDefault(event, kept[i].key, kept[i].value);
        if (stored == kept[i].value) continue;
        // Dropping inert values from an exact dict of str keys cannot fail or run code.
        py::compat::RaisedError error = py::compat::RaisedError::fetch();
        drop_field(methods, fields, type_key);
        drop_field(methods, fields, name_key);
        if (stored == nullptr) {
            error.restore();
            return -1;
        }
        return lift_fields(methods, event, fields, kept[i].at) ? 1 : -1;
    }
    return 1;
}
}  // namespace

bool unpack_event_native(Formatting& formatting, PyObject* event) {
    LayoutState& state = formatting.state();
    Ref msg = event_item(event, state.key_msg.get());
    if (!msg) return false;
    PyObject* first_fields = nullptr;
    Ref msg_key = first_key(msg.get(), first_fields);
    if (!msg_key) return false;
    Ref source = source_of(state, msg_key.get());
    if (!source) return false;
    // A new "source" is stored without running any code; replacing a value may run some (its
    // release), which may change the event or its message block.
    bool quiet = false;
    if (PyDict_CheckExact(event)) {
        PyObject* stored = PyDict_SetDefault(event, state.key_source.get(), source.get());
        if (stored == nullptr) return false;
        quiet = stored == source.get();
    }
    if (!quiet && !set_event_item(event, state.key_source.get(), source.get())) return false;

    // event["MSG"][msg_key] is read again, as the lifting reads it, unless nothing ran since
    // the message block's first member was found.
    Ref fields;
    if (quiet && first_fields != nullptr) {
        fields = Ref::borrow(first_fields);
    } else {
        msg = event_item(event, state.key_msg.get());
        if (!msg) return false;
        fields = PyDict_CheckExact(msg.get())
                     ? event_item(msg.get(), msg_key.get())
                     : Ref::steal(PyObject_GetItem(msg.get(), msg_key.get()));
        if (!fields) return false;
    }
    FieldMethods methods;
    if (!methods.fetch(state, fields.get())) return false;
    const int russian = formatting.is_russian();
    if (russian < 0) return false;
    PyObject* type_key = russian ? state.key_type_en.get() : state.key_type_ru.get();
    PyObject* name_key = russian ? state.key_name_en.get() : state.key_name_ru.get();
    const int unseen =
        lift_unseen_fields(methods, event, msg.get(), fields.get(), type_key, name_key);
    if (unseen < 0) return false;
    if (unseen == 0 && (!drop_field(methods, fields.get(), type_key) ||
                        !drop_field(methods, fields.get(), name_key) ||
                        !lift_fields(methods, event, fields.get()))) {
        return false;
    }
    return (PyDict_CheckExact(event) ? PyDict_DelItem(event, state.key_msg.get())
                                     : PyObject_DelItem(event, state.key_msg.get())) == 0;
}

}  // namespace nerit::layout
