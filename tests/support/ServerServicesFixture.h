#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ImeiEncryption.h"
#include "InProcessServerProvider.h"
#include "RecordingLogger.h"
#include "ScriptedHttpProvider.h"
#include "SimulatedUpdateServer.h"
#include "TempDirectory.h"
#include "common/Base64.h"
#include "common/Log.h"
#include "common/Platform.h"
#include "control/CurrentProgress.h"
#include "control/Exceptions.h"
#include "control/IdentifierCatalogue.h"
#include "control/ServerChoice.h"
#include "server/HttpService.h"
#include "server/InternalUpdateMetadata.h"
#include "store/DeltaFile.h"
#include "store/UpdateSessionIdCache.h"
#include "tracking/TrackingPostRule.h"
#include "tracking/TrackingService.h"

namespace kvinternal {

// What an action threw, in a form tables can state; `code` is that of a network or device
// failure.
struct Thrown {
    std::string kind = "nothing";
    std::string message;
    int64_t code = 0;
    bool isHttpStatus = false;

    bool operator==(const Thrown& other) const {
        return kind == other.kind && message == other.message && code == other.code &&
               isHttpStatus == other.isHttpStatus;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Thrown& thrown) {
    return out << thrown.kind << " \"" << thrown.message << "\" code " << thrown.code
               << (thrown.isHttpStatus ? " (HTTP status)" : "");
}

inline Thrown thrownBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const NetworkException& error) {
        return {"network", error.what(), error.code(), error.isHttpStatus()};
    } catch (const DeviceException& error) {
        return {"device", error.what(), error.code()};
    } catch (const IllegalStateException& error) {
        return {"illegal state", error.what()};
    } catch (const IllegalArgumentException& error) {
        return {"illegal argument", error.what()};
    } catch (const CancelledException& error) {
        return {"cancelled", error.what()};
    } catch (const std::exception& error) {
        return {"std", error.what()};
    } catch (...) {
        return {"other", ""};
    }
    return {};
}

inline Thrown network(const std::string& message, int64_t code, bool isHttpStatus) {
    return {"network", message, code, isHttpStatus};
}

inline Thrown illegalState(const std::string& message) {
    return {"illegal state", message};
}

inline Thrown device(const std::string& message, int64_t code) {
    return {"device", message, code};
}

// A host sink that hands every line to `onLine` after recording it, so that a test can make it
// throw. Set `onLine` before the threads that log start.
class ThrowingLogger : public kvtest::RecordingLogger {
public:
    void error(const std::string& message) override {
        RecordingLogger::error(message);
        if (onLine) {
            onLine(message);
        }
    }
    void log(const std::string& message, bool verbose) override {
        RecordingLogger::log(message, verbose);
        if (onLine) {
            onLine(message);
        }
    }

    std::function<void(const std::string&)> onLine;
};

// The library's services over the simulated update server: the HTTP service reaching it through
// its in-process front end, and a tracking service (with a sink of its own) posting to its
// tracking endpoint, in a fresh working directory. Retry waits are recorded instead of slept.
class ServerServicesFixture {
protected:
    const std::string trackingUrl =
        servers::updateServerBase(kv::Kavrin::Server::Test) + "/trackingv4";
    const std::string clientKey = servers::yavClientKey(kv::Kavrin::Server::Test);

    std::shared_ptr<TrackingService> makeTracking() const {
        return std::make_shared<TrackingService>(directory.path(), Log(trackingLogger), http,
                                                 sessionIds, clientKey, trackingUrl, "Kavrin host",
                                                 "2.0.1", trackingPostRule);
    }

    // An update record of data version 1, 2 or (a plain record) 0 for the package `file`, its
    // texts made from `fwId`.
    static std::shared_ptr<InternalUpdateMetadata> updateRecord(int32_t dataVersion,
                                                                const std::string& fwId,
                                                                DeltaFile file) {
        std::shared_ptr<InternalUpdateMetadata> record;
        if (dataVersion == 1) {
            auto v1 = std::make_shared<InternalUpdateMetadataV1>(kv::Kavrin::UpdateMetadata{},
                                                                 std::move(file));
            v1->cdfVersion = "R2A";
            v1->cdfRevision = "R3A";
            record = v1;
        } else if (dataVersion == 2) {
            auto v2 = std::make_shared<InternalUpdateMetadataV2>(kv::Kavrin::UpdateMetadata{},
                                                                 std::move(file));
            v2->swVariant = "EU";
            v2->targetSwVariant = "EU2";
            record = v2;
        } else {
            record = std::make_shared<InternalUpdateMetadata>(0, kv::Kavrin::UpdateMetadata{},
                                                              std::move(file));
        }
        record->fwId = fwId;
        record->serverChecksum = "sum-" + fwId;
        record->hash = "hash-" + fwId;
        record->currentSwVersion = "61.2";
        record->targetSwVersion = "62.0";
        return record;
    }

    // An HTTP service whose provider raises what `raise` throws at every exchange.
    std::shared_ptr<HttpService> throwingHttp(std::function<void()> raise) const {
        return std::make_shared<HttpService>(
            Log(logger),
            std::make_shared<kvtest::ScriptedHttpProvider>(
                [raise](const kvtest::RecordedHttpRequest&) -> kvtest::HttpAnswer {
                    raise();
                    return {};
                }),
            currentProgress);
    }

    // The update events of these phases (of all, without any) as the tracking server received
    // them, in order, each as "phase|status|statusCode|log".
    std::vector<std::string> events(const std::set<std::string>& phases = {}) const {
        std::vector<std::string> received;
        for (const auto& posted : server->trackingDocuments()) {
            const Json::Value& fw = posted.document["update"]["fw"];
            const std::string phase = fw["phase"].asString();
            if (fw.isObject() && (phases.empty() || phases.count(phase) > 0)) {
                const auto log = base64Decode(fw["log"].asString());
                received.push_back(phase + "|" + fw["status"].asString() + "|" +
                                   fw["statusCode"].asString() + "|" +
                                   std::string(log.begin(), log.end()));
            }
        }
        return received;
    }

    IdentifierCollection identifiers{
        {IdentifierId::CalculatedImei, "490154203237518"},
        {IdentifierId::EncryptedImei, kvtest::encryptImei("490154203237518")},
    };
    std::vector<uint64_t> sleeps;
    platform::ScopedHooks hooks{platform::Hooks().withSleep(
        [this](uint64_t milliseconds) { sleeps.push_back(milliseconds); })};
    kvtest::TempDirectory directory;
    std::shared_ptr<ThrowingLogger> logger = std::make_shared<ThrowingLogger>();
    std::shared_ptr<ThrowingLogger> trackingLogger = std::make_shared<ThrowingLogger>();
    std::shared_ptr<kvtest::SimulatedUpdateServer> server =
        std::make_shared<kvtest::SimulatedUpdateServer>();
    std::shared_ptr<kvtest::InProcessServerProvider> provider =
        std::make_shared<kvtest::InProcessServerProvider>(server);
    // The session's running operation, as the services see it.
    std::shared_ptr<CurrentProgress> currentProgress = std::make_shared<CurrentProgress>();
    std::shared_ptr<HttpService> http =
        std::make_shared<HttpService>(Log(logger), provider, currentProgress);
    std::shared_ptr<TrackingPostRule> trackingPostRule = std::make_shared<TrackingPostRule>();
    std::shared_ptr<UpdateSessionIdCache> sessionIds =
        std::make_shared<UpdateSessionIdCache>(Log(logger), directory.path());
    std::shared_ptr<TrackingService> tracking = makeTracking();
};

}  // namespace kvinternal
