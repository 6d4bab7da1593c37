#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ReadGate.h"
#include "kavrin/HttpProvider.h"

namespace kvtest {

// The body of a simulated server's answer and how a front end is to deliver it. The bytes come
// from `copy`, piece by piece, so a package is never held whole.
struct AnswerBody {
    static constexpr uint64_t unlimited = std::numeric_limits<uint64_t>::max();

    uint64_t size = 0;
    // Copies bytes [offset, offset + length) of the body into `out`; never called for 0 bytes.
    std::function<void(uint64_t offset, uint8_t* out, uint64_t length)> copy;
    // The most bytes one piece carries.
    uint64_t pieceLimit = unlimited;
    // After this many bytes the connection fails.
    std::optional<uint64_t> cutAfter;
    // With a gate, delivery stops at offset `holdAt` until the gate opens or the exchange is
    // cancelled.
    uint64_t holdAt = 0;
    std::shared_ptr<ReadGate> gate;
    // A front end on a socket sends the body a byte at a time, this long apart; none when zero.
    // The in-process provider has no clock to pace by and ignores it.
    std::chrono::milliseconds byteInterval{0};

    static AnswerBody text(std::string content) {
        auto shared = std::make_shared<const std::string>(std::move(content));
        AnswerBody body;
        body.size = shared->size();
        body.copy = [shared](uint64_t offset, uint8_t* out, uint64_t length) {
            std::memcpy(out, shared->data() + offset, length);
        };
        return body;
    }
};

// What the simulated server answers to one request, independent of the front end that carries
// it (in-process provider or real server).
struct ServerAnswer {
    // The exchange fails like a broken connection, without a response.
    std::optional<kv::HttpProvider::HttpResult> failure;
    int32_t status = 200;
    std::map<std::string, std::string> headers;
    AnswerBody body;
    // With a gate, the answer comes only once it opens or the exchange is cancelled.
    std::shared_ptr<ReadGate> gate;
};

}  // namespace kvtest
