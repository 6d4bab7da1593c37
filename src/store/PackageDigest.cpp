#include "store/PackageDigest.h"

#include "store/DeltaFile.h"

namespace kvinternal {

bool PackageDigest::catchUp(const DeltaFile& file) {
    if (covered_ == file.currentSize()) {
        return true;
    }
    reset();
    const auto hashed = file.hashInto(hasher_);
    if (!hashed) {
        reset();
        return false;
    }
    covered_ = *hashed;
    return true;
}

void PackageDigest::add(const uint8_t* data, uint64_t count) {
    hasher_.update(data, count);
    covered_ += count;
}

void PackageDigest::reset() {
    hasher_ = Sha256Hasher();
    covered_ = 0;
}

std::string PackageDigest::hex() const {
    Sha256Hasher finishing = hasher_;
    return toHex(finishing.finish());
}

}  // namespace kvinternal
