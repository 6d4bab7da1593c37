#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "kavrin/Kavrin.h"
#include "store/DeltaFile.h"

namespace kvinternal {

// The library's record of one offered update: the public record the host sees, the local package
// file, and the server fields that the download, the phone and tracking need.
struct InternalUpdateMetadata {
    InternalUpdateMetadata(int32_t dataVersion, kv::Kavrin::UpdateMetadata metadata,
                           DeltaFile deltaFile)
        : dataVersion(dataVersion),
          metadata(std::move(metadata)),
          deltaFile(std::move(deltaFile)) {}
    virtual ~InternalUpdateMetadata() = default;
    InternalUpdateMetadata(const InternalUpdateMetadata&) = delete;
    InternalUpdateMetadata& operator=(const InternalUpdateMetadata&) = delete;

    // 1 for InternalUpdateMetadataV1, 2 for InternalUpdateMetadataV2, 0 for a plain record.
    int32_t dataVersion;
    kv::Kavrin::UpdateMetadata metadata;
    DeltaFile deltaFile;
    std::string serverChecksum;     // sent as "YAV-checksum" when downloading
    std::string identifierCacheId;  // identification id of the collection that found it
    std::string fwId;
    std::string hash;
    std::string currentSwVersion;
    std::string targetSwVersion;
};

// Protocol 3 (and image updates): CDF fields.
struct InternalUpdateMetadataV1 : InternalUpdateMetadata {
    InternalUpdateMetadataV1(kv::Kavrin::UpdateMetadata metadata, DeltaFile deltaFile)
        : InternalUpdateMetadata(1, std::move(metadata), std::move(deltaFile)) {}

    std::string swId;         // package's
    std::string cdfId;        // package's
    std::string cdfVersion;   // the phone's, before the update
    std::string cdfRevision;  // package's target
};

// Protocol 4: carrier and software variant fields.
struct InternalUpdateMetadataV2 : InternalUpdateMetadata {
    InternalUpdateMetadataV2(kv::Kavrin::UpdateMetadata metadata, DeltaFile deltaFile)
        : InternalUpdateMetadata(2, std::move(metadata), std::move(deltaFile)) {}

    std::string carrierId;        // the phone's
    std::string vexaProductCode;  // the phone's
    std::string swVariant;        // the phone's, before the update
    std::string targetSwVariant;  // package's
};

// The session's updates found so far, by update id ("YAV:" + n, "ZUNT:" + m).
using UpdateRegistry = std::map<std::string, std::shared_ptr<InternalUpdateMetadata>>;

}  // namespace kvinternal
