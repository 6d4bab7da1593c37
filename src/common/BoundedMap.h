#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

namespace kvinternal {

// An ordered map that holds at most `limit` entries: putting one more drops the entry that was
// put longest ago. The caches keep their files bounded this way, however long a working
// directory is used.
template <typename Key, typename Value>
class BoundedMap {
public:
    explicit BoundedMap(std::size_t limit) : limit_(limit) {}

    // Inserts or replaces; a replaced entry counts as put now. Returns whether an older entry
    // was dropped to make room.
    bool put(const Key& key, Value value) {
        erase(key);
        entries_.emplace(key, std::move(value));
        sequenceOf_[key] = next_;
        keyAt_.emplace(next_++, key);
        if (entries_.size() <= limit_) {
            return false;
        }
        // A copy: erasing would otherwise destroy the key it is given.
        const Key oldest = keyAt_.begin()->second;
        erase(oldest);
        return true;
    }

    bool erase(const Key& key) {
        const auto sequence = sequenceOf_.find(key);
        if (sequence == sequenceOf_.end()) {
            return false;
        }
        keyAt_.erase(sequence->second);
        sequenceOf_.erase(sequence);
        entries_.erase(key);
        return true;
    }

    const Value* find(const Key& key) const {
        const auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second;
    }

    // In key order.
    const std::map<Key, Value>& entries() const { return entries_; }

    // Calls `visit` (key, value) for each entry, the one put longest ago first. Files are written
    // in this order, so that putting their entries back in file order keeps every entry's age
    // across a save and a load.
    template <typename Visit>
    void forEachOldestFirst(Visit visit) const {
        for (const auto& [sequence, key] : keyAt_) {
            visit(key, entries_.at(key));
        }
    }
    std::size_t size() const { return entries_.size(); }

private:
    std::size_t limit_;
    std::map<Key, Value> entries_;
    std::map<Key, uint64_t> sequenceOf_;
    std::map<uint64_t, Key> keyAt_;
    uint64_t next_ = 0;
};

}  // namespace kvinternal
