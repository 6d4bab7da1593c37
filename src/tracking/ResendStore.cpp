#include "tracking/ResendStore.h"

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "common/JsonText.h"
#include "common/LockFiles.h"
#include "common/Platform.h"

namespace kvinternal {

namespace {

const char fileSuffix[] = ".failed";
const char sendingSuffix[] = ".sending";
const char resendKey[] = "resend";
const char firstFailureKey[] = "firstFailureDate";
const char latestAttemptKey[] = "latestResendAttempt";

constexpr uint64_t maximumAgeDays = 60;
constexpr uint64_t maximumAgeMilliseconds = maximumAgeDays * 24 * 3600 * 1000;
constexpr uint64_t minimumSpacingMilliseconds = 10 * 60 * 1000;
constexpr int failuresBeforeGivingUp = 3;

// The first failure's and the latest attempt's dates. Missing dates read as 0; dates of the
// wrong JSON type throw.
std::pair<uint64_t, uint64_t> readDates(const Json::Value& document) {
    if (!document.isObject()) {
        throw std::runtime_error("A tracking document is a JSON object");
    }
    const Json::Value& resend = document[resendKey];
    return {resend[firstFailureKey].asUInt64(), resend[latestAttemptKey].asUInt64()};
}

// Time since `then`; a date in the future (the clock was set back) counts as just now, so that
// it neither expires a document nor wraps around.
uint64_t elapsedSince(uint64_t then, uint64_t now) {
    return now > then ? now - then : 0;
}

template <std::size_t suffixSize>
std::string withoutSuffix(const std::string& fileName, const char (&)[suffixSize]) {
    return fileName.substr(0, fileName.size() - (suffixSize - 1));
}

}  // namespace

ResendStore::ResendStore(Log log, std::string directory)
    : log_(std::move(log)), directory_(std::move(directory)) {
    platform::createDirectory(directory_);
    usable_ = platform::fileKind(directory_) == platform::FileKind::Directory;
    if (!usable_) {
        log_.error(
            "Tracking folder is a link or no folder, tracking data is neither stored nor "
            "resent: " +
            directory_);
    }
}

std::string ResendStore::pathOf(const std::string& name, const char* suffix) const {
    return directory_ + "/" + name + suffix;
}

bool ResendStore::store(Json::Value document, bool firstFailure, const std::string& path) const {
    const Json::UInt64 now = platform::currentTimeMilliseconds();
    Json::Value& resend = document[resendKey];
    if (firstFailure) {
        resend[firstFailureKey] = now;
    }
    resend[latestAttemptKey] = now;
    return usable_ && platform::writeFileAtomically(path, json::styled(document));
}

void ResendStore::saveForResend(Json::Value document, bool firstFailure,
                                const std::string& name) const {
    try {
        if (!store(std::move(document), firstFailure, pathOf(name, fileSuffix))) {
            log_.error("Could not write tracking data to file for resending at a later stage");
            return;
        }
        log_.info("Saved tracking data for resend");
    } catch (const std::exception&) {
        log_.error("Could not save tracking data for resend");
    }
}

ResendStore::Outgoing ResendStore::writeAhead(const Json::Value& document,
                                              const std::string& name) const {
    bool written = false;
    try {
        written = store(document, true, pathOf(name, sendingSuffix));
    } catch (const std::exception&) {
        // Then the document is stored only if its post fails, as without the copy.
    }
    return Outgoing(*this, document, name, written);
}

ResendStore::Outgoing::Outgoing(const ResendStore& store, Json::Value document, std::string name,
                                bool writtenAhead)
    : store_(store),
      document_(std::move(document)),
      name_(std::move(name)),
      writtenAhead_(writtenAhead) {}

void ResendStore::Outgoing::delivered() const {
    if (writtenAhead_) {
        platform::deleteFile(store_.pathOf(name_, sendingSuffix));
    }
}

void ResendStore::Outgoing::failed() const {
    const std::string aheadPath = store_.pathOf(name_, sendingSuffix);
    if (writtenAhead_ && platform::moveFile(aheadPath, store_.pathOf(name_, fileSuffix))) {
        store_.log_.info("Saved tracking data for resend");
        return;
    }
    store_.saveForResend(document_, true, name_);
    if (writtenAhead_ &&
        platform::fileKind(store_.pathOf(name_, fileSuffix)) == platform::FileKind::Regular) {
        platform::deleteFile(aheadPath);
    }
}

std::size_t ResendStore::resendStored(bool force, std::size_t limit, const Sender& send) const {
    if (!usable_ || limit == 0) {
        return 0;
    }
    // One session at a time resends, so that no stored document is sent twice; while another
    // does, this pass is left out.
    auto lock = lockfiles::open(directory_.substr(0, directory_.rfind('/')),
                                lockfiles::trackingResends, log_);
    if (lock && !lock->tryLock()) {
        log_.info("Another session is resending the stored tracking data");
        return 0;
    }
    takeUpAbandonedPosts();
    const platform::FileListing stored = platform::listFilesWithSuffix(directory_, fileSuffix);
    if (!stored.complete) {
        log_.error("Could not list every stored tracking file in: " + directory_);
    }
    std::size_t tried = 0;
    int failures = 0;
    for (auto name = stored.names.begin(); name != stored.names.end() && tried < limit; ++name) {
        const Verdict verdict = resendFile(*name, force, send);
        if (verdict != Verdict::Skipped) {
            ++tried;
        }
        if (verdict == Verdict::Sent) {
            failures = 0;
        } else if (verdict == Verdict::Failed && ++failures == failuresBeforeGivingUp) {
            log_.error("Failed to resend " + std::to_string(failuresBeforeGivingUp) +
                       " times, giving up.");
            break;
        }
    }
    return tried;
}

std::optional<ResendStore::StoredDocument> ResendStore::load(const std::string& fileName) const {
    const std::string path = directory_ + "/" + fileName;
    const auto [text, refusal] = json::readStoredText(path);
    if (!refusal.empty()) {
        discardUnparsable(path, "", refusal);
        return std::nullopt;
    }
    if (!text) {
        log_.info("Could not read saved tracking file: " + fileName);
        return std::nullopt;
    }
    auto parsed = json::parse(*text);
    if (!parsed.ok) {
        discardUnparsable(path, *text, parsed.errors);
        return std::nullopt;
    }
    StoredDocument stored;
    try {
        std::tie(stored.firstFailure, stored.latestAttempt) = readDates(parsed.root);
    } catch (const std::exception& e) {
        // Dates of the wrong type make the file as useless as one that does not parse.
        discardUnparsable(path, *text, e.what());
        return std::nullopt;
    }
    stored.document = std::move(parsed.root);
    return stored;
}

void ResendStore::takeUpAbandonedPosts() const {
    const uint64_t now = platform::currentTimeMilliseconds();
    for (const std::string& fileName :
         platform::listFilesWithSuffix(directory_, sendingSuffix).names) {
        const auto stored = load(fileName);
        if (stored && elapsedSince(stored->latestAttempt, now) > minimumSpacingMilliseconds) {
            log_.info("Storing tracking data whose post did not end: " + fileName);
            platform::moveFile(directory_ + "/" + fileName,
                               pathOf(withoutSuffix(fileName, sendingSuffix), fileSuffix));
        }
    }
}

ResendStore::Verdict ResendStore::resendFile(const std::string& fileName, bool force,
                                             const Sender& send) const {
    const std::string path = directory_ + "/" + fileName;
    auto stored = load(fileName);
    if (!stored) {
        return Verdict::Skipped;
    }
    log_.info("Tracking file response [" + json::oneLineExcerpt(stored->document) +
              "] parsed successfully");

    const uint64_t now = platform::currentTimeMilliseconds();
    if (elapsedSince(stored->firstFailure, now) > maximumAgeMilliseconds) {
        log_.error("Removing tracking file due to being more than: " +
                   std::to_string(maximumAgeDays) + " days old.");
        platform::deleteFile(path);
        return Verdict::Skipped;
    }
    if (!force && elapsedSince(stored->latestAttempt, now) <= minimumSpacingMilliseconds) {
        return Verdict::Skipped;
    }

    Json::Value document = std::move(stored->document);
    document.removeMember(resendKey);
    if (send(document)) {
        platform::deleteFile(path);
        return Verdict::Sent;
    }
    document[resendKey][firstFailureKey] = Json::UInt64(stored->firstFailure);
    saveForResend(std::move(document), false, withoutSuffix(fileName, fileSuffix));
    log_.error("Failed to resend old tracking data");
    return Verdict::Failed;
}

void ResendStore::discardUnparsable(const std::string& path, const std::string& text,
                                    const std::string& errors) const {
    log_.error("Tracking file [" + json::logExcerpt(text) +
               "] failed to be parsed: " + json::logExcerpt(errors));
    platform::deleteFile(path);
}

}  // namespace kvinternal
