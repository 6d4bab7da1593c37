#pragma once

#include <json/json.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace kvsoak {

// One tracking event of a run: an update event by its update session id, phase and time, a
// manifest event by its time (the worker's clock gives every reading a time of its own).
// Empty for a document that is neither.
std::string eventKey(const Json::Value& document);

// Every tracking event of a run: those the worker posted, those the server received (and how
// often) and those the working directory's resend store holds, so that after each update an
// event is either received once or stored, and after the last runs received once.
class TrackingLedger {
public:
    void posted(const std::string& key) { known_.insert(key); }
    // A failed post of a worker whose files cannot grow as large as the event's document (a full
    // disk): its event finds no room in the resend store, and then nothing can keep it.
    void failedOnFullDisk(const std::string& key) { mayBeLost_.insert(key); }
    // The post answered just before the kill: the copy of the event on disk was not yet deleted,
    // and is sent once more later. Nothing can tell the library that the server has it; the
    // server tells the copies apart by session id, phase and time.
    void answeredInKill(const std::string& key) { answeredInKills_.insert(key); }
    void received(const Json::Value& document);
    // The events in the resend store now.
    void storedNow(std::set<std::string> keys);

    // The first event that breaks the rule, with what happened to it.
    std::optional<std::string> breach() const;
    // The same, and every event received (none stored): the end of a run.
    std::optional<std::string> breachAtTheEnd() const;

    uint64_t sent() const { return sent_; }
    uint64_t resent() const { return resent_; }
    uint64_t everStored() const { return everStored_.size(); }
    uint64_t storedCount() const { return stored_.size(); }
    // Events neither received nor stored, of those that may be lost on a full disk.
    uint64_t lostOnAFullDisk() const;
    // Events the server received twice, after a kill between its answer and the deletion.
    uint64_t receivedTwice() const;

private:
    std::set<std::string> known_;
    std::set<std::string> mayBeLost_;
    std::set<std::string> answeredInKills_;
    std::map<std::string, int> receipts_;
    std::set<std::string> stored_;
    std::set<std::string> everStored_;
    uint64_t sent_ = 0;
    uint64_t resent_ = 0;
};

}  // namespace kvsoak
