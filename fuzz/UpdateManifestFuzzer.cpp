// The update manifest, as the update endpoint answers the query, through the YAV service into
// update records and the manifest's tracking event. The first byte picks the protocol (odd: 4);
// the rest is the body.
#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzHarness.h"
#include "control/Exceptions.h"
#include "control/IdentifierCatalogue.h"
#include "server/YavService.h"

namespace {

kvinternal::IdentifierCollection phone(bool protocol4) {
    using kvinternal::IdentifierId;
    return {{IdentifierId::HasGotaV3Support, protocol4 ? "false" : "true"},
            {IdentifierId::HasGotaV4Support, protocol4 ? "true" : "false"},
            {IdentifierId::AppSwVersion, "5.2.0.100"},
            {IdentifierId::CdfVersion, "R1A"},
            {IdentifierId::Model, "K-9"},
            {IdentifierId::IdentifierCacheId, "fuzzed-identification"}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const kvfuzz::FuzzDirectory directory;
    directory.clear();
    const auto log = kvfuzz::discardingLog();
    const auto http = kvfuzz::httpServiceAnswering(
        log, kvtest::HttpAnswer::withBody(kvfuzz::text(data + 1, size - 1), "application/json"));
    const bool protocol4 = (data[0] & 1) != 0;
    const kvinternal::YavService service(
        log, http, kvfuzz::trackingService(directory.path(), log, http), kvfuzz::clientKey,
        std::string(kvfuzz::updateServer) + (protocol4 ? "/yav/v4/updates" : "/yav/v3/updates"),
        directory.path(), "", {});
    kvinternal::UpdateRegistry records;
    try {
        service.queryUpdates(phone(protocol4), records);
    } catch (const kvinternal::IllegalStateException&) {
        // Not JSON at all.
    } catch (const kvinternal::IllegalArgumentException&) {
        // A download address that names no file inside the working directory.
    } catch (const Json::LogicError&) {
        // A member of the wrong JSON type.
    }
    return 0;
}
