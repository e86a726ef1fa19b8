// The expression layout in one pass over the event, for events whose keys and values are plain
// str and whose inserted values hold no "%".
#pragma once

#include <cstdint>

#include "py/compat.hpp"
#include "record_layout/text_ops.hpp"

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

    // Which sites a key takes, worked out once per key text and expression (a str never
    // changes): keys that come as the same object with every event (the iterators share them)
    // are found by identity, keys that come as new objects (events decoded by json.loads) by a
    // comparison of their text.
    struct KeySites {
        py::Ref key;              // empty in an empty slot
        Py_hash_t hash;           // the key's hash, compared before its text
        std::uint32_t takes;      // sites whose text starts with the key
        std::uint32_t overreach;  // sites the key would run past the next "%" from
    };
    // Two ways per set, so that two keys of one event rarely push each other out.
    static constexpr int kKeySets = 64;
    struct KeySet {
        KeySites way[2];
        int recent;  // the way found or filled last
    };

    py::Ref expression;  // the expression the plan was made for
    bool usable;         // false when that expression must go the general way
    int count;
    // The sites (one bit each) whose `first` is a given ASCII character, and those whose
    // `first` is any other.
    std::uint32_t sites_by_first[128];
    std::uint32_t other_sites;
    Site sites[kMaxSites];
    KeySet key_sets[kKeySets];

    // Makes the plan current for `expression` (an exact str); false when the expression is
    // not one the one-pass way can handle.
    bool prepare(PyObject* expression_now);
    // The sites of `key` (an exact, non-empty str) in the current expression: the key itself or
    // one of equal text found in its set, else worked out and remembered.
    const KeySites& sites_of(PyObject* key) {
        const Py_hash_t hash = py::compat::cached_str_hash(key);
        if (hash != -1) {
            KeySet& set = key_sets[static_cast<std::size_t>(hash) & (kKeySets - 1)];
            for (int way = 0; way < 2; ++way) {
                KeySites& known = set.way[way];
                if (known.key.is(key) ||
                    (known.hash == hash && known.key && same_str(known.key.get(), key))) {
                    set.recent = way;
                    return known;
                }
            }
        }
        return sites_by_text(key, hash);
    }
    const KeySites& sites_by_text(PyObject* key, Py_hash_t hash);
    void release();
    int traverse(visitproc visit, void* arg) const;
};

// `expression` with every "%<key>" replaced key by key in the order of `event` (an exact dict),
// exactly as successive str.replace calls would leave it. Empty Ref without an error when the
// event or the expression is not of the usual kind (the caller then takes the general way);
// empty Ref with an error set only when memory runs out.
py::Ref expression_direct(ExpressionPlan& plan, PyObject* expression, PyObject* event);

}  // namespace nerit::layout
