// Stamps and guards over the host's version tags (3.11) or over change watchers shared by the
// package's modules (3.12 and later).
#include "py/guard.hpp"

#include <new>
#include <tuple>
#include <unordered_map>

namespace nerit::py {

// The interpreter's watchers and the change counters of the objects they watch. One hub per
// interpreter, kept in a capsule in the interpreter's dict so that the three modules (separate
// shared libraries) share it; its state changes only through the functions of the library that
// made it, reached through `ops`, while the counters are plain memory that stamps read.
struct WatchHub {
    struct Watched {
        std::uint64_t changes = 0;
        std::size_t stamps = 0;
        bool is_type = false;
    };
    struct Ops {
        // The counter of `object`, watched from now on; nullptr (no error set) when it cannot be.
        const std::uint64_t* (*hold)(WatchHub* hub, PyObject* object, bool is_type) noexcept;
        // Gives up one hold; the last one stops watching `object`.
        void (*drop)(WatchHub* hub, PyObject* object);
        void (*acquire)(WatchHub* hub);
        void (*release)(WatchHub* hub);
        std::size_t (*count)(const WatchHub* hub);
    };

    const Ops* ops = nullptr;
    std::uint64_t all_changes = 0;
    PyInterpreterState* interpreter = nullptr;
    int dict_watcher = -1;
    int type_watcher = -1;
    bool open = true;
    std::size_t users = 0;  // Watchers handles, watched objects and the capsule
    std::unordered_map<PyObject*, Watched> watched;
    WatchHub* next = nullptr;  // the other hubs this library made (other interpreters)
};

namespace {

constexpr const char* kHubKey = "nerit_record_console.watch_hub";
constexpr const char* kCapsuleName = "nerit_record_console.watch_hub";

// Hubs made by this library, one per interpreter; the watcher callbacks find theirs here.
WatchHub* made_here = nullptr;

WatchHub* hub_of_this_interpreter() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    for (WatchHub* hub = made_here; hub != nullptr; hub = hub->next) {
        if (hub->interpreter == interpreter) return hub;
    }
    return nullptr;
}

// Called by the interpreter on each change of a watched dict or type: runs no code, fails never.
void note_change(PyObject* object) {
    WatchHub* hub = hub_of_this_interpreter();
    if (hub == nullptr) return;
    ++hub->all_changes;
    auto found = hub->watched.find(object);
    if (found != hub->watched.end()) ++found->second.changes;
}

void forget_hub(WatchHub* hub) {
    for (WatchHub** link = &made_here; *link != nullptr; link = &(*link)->next) {
        if (*link == hub) {
            *link = hub->next;
            break;
        }
    }
    delete hub;
}

void acquire_hub(WatchHub* hub) {
    ++hub->users;
}

void release_hub(WatchHub* hub) {
    if (--hub->users == 0) forget_hub(hub);
}

const std::uint64_t* hold_object(WatchHub* hub, PyObject* object, bool is_type) noexcept {
    if (!hub->open) return nullptr;
    std::unordered_map<PyObject*, WatchHub::Watched>::iterator entry;
    bool inserted = false;
    try {
        std::tie(entry, inserted) = hub->watched.try_emplace(object);
    } catch (const std::bad_alloc&) {
        return nullptr;  // not watched: the cache is simply not kept
    }
    if (inserted) {
        const int watcher = is_type ? hub->type_watcher : hub->dict_watcher;
        if (compat::watch(watcher, object, is_type) < 0) {
            PyErr_Clear();
            hub->watched.erase(entry);
            return nullptr;
        }
        entry->second.is_type = is_type;
        acquire_hub(hub);
    }
    ++entry->second.stamps;
    return &entry->second.changes;
}

void drop_object(WatchHub* hub, PyObject* object) {
    auto entry = hub->watched.find(object);
    if (entry == hub->watched.end() || --entry->second.stamps > 0) return;
    if (hub->open) {
        const bool is_type = entry->second.is_type;
        // Only fails for an id that is not ours, which cannot happen while the hub is open.
        if (compat::unwatch(is_type ? hub->type_watcher : hub->dict_watcher, object, is_type) < 0)
            PyErr_Clear();
    }
    hub->watched.erase(entry);
    release_hub(hub);
}

std::size_t count_watched(const WatchHub* hub) {
    return hub->watched.size();
}

constexpr WatchHub::Ops kOps = {hold_object, drop_object, acquire_hub, release_hub, count_watched};

// The interpreter's dict is cleared when it finalises: the watchers go, and the hub with them
// once no stamp or module holds it any more.
void close_hub(PyObject* capsule) {
    auto* hub = static_cast<WatchHub*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (hub == nullptr) {
        PyErr_Clear();
        return;
    }
    // Keep any error being raised while the dict is cleared.
    compat::RaisedError pending = compat::RaisedError::fetch();
    hub->open = false;
    // Unwatched from now on: no stamp may vouch for anything any more.
    ++hub->all_changes;
    for (auto& entry : hub->watched) ++entry.second.changes;
    if (compat::clear_watchers(hub->dict_watcher, hub->type_watcher) < 0) PyErr_Clear();
    pending.restore();
    release_hub(hub);
}

// A new hub with its watchers installed, stored in the interpreter's dict; nullptr with an error
// set on failure.
WatchHub* install_hub(PyObject* interpreter_dict) {
    auto* hub = new (std::nothrow) WatchHub();
    if (hub == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    hub->ops = &kOps;
    hub->interpreter = PyInterpreterState_Get();
    hub->users = 1;  // the capsule's
    hub->next = made_here;
    made_here = hub;
    hub->dict_watcher = compat::add_dict_watcher<note_change>();
    hub->type_watcher = hub->dict_watcher < 0 ? -1 : compat::add_type_watcher<note_change>();
    if (hub->type_watcher < 0) {
        compat::RaisedError failure = compat::RaisedError::fetch();
        if (compat::clear_watchers(hub->dict_watcher, -1) < 0) PyErr_Clear();
        failure.restore();
        forget_hub(hub);
        return nullptr;
    }
    Ref capsule = Ref::steal(PyCapsule_New(hub, kCapsuleName, close_hub));
    if (!capsule) {
        compat::RaisedError failure = compat::RaisedError::fetch();
        if (compat::clear_watchers(hub->dict_watcher, hub->type_watcher) < 0) PyErr_Clear();
        failure.restore();
        forget_hub(hub);
        return nullptr;
    }
    if (PyDict_SetItemString(interpreter_dict, kHubKey, capsule.get()) < 0) return nullptr;
    return hub;
}

}  // namespace

bool Watchers::attach() {
    if constexpr (!compat::kChangeWatchers) return true;
    if (hub_ != nullptr) return true;
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interpreter_dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no dict for module data");
        return false;
    }
    PyObject* capsule = PyDict_GetItemString(interpreter_dict, kHubKey);
    WatchHub* hub = nullptr;
    if (capsule != nullptr) {
        hub = static_cast<WatchHub*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    } else {
        hub = install_hub(interpreter_dict);
        // Other extensions may hold every watcher id: the caches then stay empty.
        if (hub == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            return true;
        }
    }
    if (hub == nullptr) return false;
    hub->ops->acquire(hub);
    hub_ = hub;
    return true;
}

