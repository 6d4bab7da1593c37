#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/JsonText.h"
#include "support/ServerServicesFixture.h"

namespace kvinternal {

// The tracking services over the simulated update server, with the wall clock at `now`, and the
// resend store's files in the working directory.
class TrackingFixture : public ServerServicesFixture, public ::testing::Test {
protected:
    using Channel = kvtest::RecordingLogger::Channel;

    static constexpr int64_t minute = 60 * 1000;
    static constexpr int64_t hour = 60 * minute;
    static constexpr int64_t day = 24 * hour;

    std::string resendPath(const std::string& name) const {
        return directory.path() + "/tracking/" + name + ".failed";
    }
    std::vector<std::string> storedNames() const {
        return platform::listFilesWithSuffix(directory.path() + "/tracking", ".failed").names;
    }
    void storeText(const std::string& name, const std::string& text) {
        platform::createDirectory(directory.path() + "/tracking");
        ASSERT_TRUE(platform::writeFileAtomically(resendPath(name), text));
    }
    // A document that failed first `firstAge` and last `latestAge` ago (negative: in the future).
    void store(const std::string& name, int64_t firstAge, int64_t latestAge) {
        Json::Value document;
        document["name"] = name;
        document["resend"]["firstFailureDate"] = Json::UInt64(now - firstAge);
        document["resend"]["latestResendAttempt"] = Json::UInt64(now - latestAge);
        storeText(name, json::styled(document));
    }
    Json::Value storedDocument(const std::string& name) const {
        return json::parse(platform::readFile(resendPath(name)).value_or("")).root;
    }

    uint64_t now = 1'750'000'000'000;
    platform::ScopedHooks clock{
        platform::Hooks()
            .withSleep([this](uint64_t milliseconds) { sleeps.push_back(milliseconds); })
            .withWallClock([this] { return now; })};
};

}  // namespace kvinternal
