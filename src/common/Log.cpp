#include "common/Log.h"

namespace kvinternal {

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

}  // namespace kvinternal
