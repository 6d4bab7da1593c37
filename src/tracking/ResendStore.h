#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/Log.h"

namespace kvinternal {

// Tracking documents that could not be sent, one file "<name>.failed" each in the resend
// directory, sent again by later passes until they are 60 days old. Each file is the document
// with a "resend" member holding "firstFailureDate" and "latestResendAttempt" (milliseconds since
// 1970). Used from one thread at a time.
//
// A document is written ahead of its first post as "<name>.sending", so that one whose process
// dies during the post is not lost: a pass takes such a file up as stored once it is 10 minutes
// old, when no post of it can still be running in another session.
class ResendStore {
public:
    // Sends one document; true when it was delivered.
    using Sender = std::function<bool(const Json::Value& document)>;

    // A document on its way to the server, written ahead of its post when the disk allowed.
    class Outgoing {
    public:
        // The post got through: the copy written ahead goes.
        void delivered() const;
        // The post failed: the document is stored for resending.
        void failed() const;

    private:
        friend class ResendStore;
        Outgoing(const ResendStore& store, Json::Value document, std::string name,
                 bool writtenAhead);

        const ResendStore& store_;
        Json::Value document_;
        std::string name_;
        bool writtenAhead_;
    };

    // Creates the directory (one level) if it is missing. A directory that is a link (or is no
    // directory) leads outside the working directory: the store then keeps, sends and deletes
    // nothing, and says so once.
    ResendStore(Log log, std::string directory);

    // Writes the document under `name` (atomically, replacing an earlier file of that name).
    // `firstFailure` stamps a new "firstFailureDate"; otherwise the document's own is kept.
    // Failures are logged, never thrown.
    void saveForResend(Json::Value document, bool firstFailure, const std::string& name) const;

    // Writes `document` ahead of its post under `name`, dated as a first failure.
    Outgoing writeAhead(const Json::Value& document, const std::string& name) const;

    // Sends stored documents through `send`, the one stored or tried longest ago first:
    // expired and unreadable documents are deleted, documents attempted in the last 10 minutes
    // wait unless `force`, and the pass ends after 3 failed sends in a row or once `limit`
    // documents were tried. Broken files are logged and deleted, never thrown; `send` must not
    // throw either. Returns the number of documents tried.
    std::size_t resendStored(bool force, std::size_t limit, const Sender& send) const;

private:
    enum class Verdict { Sent, Failed, Skipped };
    struct StoredDocument {
        Json::Value document;
        uint64_t firstFailure = 0;
        uint64_t latestAttempt = 0;
    };

    // The document of a stored file; nothing for a file that cannot be read now, and for one
    // that is broken (then deleted).
    std::optional<StoredDocument> load(const std::string& fileName) const;
    // True when written.
    bool store(Json::Value document, bool firstFailure, const std::string& path) const;
    void takeUpAbandonedPosts() const;
    Verdict resendFile(const std::string& fileName, bool force, const Sender& send) const;
    void discardUnparsable(const std::string& path, const std::string& text,
                           const std::string& errors) const;
    std::string pathOf(const std::string& name, const char* suffix) const;

    Log log_;
    std::string directory_;
    bool usable_;
};

}  // namespace kvinternal
