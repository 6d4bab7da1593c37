#include "MtpContainer.h"

#include <string>

namespace kvusb {

void putUint16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void putUint32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint16_t getUint16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t getUint32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

namespace MtpContainer {

namespace {

void putHeader(uint8_t* at, uint32_t length, ContainerType type, uint16_t code,
               uint32_t transactionId) {
    putUint32(at, length);
    putUint16(at + 4, static_cast<uint16_t>(type));
    putUint16(at + 6, code);
    putUint32(at + 8, transactionId);
}

}  // namespace

std::vector<uint8_t> encode(ContainerType type, uint16_t code, uint32_t transactionId,
                            const std::vector<uint32_t>& parameters) {
    if (parameters.size() > maxParameters) {
        throw ProtocolError("a container carries at most 5 parameters, not " +
                            std::to_string(parameters.size()));
    }
    std::vector<uint8_t> bytes(headerSize + 4 * parameters.size());
    putHeader(bytes.data(), static_cast<uint32_t>(bytes.size()), type, code, transactionId);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        putUint32(bytes.data() + headerSize + 4 * i, parameters[i]);
    }
    return bytes;
}

std::array<uint8_t, headerSize> dataHeader(uint16_t code, uint32_t transactionId,
                                           uint64_t payloadLength) {
    const uint64_t length = payloadLength + headerSize;
    std::array<uint8_t, headerSize> header{};
    putHeader(header.data(),
              length >= unknownLength ? unknownLength : static_cast<uint32_t>(length),
              ContainerType::Data, code, transactionId);
    return header;
}

ContainerHeader decodeHeader(const uint8_t* bytes, std::size_t length) {
    if (length < headerSize) {
        throw ProtocolError("a container of " + std::to_string(length) +
                            " bytes is shorter than its header");
    }
    ContainerHeader header{getUint32(bytes), getUint16(bytes + 4), getUint16(bytes + 6),
                           getUint32(bytes + 8)};
    if (header.length < headerSize) {
        throw ProtocolError("a container announces " + std::to_string(header.length) +
                            " bytes, fewer than its header");
    }
    return header;
}

std::vector<uint32_t> decodeParameters(const uint8_t* bytes, std::size_t length) {
    const ContainerHeader header = decodeHeader(bytes, length);
    const std::size_t payload = length - headerSize;
    if (header.length != length || payload % 4 != 0 || payload / 4 > maxParameters) {
        throw ProtocolError("a container of " + std::to_string(length) + " bytes announcing " +
                            std::to_string(header.length) + " does not hold up to 5 parameters");
    }
    std::vector<uint32_t> parameters(payload / 4);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        parameters[i] = getUint32(bytes + headerSize + 4 * i);
    }
    return parameters;
}

}  // namespace MtpContainer

}  // namespace kvusb
