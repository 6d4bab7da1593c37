#pragma once

#include <cstdint>
#include <string>

#include "store/Sha256Hasher.h"

namespace kvinternal {

class DeltaFile;

// The SHA-256 of a package file, built while its bytes are written, so that a download reads
// back only the bytes that were on disk before it started. One per download call.
class PackageDigest {
public:
    // Makes the digest cover the file's bytes: nothing is read when it covers them already,
    // otherwise the file is hashed from its start. False when the file could not be read.
    bool catchUp(const DeltaFile& file);
    // Bytes just appended to the file.
    void add(const uint8_t* data, uint64_t count);
    // The file was emptied.
    void reset();
    // The digest of the bytes covered, as lowercase hexadecimal.
    std::string hex() const;

private:
    Sha256Hasher hasher_;
    uint64_t covered_ = 0;
};

}  // namespace kvinternal
