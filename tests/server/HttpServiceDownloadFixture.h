#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PatternedBody.h"
#include "store/DeltaFileCache.h"
#include "support/ServerServicesFixture.h"

namespace kvinternal {

inline const std::string initiated = "download|initiated||";
inline const std::string succeeded = "download|ok||";
inline const std::string cancelled = "download|cancelled|401|";

// Downloads from the simulated update server into the working directory, whose delta file cache
// is the current one.
class HttpServiceDownloadFixture : public ServerServicesFixture {
protected:
    static constexpr uint64_t packageSize = 5000;
    static constexpr char packageId[] = "delta-7";

    HttpServiceDownloadFixture() { http->setTrackingService(tracking); }

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
        return updateRecord(
            2, "fw-7",
            DeltaFile::create(directory.path(), Log(logger), url(), size,
                              checksum.value_or(server->packageHash(packageId)), cache));
    }

    Thrown download(const std::shared_ptr<InternalUpdateMetadata>& record) {
        return thrownBy([&] { http->downloadDelta(record, identifiers); });
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

    std::shared_ptr<DeltaFileCache> cache =
        std::make_shared<DeltaFileCache>(Log(logger), directory.path());
};

}  // namespace kvinternal
