// The Content-Range a server answers to a resumed download: 1000 of 5000 bytes are on disk, the
// library asks for the rest, and the server answers 206 with the fuzzed Content-Range. Only the
// range asked for may be appended.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzHarness.h"
#include "control/Exceptions.h"
#include "server/InternalUpdateMetadata.h"
#include "store/DeltaFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kvfuzz::resumedBytesOnDisk;
    using kvfuzz::resumedPackageSize;
    static const kvfuzz::FuzzDirectory directory;
    const std::string head(resumedBytesOnDisk, 'k');
    directory.holding("pkg.bin", reinterpret_cast<const uint8_t*>(head.data()), head.size());

    const std::string contentRange = kvfuzz::text(data, size);
    auto answer =
        kvtest::HttpAnswer::withBody(std::string(resumedPackageSize - resumedBytesOnDisk, 'k'),
                                     "application/vnd.vexaltronic.fota.update");
    answer.statusCode = 206;
    answer.headers["Content-Range"] = contentRange;
    const auto log = kvfuzz::discardingLog();
    const auto service = kvfuzz::httpServiceAnswering(log, std::move(answer));
    const auto metadata = std::make_shared<kvinternal::InternalUpdateMetadataV2>(
        kv::Kavrin::UpdateMetadata{},
        kvinternal::DeltaFile::create(directory.path(), log,
                                      "https://update-test.kavrin.example/packages/pkg.bin",
                                      resumedPackageSize, "", nullptr));
    try {
        service->downloadDelta(metadata, {});
        kvfuzz::require(contentRange.find("1000-4999/5000") != std::string::npos,
                        "a Content-Range for other bytes was accepted");
    } catch (const kvinternal::IllegalStateException&) {
        // A Content-Range for other bytes, or none that can be read: refused.
    }
    return 0;
}
