#include "MtpTransactionEngine.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <thread>
#include <utility>

#include "MtpContainer.h"

namespace kvusb {

namespace {

using MtpResult = kv::MtpProvider::MtpResult;

constexpr uint16_t responseDeviceBusy = 0x2019;
constexpr uint16_t operationOpenSession = 0x1002;
// A response container: the header and at most five parameters.
constexpr std::size_t largestResponse = MtpContainer::headerSize + 4 * MtpContainer::maxParameters;
// Zero-length packets read in a row where a container should start: one may end a data phase
// whose length is a multiple of the packet size; more mean the phone is confused.
constexpr int zeroLengthPacketsAllowed = 2;

std::size_t roundUp(uint64_t length, std::size_t multiple) {
    return static_cast<std::size_t>((length + multiple - 1) / multiple * multiple);
}

const char* typeName(uint16_t type) {
    switch (static_cast<ContainerType>(type)) {
        case ContainerType::Command:
            return "command";
        case ContainerType::Data:
            return "data";
        case ContainerType::Response:
            return "response";
        case ContainerType::Event:
            return "event";
    }
    return "unknown";
}

}  // namespace

// Ends a transaction early: the result the caller gets, the reason, and what the transport said
// (it decides how the phone is brought back to idle).
class MtpTransactionEngine::Failure {
public:
    Failure(MtpResult result, std::string problem, TransferStatus status = TransferStatus::Error,
            Endpoint endpoint = Endpoint::BulkIn)
        : result(result), problem(std::move(problem)), status(status), endpoint(endpoint) {}

    // The failure a transfer's status means in the phase that `phaseResult` names.
    static Failure of(TransferStatus status, Endpoint endpoint, MtpResult phaseResult) {
        const std::string direction = endpoint == Endpoint::BulkIn ? "in" : "out";
        switch (status) {
            case TransferStatus::Timeout:
                return {MtpResult::UsbCommunicationError,
                        "the phone did not answer in time (bulk " + direction + ")", status,
                        endpoint};
            case TransferStatus::Stall:
                return {phaseResult, "the phone halted its bulk " + direction + " endpoint", status,
                        endpoint};
            case TransferStatus::NoDevice:
                return {MtpResult::DeviceDisconnected, "the phone was unplugged", status, endpoint};
            case TransferStatus::Interrupted:
                return {MtpResult::Cancelled, "cancelled", status, endpoint};
            case TransferStatus::Overflow:
                return {phaseResult, "the phone sent more than a transfer holds", status, endpoint};
            case TransferStatus::Ok:
            case TransferStatus::Error:
                break;
        }
        return {MtpResult::UsbCommunicationError, "a bulk " + direction + " transfer failed",
                TransferStatus::Error, endpoint};
    }

