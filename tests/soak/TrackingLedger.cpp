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

std::optional<std::string> TrackingLedger::breach() const {
    for (const std::string& key : known_) {
        const auto found = receipts_.find(key);
        const int receipts = found == receipts_.end() ? 0 : found->second;
        const bool stored = stored_.count(key) != 0;
        if (key.empty()) {
            return "the server received a tracking document that is no event";
        }
        if (receipts > 1) {
            return key + " was received " + std::to_string(receipts) + " times";
        }
        if (receipts == 1 && stored) {
            return key + " was received and is still stored, to be sent again";
        }
        if (receipts == 0 && !stored && lostInKills_.count(key) == 0) {
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
