#include "common/StateFileNames.h"

#include <algorithm>
#include <cctype>

namespace kvinternal::statefiles {

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

bool isStateFileName(const std::string& name) {
    const std::string lower = lowercase(name);
    for (const std::string cache : {deltaFileCache, identifierCache, updateSessionIdCache}) {
        if (lower == cache || lower == cache + temporarySuffix) {
            return true;
        }
    }
    return lower == trackingDirectory || lower == locksDirectory;
}

}  // namespace kvinternal::statefiles