    MtpResult result;
    std::string problem;
    TransferStatus status;
    Endpoint endpoint;
};

MtpTransactionEngine::MtpTransactionEngine(UsbTransport& transport, Options options)
    : transport_(transport), options_(std::move(options)) {
    if (!options_.pause) {
        options_.pause = [](std::chrono::milliseconds pause) {
            std::this_thread::sleep_for(pause);
        };
    }
    const std::size_t packet = transport_.packetSize();
    buffer_.resize(
        std::max(options_.chunkSize / packet * packet, roundUp(largestResponse, packet)));
}

uint32_t TransactionIds::take(uint16_t operationCode) {
    if (operationCode == operationOpenSession) {
        next_ = 1;
        return 0;
    }
    const uint32_t id = next_;
    next_ = next_ >= 0xFFFFFFFE ? 1 : next_ + 1;
    return id;
}

UsbTransport::Timeout MtpTransactionEngine::responseTimeoutOf(uint16_t code) const {
    const bool install = std::find(std::begin(installOperations), std::end(installOperations),
                                   code) != std::end(installOperations);
    return install ? options_.installResponseTimeout : options_.responseTimeout;
}

MtpOutcome MtpTransactionEngine::run(const MtpOperation& operation) {
    MtpOutcome outcome = runOnce(operation);
    for (int asked = 1;
         operation.code == operationOpenSession && asked < options_.statusPolls &&
         outcome.result == MtpResult::Success && outcome.responseCode == responseDeviceBusy;
         ++asked) {
        options_.pause(options_.statusInterval);
        outcome = runOnce(operation);
    }
    return outcome;
}

MtpOutcome MtpTransactionEngine::runOnce(const MtpOperation& operation) {
    const uint32_t transactionId = transactionIds_.take(operation.code);
    try {
        sendCommand(operation, transactionId);
        if (operation.dataOut) {
            sendData(operation, transactionId);
        }
        return receive(operation, transactionId);
    } catch (const Failure& failure) {
        return recover(failure, transactionId);
    }
}

void MtpTransactionEngine::bulkOut(const uint8_t* data, std::size_t length, MtpResult failure) {
    const TransferStatus status = transport_.bulkOut(data, length, options_.transferTimeout);
    if (status != TransferStatus::Ok) {
        throw Failure::of(status, Endpoint::BulkOut, failure);
    }
}

std::size_t MtpTransactionEngine::bulkIn(uint8_t* buffer, std::size_t capacity,
                                         UsbTransport::Timeout timeout, MtpResult failure) {
    std::size_t received = 0;
    const TransferStatus status = transport_.bulkIn(buffer, capacity, received, timeout);
    if (status != TransferStatus::Ok) {
        throw Failure::of(status, Endpoint::BulkIn, failure);
    }
    return received;
}

void MtpTransactionEngine::sendCommand(const MtpOperation& operation, uint32_t transactionId) {
    std::vector<uint8_t> command;
    try {
        command = MtpContainer::encode(ContainerType::Command, operation.code, transactionId,
                                       operation.parameters);
    } catch (const ProtocolError& error) {
        throw Failure(MtpResult::UsbParameterError, error.what());
    }
    bulkOut(command.data(), command.size(), MtpResult::UsbCommandError);
}

void MtpTransactionEngine::sendData(const MtpOperation& operation, uint32_t transactionId) {
    DataSource& source = *operation.dataOut;
    const uint64_t size = source.size();
    const auto header = MtpContainer::dataHeader(operation.code, transactionId, size);
    std::copy(header.begin(), header.end(), buffer_.begin());
    // Every transfer but the last fills the buffer, a whole number of packets, so that only the
    // last one may end with a short packet.
    std::size_t filled = header.size();
    uint64_t remaining = size;
    for (;;) {
        const auto piece =
            static_cast<std::size_t>(std::min<uint64_t>(buffer_.size() - filled, remaining));
        if (piece > 0 && !source.read(buffer_.data() + filled, piece)) {
            throw Failure(MtpResult::GeneralError, "the data to send could not be read");
        }
        remaining -= piece;
        bulkOut(buffer_.data(), filled + piece, MtpResult::UsbDataError);
        if (remaining == 0) {
            break;
        }
        filled = 0;
    }
    if ((size + MtpContainer::headerSize) % transport_.packetSize() == 0) {
        bulkOut(nullptr, 0, MtpResult::UsbDataError);
    }
}

void MtpTransactionEngine::checkHeader(const uint8_t* bytes, std::size_t length) {
    if (length < MtpContainer::headerSize) {
        throw Failure(MtpResult::UsbResponseError, "the phone sent " + std::to_string(length) +
                                                       " bytes, fewer than a container header");
    }
    try {
        MtpContainer::decodeHeader(bytes, length);
    } catch (const ProtocolError& error) {
        throw Failure(MtpResult::UsbResponseError, error.what());
    }
}

std::size_t MtpTransactionEngine::receiveFirst(std::size_t capacity,
                                               UsbTransport::Timeout timeout) {
    for (int zeroLength = 0; zeroLength <= zeroLengthPacketsAllowed; ++zeroLength) {
        const std::size_t received =
            bulkIn(buffer_.data(), capacity, timeout, MtpResult::UsbResponseError);
        if (received > 0) {
            checkHeader(buffer_.data(), received);
            return received;
        }
    }
    throw Failure(MtpResult::UsbResponseError,
                  "the phone sent zero-length packets where a container belongs");
}

MtpOutcome MtpTransactionEngine::receive(const MtpOperation& operation, uint32_t transactionId) {
    const UsbTransport::Timeout timeout = responseTimeoutOf(operation.code);
    const std::size_t responseRead = roundUp(largestResponse, transport_.packetSize());
    // Where data may come the first read takes a whole chunk, so that a small data phase (and
    // with it, from a phone that sends no zero-length packet, the response) takes one transfer.
    const std::size_t firstRead = operation.dataIn ? buffer_.size() : responseRead;
    std::size_t received = receiveFirst(firstRead, timeout);
    ContainerHeader header = MtpContainer::decodeHeader(buffer_.data(), received);
    if (header.type == static_cast<uint16_t>(ContainerType::Data)) {
        if (header.transactionId != transactionId || header.code != operation.code) {
            throw Failure(MtpResult::UsbReadDataError, "the phone sent data of transaction " +
                                                           std::to_string(header.transactionId) +
                                                           " while " +
                                                           std::to_string(transactionId) + " runs");
        }
        received = receiveData(operation, received, firstRead);
        if (received > 0) {
            checkHeader(buffer_.data(), received);
        } else {
            received = receiveFirst(responseRead, timeout);
        }
        header = MtpContainer::decodeHeader(buffer_.data(), received);
    }
    if (header.type != static_cast<uint16_t>(ContainerType::Response)) {
        throw Failure(MtpResult::UsbResponseError, std::string("the phone sent a ") +
                                                       typeName(header.type) +
                                                       " container where its response belongs");
    }
    if (header.transactionId != transactionId) {
        throw Failure(MtpResult::UsbResponseError,
                      "the phone answered transaction " + std::to_string(header.transactionId) +
                          " while " + std::to_string(transactionId) + " runs");
    }
    try {
        return {MtpResult::Success,
                header.code,
                MtpContainer::decodeParameters(buffer_.data(), received),
                {}};
    } catch (const ProtocolError& error) {
        throw Failure(MtpResult::UsbResponseError, error.what());
    }
}

std::size_t MtpTransactionEngine::receiveData(const MtpOperation& operation, std::size_t received,
                                              std::size_t requested) {
    const ContainerHeader header = MtpContainer::decodeHeader(buffer_.data(), received);
    const uint64_t capacity = operation.dataIn ? operation.dataIn->capacity() : 0;
    const bool known = header.length != MtpContainer::unknownLength;
    const uint64_t announced = known ? header.length - MtpContainer::headerSize : 0;
    if (known && announced > capacity) {
        throw Failure(MtpResult::NotEnoughMemory, "the phone announced " +
                                                      std::to_string(announced) +
                                                      " bytes of data, more than the " +
                                                      std::to_string(capacity) + " expected");
    }
    uint64_t got = 0;
    auto keep = [&](const uint8_t* data, std::size_t length) {
        if (length > capacity - got) {
            throw Failure(MtpResult::NotEnoughMemory, "the phone sent more data than the " +
                                                          std::to_string(capacity) +
                                                          " bytes expected");
        }
        if (length > 0) {
            operation.dataIn->write(data, length);
        }
        got += length;
    };
    // Keeps the data phase's bytes of a transfer at `from`; what follows them belongs to the next
    // container, and stays in the buffer.
    std::size_t dataEnd = 0;
    auto take = [&](std::size_t from, std::size_t length) {
        const auto mine =
            known ? static_cast<std::size_t>(std::min<uint64_t>(length, announced - got)) : length;
        keep(buffer_.data() + from, mine);
        dataEnd = from + mine;
        return length - mine;
    };
    std::size_t next = take(MtpContainer::headerSize, received - MtpContainer::headerSize);
    // A transfer that stops short of its buffer ended with a short packet: the phone is done,
    // unless that transfer held the header alone, as some phones send it.
    bool ended = received > MtpContainer::headerSize && received < requested;
    while (known ? got < announced : !ended) {
        if (ended) {
            throw Failure(MtpResult::UsbReadDataError, "the data phase ended after " +
                                                           std::to_string(got) + " of " +
                                                           std::to_string(announced) + " bytes");
        }
        const std::size_t request =
            known ? std::min(buffer_.size(), roundUp(announced - got, transport_.packetSize()))
                  : buffer_.size();
        const std::size_t length =
            bulkIn(buffer_.data(), request, options_.transferTimeout, MtpResult::UsbReadDataError);
        next = take(0, length);
        ended = length < request;
    }
    const auto nextStart = buffer_.begin() + static_cast<std::ptrdiff_t>(dataEnd);
    std::copy(nextStart, nextStart + static_cast<std::ptrdiff_t>(next), buffer_.begin());
    return next;
}

MtpOutcome MtpTransactionEngine::recover(const Failure& failure, uint32_t transactionId) {
    MtpOutcome outcome{failure.result, 0, {}, failure.problem};
    TransferStatus status = TransferStatus::Ok;
    switch (failure.status) {
        case TransferStatus::NoDevice:
            usable_ = false;
            return outcome;
        case TransferStatus::Stall:
            // The phone ended the transaction itself; it only waits for the halt to be cleared.
            status = transport_.clearHalt(failure.endpoint);
            break;
        default:
            status = transport_.cancelRequest(transactionId);
            break;
    }
    if (status == TransferStatus::NoDevice) {
        outcome.result = MtpResult::DeviceDisconnected;
        outcome.problem = "the phone was unplugged";
        usable_ = false;
        return outcome;
    }
    if (!waitUntilReady()) {
        usable_ = false;
    }
    return outcome;
}

bool MtpTransactionEngine::waitUntilReady() {
    for (int poll = 0; poll < options_.statusPolls; ++poll) {
        if (poll > 0) {
            options_.pause(options_.statusInterval);
        }
        uint16_t code = 0;
        std::vector<uint8_t> halted;
        if (transport_.deviceStatus(code, halted) != TransferStatus::Ok) {
            return false;
        }
        for (const uint8_t address : halted) {
            for (const Endpoint endpoint : {Endpoint::BulkIn, Endpoint::BulkOut}) {
                if (transport_.address(endpoint) == address &&
                    transport_.clearHalt(endpoint) != TransferStatus::Ok) {
                    return false;
                }
            }
        }
        if (code != responseDeviceBusy) {
            return true;
        }
    }
    return false;
}

}  // namespace kvusb
