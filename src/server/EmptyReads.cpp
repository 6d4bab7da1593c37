#include "server/EmptyReads.h"

#include <string>

#include "control/Exceptions.h"
#include "kavrin/HttpProvider.h"

namespace kvinternal {

void EmptyReads::count(uint64_t bytesRead, bool moreData) {
    if (bytesRead > 0 || !moreData) {
        inARow_ = 0;
        return;
    }
    if (++inARow_ >= limit) {
        throw NetworkException(
            "Network problem: no data received in " + std::to_string(limit) + " reads",
            static_cast<uint32_t>(kv::HttpProvider::HttpResult::DataError), false);
    }
}

}  // namespace kvinternal
