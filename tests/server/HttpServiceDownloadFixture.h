#pragma once

#include <json/json.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "HttpServiceTestSupport.h"
#include "ImeiEncryption.h"
#include "InProcessServerProvider.h"
#include "PatternedBody.h"
#include "SimulatedUpdateServer.h"
#include "TempDirectory.h"
#include "common/Base64.h"
#include "control/ServerChoice.h"
#include "server/InternalUpdateMetadata.h"
#include "store/DeltaFileCache.h"
#include "store/UpdateSessionIdCache.h"
#include "tracking/TrackingService.h"

namespace kvinternal {

// A download event as the tracking endpoint received it.
struct ReceivedEvent {
    std::string status;
    std::string statusCode;
    std::string log;

    bool operator==(const ReceivedEvent& other) const {
        return status == other.status && statusCode == other.statusCode && log == other.log;
    }
};

inline std::ostream& operator<<(std::ostream& out, const ReceivedEvent& event) {
    return out << event.status << " " << event.statusCode << " \"" << event.log << "\"";
}

inline const ReceivedEvent initiated{"initiated", "", ""};
inline const ReceivedEvent succeeded{"ok", "", ""};
inline const ReceivedEvent cancelled{"cancelled", "401", ""};

// The real HTTP service downloading from the simulated update server's in-process front end
// into a fresh working directory whose delta file cache is the current one; the tracking service
// posts to the simulated tracking endpoint, and retry waits are recorded instead of slept.
class HttpServiceDownloadFixture {
protected:
    static constexpr uint64_t packageSize = 5000;
    static constexpr char packageId[] = "delta-7";

    HttpServiceDownloadFixture() {
        setCurrentDeltaFileCache(cache);
        http->setTrackingService(tracking);
    }

    std::string url() const { return kvtest::SimulatedUpdateServer::packageUrl(packageId); }
    std::string path() const { return DeltaFile::fileNameFromUrl(directory.path(), url()); }

    // The update of a package of `size` bytes whose file holds the first `onDisk` bytes of the
    // pattern (more than `size` when `onDisk` is larger).
    std::shared_ptr<InternalUpdateMetadata> update(uint64_t size = packageSize, uint64_t onDisk = 0,
                                                   std::optional<std::string> checksum = {}) {
        server->addPackage(kvtest::SimulatedPackage::example(packageId, size));
        if (onDisk > 0) {
            std::ofstream(platform::toPath(path()), std::ios::binary)
                << kvtest::PatternedBody::bytes(0, onDisk);
        }
        auto record = std::make_shared<InternalUpdateMetadataV2>(
            kv::Kavrin::UpdateMetadata{},
            DeltaFile::create(directory.path(), Log(logger), url(), size,
                              checksum.value_or(server->packageHash(packageId))));
        record->fwId = "fw-7";
        record->serverChecksum = "update-checksum-7";
        return record;
    }

    Thrown download(const std::shared_ptr<InternalUpdateMetadata>& record) {
        return thrownBy([&] { http->downloadDelta(record, identifiers); });
    }

    std::vector<ReceivedEvent> events() const {
        std::vector<ReceivedEvent> received;
        for (const auto& posted : server->trackingDocuments()) {
            const Json::Value& fw = posted.document["update"]["fw"];
            const auto log = base64Decode(fw["log"].asString());
            received.push_back({fw["status"].asString(), fw["statusCode"].asString(),
                                std::string(log.begin(), log.end())});
        }
        return received;
    }

    // The Range header of each package request, "" where there was none.
    std::vector<std::string> ranges() const {
        std::vector<std::string> headers;
        for (const auto& served : server->requests(kvtest::Endpoint::Package)) {
            const auto range = served.request.headers.find(headerRange);
            headers.push_back(range == served.request.headers.end() ? "" : range->second);
        }
        return headers;
    }

    std::string onDisk() const { return platform::readFile(path()).value_or(""); }
    uint64_t recordedSize() const { return cache->get(url(), packageSize).downloadedSize; }

    std::vector<uint64_t> sleeps;
    platform::ScopedHooks hooks{
        platform::Hooks{[this](uint64_t milliseconds) { sleeps.push_back(milliseconds); }, {}, {}}};
    kvtest::TempDirectory directory;
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<kvtest::SimulatedUpdateServer> server =
        std::make_shared<kvtest::SimulatedUpdateServer>();
    std::shared_ptr<kvtest::InProcessServerProvider> provider =
        std::make_shared<kvtest::InProcessServerProvider>(server);
    std::shared_ptr<HttpService> http = std::make_shared<HttpService>(Log(logger), provider);
    std::shared_ptr<DeltaFileCache> cache =
        std::make_shared<DeltaFileCache>(Log(logger), directory.path());
    std::shared_ptr<TrackingService> tracking = std::make_shared<TrackingService>(
        directory.path(), Log(logger), http,
        std::make_shared<UpdateSessionIdCache>(Log(logger), directory.path()),
        servers::yavClientKey(kv::Kavrin::Server::Test),
        servers::updateServerBase(kv::Kavrin::Server::Test) + "/trackingv4", "Kavrin host", "2.0");
    IdentifierCollection identifiers{
        {IdentifierId::CalculatedImei, "490154203237518"},
        {IdentifierId::EncryptedImei, kvtest::encryptImei("490154203237518")}};
};

}  // namespace kvinternal
