#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ImeiEncryption.h"
#include "RecordingLogger.h"
#include "ScriptedHttpProvider.h"
#include "TempDirectory.h"
#include "common/JsonText.h"
#include "common/Log.h"
#include "common/Platform.h"
#include "control/IdentifierCatalogue.h"
#include "control/ServerChoice.h"
#include "server/HttpService.h"
#include "store/UpdateSessionIdCache.h"
#include "tracking/TrackingService.h"

namespace kvinternal {

// A tracking service over a scripted tracking endpoint (`answer`; tests may replace `http`
// before constructing) of the test environment, in a fresh working directory, with the wall clock
// at `now` and retry waits recorded instead of slept.
class TrackingFixture : public ::testing::Test {
protected:
    using Channel = kvtest::RecordingLogger::Channel;
    using HttpAnswer = kvtest::HttpAnswer;

    static constexpr int64_t minute = 60 * 1000;
    static constexpr int64_t day = 24 * 60 * minute;
    const std::string trackingUrl =
        servers::updateServerBase(kv::Kavrin::Server::Test) + "/trackingv4";
    const std::string clientKey = servers::yavClientKey(kv::Kavrin::Server::Test);

    static HttpAnswer refused() {
        return HttpAnswer::withoutResponse(kv::HttpProvider::HttpResult::GeneralError);
    }
    std::unique_ptr<TrackingService> construct() {
        return std::make_unique<TrackingService>(directory.path(), Log(logger), http, sessionIds,
                                                 clientKey, trackingUrl, "Kavrin host", "2.0.1");
    }
    std::vector<Json::Value> posted() const {
        std::vector<Json::Value> documents;
        for (const auto& request : provider->requests()) {
            documents.push_back(json::parse(request.body).root);
        }
        return documents;
    }

    std::string resendPath(const std::string& name) const {
        return directory.path() + "/tracking/" + name + ".failed";
    }
    std::vector<std::string> storedNames() const {
        return platform::listFilesWithSuffix(directory.path() + "/tracking", ".failed");
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

    IdentifierCollection identifiers{
        {IdentifierId::CalculatedImei, "490154203237518"},
        {IdentifierId::EncryptedImei, kvtest::encryptImei("490154203237518")},
        {IdentifierId::Model, "Vexa 10"},
        {IdentifierId::AppSwVersion, "61.2.A.0.120"},
    };
    uint64_t now = 1'750'000'000'000;
    std::vector<uint64_t> sleeps;
    platform::ScopedHooks hooks{
        platform::Hooks{[this](uint64_t milliseconds) { sleeps.push_back(milliseconds); },
                        [this] { return now; },
                        {}}};
    kvtest::TempDirectory directory;
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::function<HttpAnswer()> answer = [] { return HttpAnswer{}; };
    std::shared_ptr<kvtest::ScriptedHttpProvider> provider =
        std::make_shared<kvtest::ScriptedHttpProvider>(
            [this](const kvtest::RecordedHttpRequest&) { return answer(); });
    std::shared_ptr<HttpService> http = std::make_shared<HttpService>(Log(logger), provider);
    std::shared_ptr<UpdateSessionIdCache> sessionIds =
        std::make_shared<UpdateSessionIdCache>(Log(logger), directory.path());
};

}  // namespace kvinternal
