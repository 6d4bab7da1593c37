#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimulatedPhone.h"
#include "UsbMtpFunction.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace kvtest {

class EmulatedUsbPhone;

// A USB bus in umockdev's testbed: phones added to it appear in sysfs and /dev/bus/usb to libusb
// in this process, which must run under umockdev-wrapper. Create it, and its phones, before
// libusb starts; end libusb before it goes.
class EmulatedUsb {
public:
    EmulatedUsb();
    ~EmulatedUsb();
    EmulatedUsb(const EmulatedUsb&) = delete;
    EmulatedUsb& operator=(const EmulatedUsb&) = delete;

    // Whether the process runs with umockdev's preload library, as emulation needs.
    static bool available();

    // A phone at usb:001:ADDRESS whose MTP function runs on `phone`.
    EmulatedUsbPhone& addPhone(std::shared_ptr<SimulatedPhone> phone, uint8_t address,
                               UsbMtpFunction::Identity identity = UsbMtpFunction::Identity());

private:
    UMockdevTestbed* testbed_;
    std::vector<std::unique_ptr<EmulatedUsbPhone>> phones_;
};

// One emulated phone: its usbfs node answers libusb's requests (claims, bulk and control URBs,
// reaps, discards, clear halt) with its UsbMtpFunction. Empty reaps that follow an empty one
// are answered after 1 ms, so libusb's event loop does not spin.
class EmulatedUsbPhone {
public:
    // Who else holds the phone's MTP interface.
    enum class Holder { Nobody, Program, KernelDriver };

    EmulatedUsbPhone(UMockdevTestbed* testbed, std::shared_ptr<SimulatedPhone> phone,
                     uint8_t address, UsbMtpFunction::Identity identity);
    ~EmulatedUsbPhone();
    EmulatedUsbPhone(const EmulatedUsbPhone&) = delete;
    EmulatedUsbPhone& operator=(const EmulatedUsbPhone&) = delete;

    UsbMtpFunction& function() { return function_; }
    SimulatedPhone& phone() { return *phone_; }
    // "usb:001:ADDRESS"
    std::string location() const;
    // The phone's device node in the testbed's folder, as libusb opens it.
    std::string nodePath() const;
    // URBs submitted and not reaped; 0 once libusb has ended.
    std::size_t unreapedUrbs() const;
    // Claims of the interface fail while it is held; a kernel driver may be detached.
    void holdInterface(Holder holder);
    bool driverDetached() const;
    // The next bulk OUT transfer reaches the phone whole but is reported to the host as done
    // with half its bytes, as a confused controller might report it.
    void reportNextOutShort();

    // Handles one ioctl of the node; runs on umockdev's thread.
    bool handle(UMockdevIoctlClient* client);

private:
    struct Urb {
        unsigned long address = 0;
        unsigned char type = 0;
        unsigned char endpoint = 0;
        int bufferLength = 0;
        std::vector<uint8_t> out;
        int status = 0;
        std::vector<uint8_t> in;
        int actualLength = 0;
    };

    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    void discard(UMockdevIoctlClient* client);
    void claim(UMockdevIoctlClient* client, bool detachingDriver);
    void answerDriver(UMockdevIoctlClient* client);
    // Moves the pending URBs the phone can answer now to the reapable ones.
    void advance();
    bool complete(Urb& urb);
    static int errorOf(UsbMtpFunction::Status status);

    const std::shared_ptr<SimulatedPhone> phone_;
    UsbMtpFunction function_;
    const uint8_t address_;
    const std::string devicePath_;
    UMockdevTestbed* const testbed_;
    UMockdevIoctlBase* handler_;
    mutable std::mutex mutex_;
    std::deque<Urb> pending_;
    std::deque<Urb> reapable_;
    bool reapedLast_ = false;
    Holder holder_ = Holder::Nobody;
    bool driverDetached_ = false;
    bool shortOut_ = false;
};

}  // namespace kvtest
