// The emulated phone keeps to the USB and still-image class rules that the provider's tests rely
// on and that libmtp does not look at: halts, busy, Cancel and where a transfer ends.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "MtpDatasetWriter.h"
#include "SimulatedPhone.h"
#include "UsbMtpFunction.h"
#include "UsbTestSupport.h"

namespace kvtest {
namespace {

using Status = UsbMtpFunction::Status;

constexpr uint16_t getDeviceInfo = 0x1001;
constexpr uint16_t getVendorProperty = 0x9187;
constexpr uint16_t property = 0xD0F0;

// The host's side of one phone, one request at a time.
struct Host {
    explicit Host(std::shared_ptr<SimulatedPhone> phone = std::make_shared<SimulatedPhone>())
        : phone(std::move(phone)), function(this->phone, UsbMtpFunction::Identity()) {}

    Status command(uint16_t code, uint32_t transactionId, std::vector<uint32_t> parameters = {}) {
        MtpDatasetWriter payload;
        for (const uint32_t parameter : parameters) {
            payload.uint32(parameter);
        }
        const auto bytes = containerBytes(1, code, transactionId, payload.bytes());
        return function.bulkOut(bytes.data(), bytes.size());
    }
    // The next IN transfer's bytes, or what ended it otherwise.
    std::string in(std::size_t capacity) {
        std::vector<uint8_t> transfer;
        switch (function.bulkIn(capacity, transfer)) {
            case Status::Ok:
                return std::string(transfer.begin(), transfer.end());
            case Status::Pending:
                return "pending";
            case Status::Overflow:
                return "overflow";
            case Status::Stall:
            case Status::NoDevice:
                break;
        }
        return "failed";
    }
    Status cancel(uint16_t code, uint32_t transactionId) {
        std::vector<uint8_t> unused;
        return function.control({0x21, 0x64, 0, 0, 6},
                                MtpDatasetWriter().uint16(code).uint32(transactionId).bytes(),
                                unused);
    }
    std::vector<uint8_t> control(uint8_t type, uint8_t request, uint16_t index) {
        std::vector<uint8_t> answer;
        EXPECT_EQ(function.control({type, request, 0, index, 64}, {}, answer), Status::Ok);
        return answer;
    }

    std::shared_ptr<SimulatedPhone> phone;
    UsbMtpFunction function;
};

std::string text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(UsbMtpFunctionTest, ATransferEndsAtAShortOrZeroLengthPacketOrAFullBuffer) {
    // 500 bytes of data make a container of one whole packet.
    const auto value = patterned(500);
    const std::string data = text(dataBytes(getVendorProperty, 1, value));
    const std::string response = text(responseBytes(0x2001, 1));
    for (const bool zeroLengthPackets : {true, false}) {
        SCOPED_TRACE(zeroLengthPackets);
        Host host;
        host.phone->setRawProperty(property, value);
        if (!zeroLengthPackets) {
            host.function.omitZeroLengthPackets();
        }
        ASSERT_EQ(host.command(getVendorProperty, 1, {property}), Status::Ok);
        EXPECT_EQ(host.in(100), "overflow");  // a packet does not fit the buffer
        if (zeroLengthPackets) {
            EXPECT_EQ(host.in(4096), data);
            EXPECT_EQ(host.in(4096), response);
        } else {
            // Nothing ends the data: the response's short packet ends the transfer.
            EXPECT_EQ(host.in(4096), data + response);
        }
        EXPECT_EQ(host.in(4096), "pending");  // nothing more: the host waits
    }
}

TEST(UsbMtpFunctionTest, AHaltedEndpointStaysHaltedUntilTheHostClearsIt) {
    Host host;
    const std::vector<uint8_t> garbage(16, 0xEE);
    EXPECT_EQ(host.function.bulkOut(garbage.data(), garbage.size()), Status::Stall);
    EXPECT_EQ(host.command(getDeviceInfo, 0), Status::Stall);
    EXPECT_EQ(host.control(0x82, 0, UsbMtpFunction::bulkOutAddress), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(host.control(0x82, 0, UsbMtpFunction::bulkInAddress), (std::vector<uint8_t>{0, 0}));
    // Get Device Status names the halted endpoint.
    EXPECT_EQ(host.control(0xA1, 0x67, 0),
              MtpDatasetWriter().uint16(8).uint16(0x2001).uint32(0x02).bytes());
    ASSERT_EQ(host.function.clearHalt(UsbMtpFunction::bulkOutAddress), Status::Ok);
    EXPECT_EQ(host.control(0x82, 0, UsbMtpFunction::bulkOutAddress), (std::vector<uint8_t>{0, 0}));
    ASSERT_EQ(host.command(getDeviceInfo, 0), Status::Ok);
    EXPECT_EQ(host.in(1 << 16), text(dataBytes(getDeviceInfo, 0, host.phone->deviceInfoDataset())));
}

TEST(UsbMtpFunctionTest, OnlyACancelOfTheRunningTransactionIsTakenAndTheBusyPhoneRefusesCommands) {
    Host host;
    host.function.silentOn(0x9171);
    host.function.busyAfterCancel(1);
    ASSERT_EQ(host.command(0x9171, 7), Status::Ok);
    EXPECT_EQ(host.cancel(0x4001, 6), Status::Stall);
    EXPECT_EQ(host.cancel(0x4002, 7), Status::Stall);
    EXPECT_TRUE(host.function.cancelledTransactions().empty());
    ASSERT_EQ(host.cancel(0x4001, 7), Status::Ok);
    EXPECT_EQ(host.function.cancelledTransactions(), std::vector<uint32_t>{7});

    // Until Get Device Status has said so, the phone is busy and answers nothing else.
    ASSERT_EQ(host.command(getDeviceInfo, 8), Status::Ok);
    EXPECT_EQ(host.in(4096), text(responseBytes(0x2019, 8)));
    EXPECT_EQ(host.control(0xA1, 0x67, 0), MtpDatasetWriter().uint16(4).uint16(0x2019).bytes());
    EXPECT_EQ(host.control(0xA1, 0x67, 0), MtpDatasetWriter().uint16(4).uint16(0x2001).bytes());
    ASSERT_EQ(host.command(getDeviceInfo, 9), Status::Ok);
    EXPECT_EQ(host.in(1 << 16), text(dataBytes(getDeviceInfo, 9, host.phone->deviceInfoDataset())));
}

}  // namespace
}  // namespace kvtest
