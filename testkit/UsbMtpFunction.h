#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SimulatedPhone.h"

namespace kvtest {

// A phone's MTP function as its USB endpoints see it, with a SimulatedPhone as its brain: the
// host writes containers to bulk OUT, the operation runs on the phone once its command (and data
// phase) has arrived, and the data and response containers wait on bulk IN as a stream of
// packets. Transfers follow USB's packet rules: an IN transfer takes packets until the host's
// buffer is full or a short packet (a zero-length one included) ends it, a container of whole
// packets is followed by a zero-length packet, and a packet that does not fit the buffer
// overflows it. A halted endpoint stays halted until the host clears it. The control endpoint
// answers string descriptors, the standard GET_STATUS and the still-image class requests Cancel
// and Get Device Status. SendObject's data phase is hashed as it arrives and GetObject's read as
// it is sent, so objects of any size pass in bounded memory. The container codec is written here
// independently of the provider's. Safe to use from several threads.
class UsbMtpFunction {
public:
    enum class Status { Ok, Pending, Stall, NoDevice, Overflow };

    struct Setup {
        uint8_t requestType = 0;
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        uint16_t length = 0;
    };

    struct Identity {
        uint16_t vendorId = 0x4B56;
        uint16_t productId = 0x5001;
        std::string manufacturer = "Kavrin Test Devices";
        std::string product = "Kestrel 5";
        std::string serial = "KT0123456789";
        // Still-image class 6/1/1 instead of Android's vendor-specific interface.
        bool stillImageClass = false;
        // The vendor-specific interface's name: "MTP" on a phone.
        std::string interfaceName = "MTP";
    };

    static constexpr std::size_t packetSize = 512;
    static constexpr uint8_t bulkInAddress = 0x81;
    static constexpr uint8_t bulkOutAddress = 0x02;
    static constexpr uint8_t interruptAddress = 0x83;

    UsbMtpFunction(std::shared_ptr<SimulatedPhone> phone, Identity identity);

    // The device descriptor followed by the configuration descriptor with its interface and
    // endpoints, as the kernel shows them in sysfs.
    std::vector<uint8_t> descriptors() const;
    const Identity& identity() const { return identity_; }

    // Takes one OUT transfer whole, or leaves it Pending while the phone holds its data phase.
    Status bulkOut(const uint8_t* data, std::size_t length);
    // The next IN transfer for a buffer of `capacity` bytes; Pending until the packets due end it.
    Status bulkIn(std::size_t capacity, std::vector<uint8_t>& transfer);
    Status control(const Setup& setup, const std::vector<uint8_t>& dataOut,
                   std::vector<uint8_t>& dataIn);
    Status clearHalt(uint8_t endpoint);

    // The phone stops taking a data phase once this many payload bytes have arrived, until the
    // host cancels the transaction or the phone is unplugged.
    void holdDataAt(uint64_t payloadBytes);
    void waitUntilHeld();
    // Waits until the phone has received a command with this operation code.
    void waitForCommand(uint16_t operationCode);
    // Every request fails from now on, as on a phone pulled from its cable.
    void unplug();
    bool unplugged() const;
    // After a Cancel, Get Device Status answers "device busy" this many times; commands meanwhile
    // are answered "device busy" too.
    void busyAfterCancel(int polls);
    // A Cancel halts both bulk endpoints, as a still-image device may: Get Device Status lists
    // them until the host clears them.
    void haltOnCancel();
    // The next this many OpenSession commands are answered "device busy".
    void busyOnOpenSession(int times);
    // The phone halts its bulk IN endpoint instead of answering this operation.
    void stallInOn(uint16_t operationCode);
    // The phone halts its bulk OUT endpoint at the data phase of this operation.
    void stallOutOn(uint16_t operationCode);
    // The phone never answers this operation (until a Cancel).
    void silentOn(uint16_t operationCode);
    // Containers of whole packets are not followed by a zero-length packet.
    void omitZeroLengthPackets();
    // A data container's header goes in a transfer of its own, its payload in the next.
    void splitDataHeaders();

    std::vector<uint32_t> cancelledTransactions() const;
    // Transaction ids of the commands received, in order.
    std::vector<uint32_t> transactionIds() const;

private:
    enum class Phase { Command, Data, Answering };

    // A container (or part of one, or a zero-length packet) waiting on bulk IN.
    struct Segment {
        uint64_t length = 0;
        std::function<void(uint64_t offset, uint8_t* into, std::size_t length)> read;
        uint64_t taken = 0;
    };

    Status receiveCommand(const uint8_t* data, std::size_t length);
    Status startDataPhase();
    Status receiveData(const uint8_t* data, std::size_t length);
    Status keepPayload(const uint8_t* data, std::size_t length);
    void runOperation();
    void answerWithPhone();
    void answerObject();
    void queueResponse(uint16_t code, const std::vector<uint32_t>& parameters = {});
    void queueData(uint64_t length, std::function<void(uint64_t, uint8_t*, std::size_t)> read);
    void queue(Segment segment);
    std::vector<uint8_t> header(uint16_t type, uint16_t code, uint64_t payloadLength) const;
    // The bytes of the next transfer of at most `capacity`, or Pending or Overflow.
    Status takeTransfer(std::size_t capacity, std::vector<uint8_t>& transfer);
    Status cancel(const std::vector<uint8_t>& dataOut);
    std::vector<uint8_t> deviceStatus();
    Status standardStatus(const Setup& setup, std::vector<uint8_t>& dataIn) const;
    std::vector<uint8_t> stringDescriptor(uint8_t index) const;
    Status haltOut();
    void idle();

    const std::shared_ptr<SimulatedPhone> phone_;
    const Identity identity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Phase phase_ = Phase::Command;
    std::vector<uint8_t> command_;
    uint16_t code_ = 0;
    std::optional<uint32_t> transactionId_;
    std::vector<uint32_t> parameters_;
    std::vector<uint8_t> dataHeader_;
    std::optional<uint64_t> announced_;
    // The data phase as it arrives: into the phone's file (SendObject), into `payload_`, or
    // nowhere while the phone is busy.
    std::unique_ptr<SimulatedPhone::ReceivedFile> upload_;
    std::vector<uint8_t> payload_;
    uint64_t received_ = 0;
    bool refusing_ = false;
    std::deque<Segment> inSegments_;
    bool inHalted_ = false;
    bool outHalted_ = false;
    std::optional<uint64_t> holdAt_;
    bool held_ = false;
    bool unplugged_ = false;
    int busyAfterCancel_ = 0;
    bool haltOnCancel_ = false;
    int busyPolls_ = 0;
    int busyOpens_ = 0;
    std::set<uint16_t> stallIn_;
    std::set<uint16_t> stallOut_;
    std::set<uint16_t> silent_;
    bool zeroLengthPackets_ = true;
    bool splitDataHeaders_ = false;
    std::vector<uint32_t> cancelled_;
    std::vector<uint32_t> transactionIds_;
    std::vector<uint16_t> commands_;
};

}  // namespace kvtest
