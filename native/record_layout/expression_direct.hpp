// The expression layout in one pass over the event, for events whose keys and values are plain
// str and whose inserted values hold no "%".
#pragma once

#include <cstdint>

#include "py/ref.hpp"

namespace nerit::layout {

// Where the "%" signs of a formatter's expression stand, worked out once and kept in the
// instance while its expression is the same object; the object's clear slot calls release().
struct ExpressionPlan {
    static constexpr int kMaxSites = 32;

    // One "%" that a key could take.
    struct Site {
        Py_ssize_t at;    // index of the "%"
        Py_ssize_t room;  // characters after it, up to the next "%" or the end
        Py_UCS4 first;    // the character after it
        bool last;        // no "%" follows it
    };

    // Which sites a key takes, worked out once per key object and expression: the key holds
    // the result while it is alive, so the slot stays true for it (a str never changes).
    struct KeySites {
        py::Ref key;              // empty in an empty slot
        std::uint32_t takes;      // sites whose text starts with the key
        std::uint32_t overreach;  // sites the key would run past the next "%" from
    };
    static constexpr int kKeySlots = 64;
    // The same answers by the key's text, for keys that come as new objects with every event
    // (events decoded by json.loads): a new key object with a known text costs a comparison.
    static constexpr int kTextSlots = 128;

    py::Ref expression;  // the expression the plan was made for
    bool usable;         // false when that expression must go the general way
    int count;
    // The sites (one bit each) whose `first` is a given ASCII character, and those whose
    // `first` is any other.
    std::uint32_t sites_by_first[128];
    std::uint32_t other_sites;
    Site sites[kMaxSites];
    KeySites key_sites[kKeySlots];
    KeySites text_sites[kTextSlots];

    // Makes the plan current for `expression` (an exact str); false when the expression is
    // not one the one-pass way can handle.
    bool prepare(PyObject* expression_now);
    // The sites of `key` (an exact, non-empty str) in the current expression.
    const KeySites& sites_of(PyObject* key) {
        const int home = home_slot(key);
        if (key_sites[home].key.is(key)) return key_sites[home];
        return sites_of_elsewhere(key, home);
    }
    static int home_slot(PyObject* key) {
        static_assert(kKeySlots == 64, "the hash yields six bits");
        return static_cast<int>(
            (reinterpret_cast<std::uintptr_t>(key) * std::uint64_t{0x9E3779B97F4A7C15}) >> 58);
    }
    const KeySites& sites_of_elsewhere(PyObject* key, int home);
    void release();
    int traverse(visitproc visit, void* arg) const;
};

// `expression` with every "%<key>" replaced key by key in the order of `event` (an exact dict),
// exactly as successive str.replace calls would leave it. Empty Ref without an error when the
// event or the expression is not of the usual kind (the caller then takes the general way);
// empty Ref with an error set only when memory runs out.
py::Ref expression_direct(ExpressionPlan& plan, PyObject* expression, PyObject* event);

}  // namespace nerit::layout
