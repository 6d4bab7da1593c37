#include "TrackingLedger.h"

namespace kvsoak {

std::string eventKey(const Json::Value& document) {
    if (!document.isObject()) {
        return {};
    }
    const std::string time = document["time"].isUInt64() ? document["time"].asString() : "?";
    if (document["update"].isObject()) {
        const Json::Value& update = document["update"];
        return "update event " + update["sessionId"].asString() + " " +
               update["fw"]["phase"].asString() + " at " + time;
    }
    if (document["yavSync"].isObject()) {
        return "manifest event at " + time;
    }
    return {};
}

void TrackingLedger::received(const Json::Value& document) {
    const std::string key = eventKey(document);
    known_.insert(key);
    ++receipts_[key];
    ++sent_;
    resent_ += everStored_.count(key);
}

void TrackingLedger::storedNow(std::set<std::string> keys) {
    for (const std::string& key : keys) {
        known_.insert(key);
        everStored_.insert(key);
    }
    stored_ = std::move(keys);
}

uint64_t TrackingLedger::lostOnAFullDisk() const {
    uint64_t lost = 0;
    for (const std::string& key : mayBeLost_) {
        lost += receipts_.count(key) == 0 && stored_.count(key) == 0;
    }
    return lost;
}

uint64_t TrackingLedger::receivedTwice() const {
    uint64_t twice = 0;
    for (const auto& [key, receipts] : receipts_) {
        twice += receipts == 2;
    }
    return twice;
}

std::optional<std::string> TrackingLedger::breach() const {
    for (const std::string& key : known_) {
        const auto found = receipts_.find(key);
        const int receipts = found == receipts_.end() ? 0 : found->second;
        const bool stored = stored_.count(key) != 0;
        // Received twice at most when a kill came between the server's answer and the deletion.
        const int mostReceipts = answeredInKills_.count(key) != 0 ? 2 : 1;
        if (key.empty()) {
            return "the server received a tracking document that is no event";
        }
        if (receipts > mostReceipts) {
            return key + " was received " + std::to_string(receipts) + " times";
        }
        if (receipts == mostReceipts && stored) {
            return key + " was received and is still stored, to be sent again";
        }
        if (receipts == 0 && !stored && mayBeLost_.count(key) == 0) {
            return key + " was neither received nor stored";
        }
    }
    return std::nullopt;
}

std::optional<std::string> TrackingLedger::breachAtTheEnd() const {
    if (auto found = breach()) {
        return found;
    }
    if (!stored_.empty()) {
        return std::to_string(stored_.size()) + " events are still stored, first " +
               *stored_.begin();
    }
    return std::nullopt;
}

}  // namespace kvsoak
