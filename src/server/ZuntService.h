#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/Lifetime.h"
#include "common/Log.h"
#include "control/IdentifierCatalogue.h"
#include "server/InternalUpdateMetadata.h"
#include "server/ProductTable.h"

namespace pugi {
class xml_document;
}

namespace kvinternal {

class HttpService;

// Asks the image-update endpoint which whole-image releases exist for a phone, and reads the
// identifiers of a phone described by a default capability file. Image updates are only
// reported: they are never downloaded, so their records carry no package.
class ZuntService {
public:
    ZuntService(Log log, std::shared_ptr<HttpService> http, std::string zuntUrl,
                std::string clientName, std::string clientVersion);
    ~ZuntService();
    ZuntService(const ZuntService&) = delete;
    ZuntService& operator=(const ZuntService&) = delete;

    // Adds one record per accepted release ("ZUNT:" + a process-wide counter), or, when none is
    // accepted, one record without install types that still carries the phone's security state
    // type and CE parameter. A bad request (400) counts as no hits and adds nothing.
    void queryImageUpdates(const IdentifierCollection& identifiers, UpdateRegistry& records) const;

    // Sets the identifiers the file describes from its first `length` bytes; a security state
    // of "unknown" is left unset. IllegalStateException when the bytes are not XML.
    void readDefaultCapabilityFile(const uint8_t* data, uint64_t length,
                                   IdentifierCollection& identifiers) const;

    // Whether dotted version `version` is at least `minimum`, piece by piece as numbers. Runs
    // out of pieces on either side, or a piece that is not a number, and it is.
    static bool isVersionAtLeast(const std::string& version, const std::string& minimum);

private:
    std::map<std::string, std::string> queryParameters(
        const IdentifierCollection& identifiers) const;
    // The body, or nothing when the server found the request bad.
    std::optional<std::string> fetchResponse(const std::string& url) const;
    // Parses `text`, logs the document under `title` and fails with the parser's account.
    void loadXml(const std::string& title, const std::string& text,
                 pugi::xml_document& document) const;

    Log log_;
    Lifetime lifetime_;
    std::shared_ptr<HttpService> http_;
    std::string zuntUrl_;
    std::string clientName_;
    std::string clientVersion_;
    ProductTable productTable_;
};

}  // namespace kvinternal