void Watchers::detach() {
    if (hub_ == nullptr) return;
    WatchHub* hub = hub_;
    hub_ = nullptr;
    hub->ops->release(hub);
}

std::size_t Watchers::watched_objects() const {
    return hub_ == nullptr ? 0 : hub_->ops->count(hub_);
}

bool Stamp::take(const Watchers& watchers, PyObject* object, bool is_type) {
    if (!object_.is(object) || is_type_ != is_type) {
        reset();
        if constexpr (compat::kChangeWatchers) {
            WatchHub* hub = watchers.hub();
            if (hub == nullptr) return false;
            changes_ = hub->ops->hold(hub, object, is_type);
            if (changes_ == nullptr) return false;
            hub_ = hub;
        }
        object_ = Ref::borrow(object);
        is_type_ = is_type;
    }
    if (is_type) {
        // With watchers too: a change of a type is reported only while the type holds a tag.
        const unsigned int tag = compat::type_version(reinterpret_cast<PyTypeObject*>(object));
        if (tag == 0) return false;
        if constexpr (!compat::kChangeWatchers) {
            expected_ = tag;
            return true;
        }
    }
    if constexpr (compat::kChangeWatchers) {
        expected_ = *changes_;
    } else {
        expected_ = compat::dict_version(object);
    }
    return true;
}

bool Stamp::take_dict(const Watchers& watchers, PyObject* dict) {
    return take(watchers, dict, false);
}

bool Stamp::take_type(const Watchers& watchers, PyTypeObject* type) {
    return take(watchers, reinterpret_cast<PyObject*>(type), true);
}

void Stamp::reset() {
    if (hub_ != nullptr) {
        WatchHub* hub = hub_;
        hub_ = nullptr;
        changes_ = nullptr;
        hub->ops->drop(hub, object_.get());
    }
    object_.reset();
    expected_ = 0;
}

Stamp* Guard::next_stamp() {
    if (count_ == kCapacity) {
        failed_ = true;
        return nullptr;
    }
    return &stamps_[count_++];
}

bool Guard::add_dict(const Watchers& watchers, PyObject* dict) {
    Stamp* stamp = failed_ ? nullptr : next_stamp();
    if (stamp == nullptr || !stamp->take_dict(watchers, dict)) failed_ = true;
    return !failed_;
}

bool Guard::add_type(const Watchers& watchers, PyTypeObject* type) {
    Stamp* stamp = failed_ ? nullptr : next_stamp();
    if (stamp == nullptr || !stamp->take_type(watchers, type)) failed_ = true;
    return !failed_;
}

bool Guard::add_module(const Watchers& watchers, PyObject* module) {
    if (module == nullptr || !PyModule_CheckExact(module)) {
        failed_ = true;
        return false;
    }
    return add_dict(watchers, PyModule_GetDict(module));
}

bool Guard::add_instance(const Watchers& watchers, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* dict = instance_dict_of(self);
    if (type->tp_getattro != PyObject_GenericGetAttr || dict == nullptr ||
        !PyDict_CheckExact(dict) || instance_count_ == kInstances) {
        failed_ = true;
        return false;
    }
    if (!add_type(watchers, type) || !add_dict(watchers, dict)) return false;
    instances_[instance_count_++] = {type, dict};
    return true;
}

bool Guard::arm() {
    if (failed_) {
        clear();
        return false;
    }
    for (std::size_t i = count_; i < kCapacity; ++i) stamps_[i].reset();
    all_changes_ = nullptr;
    if constexpr (compat::kChangeWatchers) {
        if (count_ > 0) {
            // Every stamp of one build watches through the same hub.
            all_changes_ = &stamps_[0].hub()->all_changes;
            seen_ = *all_changes_;
        }
    }
    armed_ = true;
    return true;
}

void Guard::clear() {
    for (Stamp& stamp : stamps_) stamp.reset();
    count_ = 0;
    armed_ = false;
    failed_ = false;
    instance_count_ = 0;
    all_changes_ = nullptr;
}

int Guard::traverse(visitproc visit, void* arg) const {
    for (const Stamp& stamp : stamps_) {
        if (const int visited = stamp.traverse(visit, arg)) return visited;
    }
    return 0;
}

}  // namespace nerit::py
