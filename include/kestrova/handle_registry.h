// Numbered handles for what crosses a C table or a thread as a number rather than a pointer (a
// timer, a progress window's cancel, a transfer's cancel flag), on both sides of the updater ABI:
// a handle whose object is spent is simply no longer found, so a late or repeated call on it
// touches no freed memory and does nothing.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace kestrova {

// The values that hold a handle, found by it. Handles count from 1 (0 reads as "none" in every
// table that carries them) and are never given twice, so a handle taken stays unknown for good.
// Every call may come from any thread; none calls out to foreign code while it holds its lock.
template <class T, class Id = std::uint64_t>
class HandleRegistry {
public:
    // Keeps `value` under a handle of its own and returns it.
    Id add(T value) {
        std::lock_guard lock(mutex_);
        const Id id = ++last_;
        values_.emplace(id, std::move(value));
        return id;
    }

    // A copy of the value under `id`, which stays; nothing for a handle unknown or taken.
    std::optional<T> find(Id id) const {
        std::lock_guard lock(mutex_);
        const auto found = values_.find(id);
        if (found == values_.end()) return std::nullopt;
        return found->second;
    }

    // The value under `id`, which leaves: the first caller gets it, any later one nothing.
    std::optional<T> take(Id id) {
        std::lock_guard lock(mutex_);
        const auto found = values_.find(id);
        if (found == values_.end()) return std::nullopt;
        std::optional<T> value(std::move(found->second));
        values_.erase(found);
        return value;
    }

    // Calls `change` on the value under `id` while it is held; false for a handle unknown or taken.
    template <class Change>
    bool update(Id id, Change&& change) {
        std::lock_guard lock(mutex_);
        const auto found = values_.find(id);
        if (found == values_.end()) return false;
        std::forward<Change>(change)(found->second);
        return true;
    }

private:
    mutable std::mutex mutex_;
    Id last_ = 0;
    std::map<Id, T> values_;
};

}  // namespace kestrova
