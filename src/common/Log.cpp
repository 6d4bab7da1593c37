#include "common/Log.h"

namespace kvinternal {

namespace {

template <typename Write>
void dropWhatThrows(const Write& write) noexcept {
    try {
        write();
    } catch (...) {
        // The host's sink refused the line; nothing can report that.
    }
}

}  // namespace

void Log::info(const std::string& message) const {
    if (sink_) {
        sink_->log(message, false);
    }
}

void Log::verbose(const std::string& message) const {
    if (sink_) {
        sink_->log(message, true);
    }
}

void Log::error(const std::string& message) const {
    if (sink_) {
        sink_->error(message);
    }
}

void Log::infoNoThrow(const std::string& message) const noexcept {
    dropWhatThrows([&] { info(message); });
}

void Log::verboseNoThrow(const std::string& message) const noexcept {
    dropWhatThrows([&] { verbose(message); });
}

void Log::errorNoThrow(const std::string& message) const noexcept {
    dropWhatThrows([&] { error(message); });
}

}  // namespace kvinternal
