// The layout from a user's format expression: every "%<key>" replaced by the key's value, key
// by key in the event's order.
#include <algorithm>
#include <cstring>
#include <string>

#include "record_layout/expression_direct.hpp"
#include "record_layout/formatter_object.hpp"
#include "record_layout/formatting.hpp"
#include "record_layout/small_vector.hpp"

namespace nerit::layout {
namespace {

// text.replace("%" + key, value) by the host's own operations.
Ref host_replace(LayoutState& state, PyObject* text, PyObject* key, PyObject* value) {
    Ref placeholder = Ref::steal(PyNumber_Add(state.text_percent.get(), key));
    if (!placeholder) return placeholder;
    PyObject* call[] = {text, placeholder.get(), value};
    return Ref::steal(PyObject_VectorcallMethod(state.attr_replace.get(), call, 3, nullptr));
}

// The text being built, held in a native buffer of one or four bytes per character while
// every step can be done natively, so that a str is made only once at the end. The
// positions of its '%' characters are kept with the character after each: a key's
// placeholder can only start there, so most keys are dismissed by one comparison per '%'.
class Template {
  public:
    // Loads `text`; false (nothing set) when it is not an exact str.
    bool load(PyObject* text) {
        if (!PyUnicode_CheckExact(text)) return false;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        wide_ = kind != PyUnicode_1BYTE_KIND;
        narrow_.clear();
        wide_text_.clear();
        if (!wide_) {
            narrow_.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        } else {
            wide_text_.reserve(static_cast<std::size_t>(length));
            for (Py_ssize_t i = 0; i < length; ++i)
                wide_text_.push_back(PyUnicode_READ(kind, data, i));
        }
        index();
        return true;
    }

    // The text as a str (new reference).
    Ref make() const {
        if (!wide_) {
            return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, narrow_.data(),
                                                        static_cast<Py_ssize_t>(narrow_.size())));
        }
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_text_.data(),
                                                    static_cast<Py_ssize_t>(wide_text_.size())));
    }

    // text.replace("%" + key, value) for a non-empty ASCII `key` and an exact str `value`.
    void replace(PyObject* key, PyObject* value) {
        const auto key_length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
        const char* key_chars = static_cast<const char*>(PyUnicode_DATA(key));
        const auto first = static_cast<Py_UCS4>(static_cast<unsigned char>(key_chars[0]));
        const std::size_t length = size();
        matches_.clear();
        std::size_t free_from = 0;  // str.replace takes occurrences that do not overlap
        auto consider = [&](std::size_t i) {
            const std::size_t at = percents_[i];
            if (following_[i] != first || at < free_from || at + 1 + key_length > length) return;
            if (matches_at(at + 1, key_chars, key_length)) {
                matches_.push_back(at);
                free_from = at + 1 + key_length;
            }
        };
        for (std::size_t i = 0; i < percents_.size(); ++i) consider(i);
        if (matches_.empty()) return;
        if (!wide_ && PyUnicode_KIND(value) != PyUnicode_1BYTE_KIND) widen();
        if (!wide_) {
            splice(narrow_, spare_narrow_, key_length + 1,
                   static_cast<const char*>(PyUnicode_DATA(value)),
                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
        } else {
            const int kind = PyUnicode_KIND(value);
            const void* data = PyUnicode_DATA(value);
            inserted_.clear();
            for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(value); ++i) {
                inserted_.push_back(static_cast<char32_t>(PyUnicode_READ(kind, data, i)));
            }
            splice(wide_text_, spare_wide_, key_length + 1, inserted_.data(), inserted_.size());
        }
        index();
    }

  private:
    std::size_t size() const { return wide_ ? wide_text_.size() : narrow_.size(); }
    Py_UCS4 at(std::size_t i) const {
        return wide_ ? static_cast<Py_UCS4>(wide_text_[i])
                     : static_cast<Py_UCS4>(static_cast<unsigned char>(narrow_[i]));
    }

    void widen() {
        wide_text_.assign(narrow_.begin(), narrow_.end());
        for (std::size_t i = 0; i < narrow_.size(); ++i) {
            wide_text_[i] = static_cast<unsigned char>(narrow_[i]);
        }
        wide_ = true;
    }

    void index() {
        percents_.clear();
        following_.clear();
        const std::size_t length = size();
        if (!wide_) {
            const char* begin = narrow_.data();
            const char* end = begin + length;
            for (const char* at = begin;
                 (at = static_cast<const char*>(std::memchr(at, '%', end - at))) != nullptr; ++at) {
                note(static_cast<std::size_t>(at - begin), length);
            }
            return;
        }
        for (std::size_t i = 0; i < length; ++i) {
            if (wide_text_[i] == U'%') note(i, length);
        }
    }

    void note(std::size_t at, std::size_t length) {
        const Py_UCS4 next = at + 1 < length ? this->at(at + 1) : 0;
        percents_.push_back(at);
        following_.push_back(next);
    }

    bool matches_at(std::size_t from, const char* key, std::size_t key_length) const {
        if (!wide_) return std::memcmp(narrow_.data() + from, key, key_length) == 0;
        for (std::size_t i = 0; i < key_length; ++i) {
            if (wide_text_[from + i] != static_cast<char32_t>(key[i])) return false;
        }
        return true;
    }

    // Replaces every match (each `removed` characters long) by `value`; `spare` keeps its
    // room from one call to the next.
    template <typename Text, typename Char>
    void splice(Text& text, Text& spare, std::size_t removed, const Char* value,
                std::size_t value_length) {
        spare.clear();
        std::size_t read = 0;
        for (std::size_t i = 0; i < matches_.size(); ++i) {
            const std::size_t match = matches_[i];
            spare.append(text, read, match - read);
            spare.append(value, value_length);
            read = match + removed;
        }
        spare.append(text, read, Text::npos);
        text.swap(spare);
    }

    bool wide_ = false;
    std::string narrow_;
    std::u32string wide_text_;
    std::string spare_narrow_;
    std::u32string spare_wide_;
    std::u32string inserted_;
    SmallVector<std::size_t, 32> percents_;
    SmallVector<Py_UCS4, 32> following_;
    SmallVector<std::size_t, 32> matches_;
};

