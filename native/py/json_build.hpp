// JSON decoding into Python objects, equal to the host's json.loads on the texts it accepts.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "py/ref.hpp"

namespace nerit::py {

// Object keys seen recently, so that the keys every line repeats share one str object instead
// of a new one per line. Owned by whoever decodes a stream of texts (an iterator, a module
// state); its strings are released with it, so it must be destroyed with the GIL held.
class KeyCache {
  public:
    // Only ASCII keys up to this many bytes are cached; longer or other keys are made afresh.
    static constexpr std::size_t kMaxKeyLength = 32;

    KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    // The str for an ASCII key of at most kMaxKeyLength bytes: the cached one when it is
    // there, else a new one that replaces whatever shared its slot. Empty Ref with an error
    // set when memory runs out.
    Ref get(std::string_view ascii_key);

    // Drops every cached str.
    void clear();
    // Visits every cached str, for the collector of the owner.
    int traverse(visitproc visit, void* arg) const {
        for (const Ref& slot : slots_) Py_VISIT(slot.get());
        return 0;
    }

  private:
    static constexpr std::size_t kSlots = 512;
    std::array<Ref, kSlots> slots_;
};

// Decodes one JSON document given as UTF-8 (already known to be valid UTF-8) exactly as the
// host's json.loads would decode the same text. Returns the value. Returns an empty Ref with no
// Python error set when the text is invalid or unusual (the caller then calls the host's
// json.loads, which raises or decodes as it will); an empty Ref with an error set means the
// decoder itself failed (out of memory). Object keys come from `keys` when one is given.
Ref json_decode_fast(std::string_view utf8_text, KeyCache* keys = nullptr);

// The same for text held in a str (a line as a text-mode file returns it), with the same
// results. Reads ASCII text in place and converts other text on the stack, so that a line does
// not leave a cached UTF-8 copy in its str; declines text holding surrogates.
Ref json_decode_fast(PyObject* text, KeyCache* keys = nullptr);

}  // namespace nerit::py
