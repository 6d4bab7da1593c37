#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DataPhase.h"
#include "UsbTransport.h"
#include "kavrin/MtpProvider.h"

namespace kvusb {

// One MTP operation: its code and parameters and the data phase it may carry either way.
struct MtpOperation {
    uint16_t code = 0;
    std::vector<uint32_t> parameters;
    // Host to phone.
    DataSource* dataOut = nullptr;
    // Phone to host; without one, a data phase the phone sends ends in NotEnoughMemory.
    DataSink* dataIn = nullptr;
};

struct MtpOutcome {
    kv::MtpProvider::MtpResult result = kv::MtpProvider::MtpResult::Success;
    // The phone's response, when result is Success.
    uint16_t responseCode = 0;
    std::vector<uint32_t> parameters;
    // What went wrong, in a few words, when result is not Success.
    std::string problem;
};

// Transaction ids as a session hands them out: OpenSession takes 0 every time; the operations
// after it count up from 1, and 0xFFFFFFFF, which no transaction may carry, is never used.
class TransactionIds {
public:
    explicit TransactionIds(uint32_t next = 0) : next_(next) {}

    uint32_t take(uint16_t operationCode);

private:
    uint32_t next_;
};

// Runs MTP operations as containers over a UsbTransport, one transaction at a time: the
// command, an optional data phase either way, the response. It checks the containers' types and
// transaction ids, and reads them as phones send them: a data container's header may come in a
// transfer of its own, and the response in the transfer that ends the data. After a failure (a
// timeout, a stall, a malformed container, a cancel) it brings the phone back to idle with the
// class requests before returning, so the next operation starts clean.
class MtpTransactionEngine {
public:
    using MtpResult = kv::MtpProvider::MtpResult;

    // Operations a phone may work on for minutes before it answers: verify-and-update checks the
    // whole package first, and the final result waits for the update agent.
    static constexpr uint16_t installOperations[] = {0x9170, 0x9171, 0x9175, 0x9178};

    struct Options {
        // A bulk transfer within a data phase.
        UsbTransport::Timeout transferTimeout{10000};
        // The wait for the phone's first container after a command or a data phase: the phone
        // may work a while before it answers.
        UsbTransport::Timeout responseTimeout{60000};
        // The same wait for the install operations.
        UsbTransport::Timeout installResponseTimeout{600000};
        // Bytes per bulk transfer of a data phase, rounded down to whole packets.
        std::size_t chunkSize = 256 * 1024;
        // After a cancel or a failure: how often and how far apart Get Device Status asks until
        // the phone is ready.
        int statusPolls = 50;
        std::chrono::milliseconds statusInterval{100};
        std::function<void(std::chrono::milliseconds)> pause;
    };

    MtpTransactionEngine(UsbTransport& transport, Options options);

    // OpenSession takes transaction id 0, the operations after it 1, 2 and so on. A phone still
    // starting its MTP function, or busy with another host, answers OpenSession with Device Busy:
    // it is asked again, up to `statusPolls` times in all, `statusInterval` apart.
    MtpOutcome run(const MtpOperation& operation);

    // False once the phone could not be brought back to idle (or is gone): the connection must
    // be opened afresh.
    bool usable() const { return usable_; }

private:
    class Failure;

    MtpOutcome runOnce(const MtpOperation& operation);
    void sendCommand(const MtpOperation& operation, uint32_t transactionId);
    void sendData(const MtpOperation& operation, uint32_t transactionId);
    // Reads the phone's containers up to and including the response.
    MtpOutcome receive(const MtpOperation& operation, uint32_t transactionId);
    // The data phase whose first `received` bytes are in the buffer; returns how many bytes of
    // the next container came with its end (moved to the buffer's start).
    std::size_t receiveData(const MtpOperation& operation, std::size_t received,
                            std::size_t requested);
    // The first transfer of a container into the buffer, past any zero-length packets: at least
    // a valid header.
    std::size_t receiveFirst(std::size_t capacity, UsbTransport::Timeout timeout);
    static void checkHeader(const uint8_t* bytes, std::size_t length);
    UsbTransport::Timeout responseTimeoutOf(uint16_t code) const;
    std::size_t bulkIn(uint8_t* buffer, std::size_t capacity, UsbTransport::Timeout timeout,
                       MtpResult failure);
    void bulkOut(const uint8_t* data, std::size_t length, MtpResult failure);
    MtpOutcome recover(const Failure& failure, uint32_t transactionId);
    // Polls Get Device Status until the phone is ready, clearing the halts it reports.
    bool waitUntilReady();

    UsbTransport& transport_;
    Options options_;
    std::vector<uint8_t> buffer_;
    TransactionIds transactionIds_;
    bool usable_ = true;
};

}  // namespace kvusb
