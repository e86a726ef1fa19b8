// Direct reading of the entry table of an exact dict whose keys are all str, through the layout
// of CPython 3.11's dict keys (the interpreter this package is built for).
#pragma once

#include <cstddef>
#include <cstdint>

#include "py/ref.hpp"

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "dict_entries.hpp mirrors the dict keys layout of CPython 3.11"
#endif

namespace nerit::layout {

// One entry of a str-keyed table; both pointers are null where a key was deleted.
struct StrDictEntry {
    PyObject* key;
    PyObject* value;
};

// The entries of `dict` in stored order, or an empty view when the dict is not an exact dict
// with a combined table of str keys (a split table, or any key that is not a str). Valid
// only until the dict changes.
class StrDictEntries {
  public:
    explicit StrDictEntries(PyObject* dict) noexcept {
        if (!PyDict_CheckExact(dict)) return;
        auto* object = reinterpret_cast<PyDictObject*>(dict);
        if (object->ma_values != nullptr) return;
        const auto* keys = reinterpret_cast<const Keys*>(object->ma_keys);
        if (keys->kind != kUnicodeKeys) return;
        begin_ = reinterpret_cast<const StrDictEntry*>(reinterpret_cast<const char*>(keys) +
                                                       offsetof(Keys, indices) +
                                                       (std::size_t{1} << keys->log2_index_bytes));
        end_ = begin_ + keys->entry_count;
    }

    const StrDictEntry* begin() const noexcept { return begin_; }
    const StrDictEntry* end() const noexcept { return end_; }
    bool usable() const noexcept { return begin_ != nullptr; }

  private:
    // struct _dictkeysobject of Include/internal/pycore_dict.h (3.11).
    struct Keys {
        Py_ssize_t refcount;
        std::uint8_t log2_size;
        std::uint8_t log2_index_bytes;
        std::uint8_t kind;
        std::uint32_t version;
        Py_ssize_t usable;
        Py_ssize_t entry_count;
        char indices[sizeof(void*)];  // really 1 << log2_index_bytes bytes
    };
    static constexpr std::uint8_t kUnicodeKeys = 1;  // DICT_KEYS_UNICODE
    static_assert(sizeof(void*) != 8 ||
                  (offsetof(Keys, entry_count) == 24 && offsetof(Keys, indices) == 32));

    const StrDictEntry* begin_ = nullptr;
    const StrDictEntry* end_ = nullptr;
};

}  // namespace nerit::layout
