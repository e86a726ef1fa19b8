// Does a cached look-up still hold? A cache keeps what a look-up found together with a guard: a
// stamp of every dict and type the look-up read (module globals, an instance's dict and class,
// class constants, sys and builtins). The cache trusts what it kept while the guard holds; any
// change to a stamped object, however made, makes the guard fail until it is armed again.
//
// On 3.11 the stamps are the host's version tags. From 3.12 on they are counters that the
// interpreter's dict and type watchers advance; the package's modules share one dict watcher and
// one type watcher per interpreter (watcher ids are scarce), and an object stays watched only
// while some stamp holds it. Where the interpreter has no watcher id left, nothing is stamped and
// every look-up is made live.
//
// A guard over everything a whole pass depends on is as cheap to check as one over a single
// look-up: with watchers, holds() first compares one interpreter-wide count of changes, so a pass
// during which nothing watched changed is proven unobserved by a single comparison; on 3.11 it
// reads one tag per stamp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "py/compat.hpp"

namespace nerit::py {

struct WatchHub;

// A module's handle on the interpreter's shared watchers (empty on 3.11, which needs none).
class Watchers {
  public:
    Watchers() = default;
    ~Watchers() { detach(); }
    Watchers(const Watchers&) = delete;
    Watchers& operator=(const Watchers&) = delete;

    // Finds or installs the interpreter's watchers; false with an error set when memory runs out.
    // Without a watcher id left it succeeds with no hub, and nothing is ever stamped.
    bool attach();
    void detach();

    WatchHub* hub() const noexcept { return hub_; }
    // How many objects are watched for the stamps that hold them (0 without watchers).
    std::size_t watched_objects() const;

  private:
    WatchHub* hub_ = nullptr;
};

// One object as a look-up saw it. Holds a strong reference, so the object cannot be replaced by
// another at the same address meanwhile; its owner visits it for the garbage collector.
class Stamp {
  public:
    Stamp() = default;
    ~Stamp() { reset(); }
    Stamp(const Stamp&) = delete;
    Stamp& operator=(const Stamp&) = delete;

    // Stamps a dict (any dict) or a type as it is now; false with no error set when it cannot be
    // watched (the caller then keeps nothing). Stamping the object already stamped only renews.
    bool take_dict(const Watchers& watchers, PyObject* dict);
    bool take_type(const Watchers& watchers, PyTypeObject* type);

    // True when the object has not changed since it was stamped.
    bool holds() const noexcept {
        if constexpr (compat::kChangeWatchers) {
            // A type whose tag went away without a change reported would not report the next.
            return *changes_ == expected_ &&
                   (!is_type_ ||
                    compat::type_version_valid(reinterpret_cast<PyTypeObject*>(object_.get())));
        } else if (is_type_) {
            return compat::current_type_version(
                       reinterpret_cast<PyTypeObject*>(object_.get())) == expected_;
        } else {
            return compat::dict_version(object_.get()) == expected_;
        }
    }

    WatchHub* hub() const noexcept { return hub_; }
    void reset();
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(object_.get());
        return 0;
    }

  private:
    bool take(const Watchers& watchers, PyObject* object, bool is_type);

    Ref object_;
    bool is_type_ = false;
    std::uint64_t expected_ = 0;
    // With watchers: the object's change counter in the hub, which the stamp keeps watched.
    WatchHub* hub_ = nullptr;
    const std::uint64_t* changes_ = nullptr;
};

// The stamps of one cached look-up. Built by restart(), the add_ calls and arm(); an add that
// fails leaves the guard unarmed, so the cache is simply not used. Stamps on the objects of the
// previous build are renewed rather than dropped and taken again.
class Guard {
  public:
    static constexpr std::size_t kCapacity = 16;
    static constexpr std::size_t kInstances = 4;

    void restart() noexcept {
        armed_ = false;
        failed_ = false;
        count_ = 0;
        instance_count_ = 0;
    }
    bool add_dict(const Watchers& watchers, PyObject* dict);
    bool add_type(const Watchers& watchers, PyTypeObject* type);
    // The dict of a module of the exact module type, whose attributes are its dict's entries.
    bool add_module(const Watchers& watchers, PyObject* module);
    // What generic attribute lookup on `self` reads: its class hierarchy and its instance dict
    // (an exact dict). False when lookup on `self` is anything else. Up to kInstances per guard.
    bool add_instance(const Watchers& watchers, PyObject* self);
    // Ends a build: true when every add succeeded (else every stamp is dropped); stamps left
    // from a longer build are dropped.
    bool arm();

    // True when armed and nothing stamped has changed since.
    bool holds() noexcept {
        if (!armed_) return false;
        if constexpr (compat::kChangeWatchers) {
            // Nothing watched anywhere changed: no stamp needs a look.
            if (all_changes_ != nullptr && *all_changes_ == seen_) return true;
        }
        for (std::size_t i = 0; i < count_; ++i) {
            if (!stamps_[i].holds()) return false;
        }
        if constexpr (compat::kChangeWatchers) {
            if (all_changes_ != nullptr) seen_ = *all_changes_;
        }
        return true;
    }
    // holds(), and `self` is an instance added to the guard that still has the class and the
    // instance dict that were stamped. A guard over a whole pass asks this of each instance.
    bool holds_for(PyObject* self) noexcept {
        if (!armed_) return false;
        PyTypeObject* type = Py_TYPE(self);
        PyObject* dict = instance_dict_of(self);
        for (std::size_t i = 0; i < instance_count_; ++i) {
            if (instances_[i].type == type && instances_[i].dict == dict) return holds();
        }
        return false;
    }

    // Drops every stamp.
    void clear();
    int traverse(visitproc visit, void* arg) const;

    // The instance dict of `self`, or nullptr when it has none.
    static PyObject* instance_dict_of(PyObject* self) noexcept {
        PyObject** slot = compat::instance_dict_slot(self);
        return slot == nullptr ? nullptr : *slot;
    }

  private:
    Stamp* next_stamp();

    std::array<Stamp, kCapacity> stamps_;
    std::size_t count_ = 0;
    bool armed_ = false;
    bool failed_ = false;
    // Identities of the stamped class and dict of each instance added.
    struct Instance {
        PyTypeObject* type;
        PyObject* dict;
    };
    std::array<Instance, kInstances> instances_{};
    std::size_t instance_count_ = 0;
    // With watchers: the count of every change of every watched object, and its value when the
    // guard last held.
    const std::uint64_t* all_changes_ = nullptr;
    std::uint64_t seen_ = 0;
};

}  // namespace nerit::py
