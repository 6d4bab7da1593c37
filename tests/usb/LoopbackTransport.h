#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "UsbMtpFunction.h"
#include "UsbTransport.h"

namespace kvtest {

// A UsbTransport wired straight to a UsbMtpFunction, for fast tests of everything above the
// USB stack. An IN transfer that the phone has nothing for times out at once; an OUT transfer the
// phone holds waits until it is interrupted or `retry` is called (after an unplug, say).
class LoopbackTransport : public kvusb::UsbTransport {
public:
    using TransferStatus = kvusb::TransferStatus;
    using Endpoint = kvusb::Endpoint;

    explicit LoopbackTransport(UsbMtpFunction& function) : function_(function) {}

    void retry();

    std::size_t packetSize() const override { return UsbMtpFunction::packetSize; }
    TransferStatus bulkOut(const uint8_t* data, std::size_t length, Timeout timeout) override;
    TransferStatus bulkIn(uint8_t* buffer, std::size_t capacity, std::size_t& received,
                          Timeout timeout) override;
    TransferStatus clearHalt(Endpoint endpoint) override;
    TransferStatus cancelRequest(uint32_t transactionId) override;
    TransferStatus deviceStatus(uint16_t& code, std::vector<uint8_t>& haltedEndpoints) override;
    uint8_t address(Endpoint endpoint) const override {
        return endpoint == Endpoint::BulkIn ? UsbMtpFunction::bulkInAddress
                                            : UsbMtpFunction::bulkOutAddress;
    }
    void interrupt() override;
    void resetInterrupt() override;

private:
    static TransferStatus statusOf(UsbMtpFunction::Status status);

    UsbMtpFunction& function_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool interrupted_ = false;
    int retries_ = 0;
};

}  // namespace kvtest
