#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace kvinternal {

// An ordered map that holds at most `limit` entries: putting one more drops the entry that was
// put longest ago. The caches keep their files bounded this way, however long a working
// directory is used. It remembers its own puts and erasures since `forgetChanges`, so that they
// can be put on top of what another session saved in the meantime (`rebaseOnto`).
template <typename Key, typename Value>
class BoundedMap {
public:
    explicit BoundedMap(std::size_t limit) : limit_(limit) {}

    // Inserts or replaces; a replaced entry counts as put now. Returns whether an older entry
    // was dropped to make room.
    bool put(const Key& key, Value value) {
        changes_.emplace_back(key, value);
        return insert(key, std::move(value));
    }

    bool erase(const Key& key) {
        changes_.emplace_back(key, std::nullopt);
        return remove(key);
    }

    // What was put and erased until now is this map's starting point, not its own change.
    void forgetChanges() { changes_.clear(); }

    // Becomes `base` with this map's own changes made to it again, in their order.
    void rebaseOnto(BoundedMap base) {
        for (auto& [key, value] : changes_) {
            if (value) {
                base.insert(key, std::move(*value));
            } else {
                base.remove(key);
            }
        }
        base.changes_.clear();
        *this = std::move(base);
    }

    const Value* find(const Key& key) const {
        const auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second;
    }

    // In key order.
    const std::map<Key, Value>& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }

    // Calls `visit` (key, value) for each entry, the one put longest ago first. Files are written
    // in this order, so that putting their entries back in file order keeps every entry's age
    // across a save and a load.
    template <typename Visit>
    void forEachOldestFirst(Visit visit) const {
        for (const auto& [sequence, key] : keyAt_) {
            visit(key, entries_.at(key));
        }
    }

private:
    bool insert(const Key& key, Value value) {
        remove(key);
        entries_.emplace(key, std::move(value));
        sequenceOf_[key] = next_;
        keyAt_.emplace(next_++, key);
        if (entries_.size() <= limit_) {
            return false;
        }
        // A copy: erasing would otherwise destroy the key it is given.
        const Key oldest = keyAt_.begin()->second;
        remove(oldest);
        return true;
    }

    bool remove(const Key& key) {
        const auto sequence = sequenceOf_.find(key);
        if (sequence == sequenceOf_.end()) {
            return false;
        }
        keyAt_.erase(sequence->second);
        sequenceOf_.erase(sequence);
        entries_.erase(key);
        return true;
    }

    std::size_t limit_;
    std::map<Key, Value> entries_;
    std::map<Key, uint64_t> sequenceOf_;
    std::map<uint64_t, Key> keyAt_;
    uint64_t next_ = 0;
    // Own puts (with their value) and erasures (without), oldest first.
    std::vector<std::pair<Key, std::optional<Value>>> changes_;
};

}  // namespace kvinternal
