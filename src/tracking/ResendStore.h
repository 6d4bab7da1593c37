#pragma once

#include <json/json.h>

#include <cstddef>
#include <functional>
#include <string>

#include "common/Log.h"

namespace kvinternal {

// Tracking documents that could not be sent, one file "<name>.failed" each in the resend
// directory, sent again by later passes until they are 60 days old. Each file is the document
// with a "resend" member holding "firstFailureDate" and "latestResendAttempt" (milliseconds since
// 1970). Used from one thread at a time.
class ResendStore {
public:
    // Sends one document; true when it was delivered.
    using Sender = std::function<bool(const Json::Value& document)>;

    // Creates the directory (one level) if it is missing. A directory that is a link (or is no
    // directory) leads outside the working directory: the store then keeps, sends and deletes
    // nothing, and says so once.
    ResendStore(Log log, std::string directory);

    // Writes the document under `name` (atomically, replacing an earlier file of that name).
    // `firstFailure` stamps a new "firstFailureDate"; otherwise the document's own is kept.
    // Failures are logged, never thrown.
    void saveForResend(Json::Value document, bool firstFailure, const std::string& name) const;

    // Sends stored documents through `send`, the one stored or tried longest ago first:
    // expired and unreadable documents are deleted, documents attempted in the last 10 minutes
    // wait unless `force`, and the pass ends after 3 failed sends in a row or once `limit`
    // documents were tried. Broken files are logged and deleted, never thrown; `send` must not
    // throw either. Returns the number of documents tried.
    std::size_t resendStored(bool force, std::size_t limit, const Sender& send) const;

private:
    enum class Verdict { Sent, Failed, Skipped };

    Verdict resendFile(const std::string& fileName, bool force, const Sender& send) const;
    void discardUnparsable(const std::string& path, const std::string& text,
                           const std::string& errors) const;
    std::string pathOf(const std::string& name) const;

    Log log_;
    std::string directory_;
    bool usable_;
};

}  // namespace kvinternal