// The expression's text through the event's keys. While every operand is a plain str (and
// the key plain ASCII) the work stays in the native buffer; any other step goes to the host's
// str.replace on the text made so far, which raises the host's errors.
class ExpressionRun {
  public:
    ExpressionRun(LayoutState& state, Ref text, bool native)
        : state_(state), native_(native), text_(std::move(text)) {
        in_buffer_ = native_ && buffer_.load(text_.get());
    }

    bool apply(PyObject* key, PyObject* value) {
        if (in_buffer_ && PyUnicode_CheckExact(key) && PyUnicode_IS_ASCII(key) &&
            PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_CheckExact(value)) {
            buffer_.replace(key, value);
            return true;
        }
        if (in_buffer_) {
            text_ = buffer_.make();
            if (!text_) return false;
        }
        Ref replaced = host_replace(state_, text_.get(), key, value);
        if (!replaced) return false;
        text_ = std::move(replaced);
        in_buffer_ = native_ && buffer_.load(text_.get());
        return true;
    }

    Ref finish() { return in_buffer_ ? buffer_.make() : std::move(text_); }

  private:
    LayoutState& state_;
    bool native_;
    Ref text_;  // the text while it is not in the buffer
    bool in_buffer_ = false;
    Template buffer_;
};

}  // namespace

Ref expression_layout_native(Formatting& formatting, PyObject* event) {
    LayoutState& state = formatting.state();
    Ref expression = formatting.format_expression();
    if (!expression) return expression;
    const bool native = formatting.fast_paths();
    FormatterCaches* caches = native ? caches_of(formatting.self()) : nullptr;
    if (caches != nullptr) {
        Ref direct = expression_direct(caches->expression_plan, expression.get(), event);
        if (direct || PyErr_Occurred()) return direct;
    }
    ExpressionRun layout(state, std::move(expression), native);
    if (PyDict_CheckExact(event)) {
        const Py_ssize_t size = PyDict_GET_SIZE(event);
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(event, &pos, &key, &value)) {
            Ref held_key = Ref::borrow(key);
            Ref held_value = Ref::borrow(value);
            if (!layout.apply(key, value)) return Ref();
            if (PyDict_GET_SIZE(event) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return Ref();
            }
        }
        return layout.finish();
    }
    PyObject* call[] = {event};
    Ref items = Ref::steal(PyObject_VectorcallMethod(state.attr_items.get(), call, 1, nullptr));
    if (!items) return items;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return iterator;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pair = Ref::steal(PySequence_Tuple(item.get()));
        if (!pair) return pair;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(
                PyExc_ValueError, "%s to unpack (expected 2)",
                PyTuple_GET_SIZE(pair.get()) < 2 ? "not enough values" : "too many values");
            return Ref();
        }
        if (!layout.apply(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1))) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) return Ref();
    return layout.finish();
}

}  // namespace nerit::layout
