#include "common/JsonCacheFile.h"

#include <exception>

#include "common/JsonText.h"
#include "common/LockFiles.h"
#include "common/Platform.h"

namespace kvinternal {

JsonCacheFile::JsonCacheFile(std::string path, JsonCacheTexts texts, Log log)
    : path_(std::move(path)), texts_(std::move(texts)), log_(std::move(log)) {}

void JsonCacheFile::discard(const std::string& excerpt, const std::string& errors) const {
    // The reader's messages quote the text they stumble on, so they are cut as well.
    log_.error(texts_.unparsable + " [" + excerpt +
               "] failed to be parsed: " + json::logExcerpt(errors));
    platform::deleteFile(path_);
}

std::optional<Json::Value> JsonCacheFile::load() const {
    log_.info(texts_.loading + path_);
    const auto [text, refusal] = json::readStoredText(path_);
    if (!refusal.empty()) {
        discard("", refusal);
        return std::nullopt;
    }
    if (!text) {
        log_.info(texts_.notFound);
        return std::nullopt;
    }
    auto parsed = json::parse(*text);
    if (!parsed.ok) {
        discard(json::logExcerpt(*text), parsed.errors);
        return std::nullopt;
    }
    log_.info(texts_.parsed + " [" + json::oneLineExcerpt(parsed.root) + "] parsed successfully");
    return std::move(parsed.root);
}

bool JsonCacheFile::loadInto(const std::function<void(const Json::Value&)>& read) const {
    const auto document = load();
    if (!document) {
        return false;
    }
    try {
        read(*document);
        return true;
    } catch (const std::exception& e) {
        discard(json::oneLineExcerpt(*document), e.what());
        return false;
    }
}

bool JsonCacheFile::save(bool changed, const Merge& merge) const {
    if (!changed) {
        log_.info(texts_.unchanged);
        return false;
    }
    log_.info(texts_.saving + path_);
    auto lock = lockfiles::open(path_.substr(0, path_.rfind('/')), lockfiles::stateFiles, log_);
    if (lock && !lock->lock()) {
        log_.error("Could not lock the state files of the working directory, saving without: " +
                   path_);
    }
    if (!platform::writeFileAtomically(path_, json::styled(merged(merge)))) {
        log_.error(texts_.saveFailed);
        return false;
    }
    return true;
}

Json::Value JsonCacheFile::merged(const Merge& merge) const {
    try {
        return merge(readQuietly());
    } catch (const std::exception&) {
        return merge(Json::Value());
    }
}

Json::Value JsonCacheFile::readQuietly() const {
    const auto stored = json::readStoredText(path_);
    if (!stored.text) {
        return {};
    }
    auto parsed = json::parse(*stored.text);
    return parsed.ok ? std::move(parsed.root) : Json::Value();
}

}  // namespace kvinternal
