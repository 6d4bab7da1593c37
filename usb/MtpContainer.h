#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace kvusb {

// MTP over USB carries each phase of an operation in a container: a 12-byte little-endian header
// (the container's whole length, its type, the operation or response code and the transaction
// id) followed by up to five 32-bit parameters or by the payload of a data phase.
enum class ContainerType : uint16_t { Command = 1, Data = 2, Response = 3, Event = 4 };

struct ContainerHeader {
    // Header included; MtpContainer::unknownLength for a data phase over 4 GiB.
    uint32_t length = 0;
    uint16_t type = 0;
    uint16_t code = 0;
    uint32_t transactionId = 0;
};

// Bytes that do not make a container; the text says what is wrong.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace MtpContainer {

constexpr std::size_t headerSize = 12;
constexpr uint32_t unknownLength = 0xFFFFFFFF;
constexpr std::size_t maxParameters = 5;

// A command (or response) container with its parameters; more than five throw ProtocolError.
std::vector<uint8_t> encode(ContainerType type, uint16_t code, uint32_t transactionId,
                            const std::vector<uint32_t>& parameters);
// The header of a data container whose payload is `payloadLength` bytes long.
std::array<uint8_t, headerSize> dataHeader(uint16_t code, uint32_t transactionId,
                                           uint64_t payloadLength);
// Throws ProtocolError for fewer than 12 bytes or a length field below 12.
ContainerHeader decodeHeader(const uint8_t* bytes, std::size_t length);
// The parameters of a whole command or response container; throws ProtocolError when its
// length field disagrees with `length` or the payload is not up to five 32-bit values.
std::vector<uint32_t> decodeParameters(const uint8_t* bytes, std::size_t length);

}  // namespace MtpContainer

// Little-endian fields of MTP containers and datasets.
void putUint16(uint8_t* at, uint16_t value);
void putUint32(uint8_t* at, uint32_t value);
uint16_t getUint16(const uint8_t* at);
uint32_t getUint32(const uint8_t* at);

}  // namespace kvusb
