#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "EmulatedUsb.h"
#include "ExitCodes.h"
#include "InterruptWatcher.h"
#include "MtpDatasetWriter.h"
#include "PatternedBody.h"
#include "ReferenceCrypto.h"
#include "SimulatedServer.h"
#include "TempDirectory.h"
#include "UsbMtpProvider.h"
#include "support/ServedPackages.h"

namespace kvtest {
namespace {

using namespace std::chrono_literals;
using MtpResult = kv::MtpProvider::MtpResult;

constexpr uint64_t packageSize = 6u << 20;
constexpr char package[] = "kavrin-sim-update.bin";

// Ends the program when a test runs too long: a USB request that nobody answers must fail the
// test, not hang the suite.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "emulated USB test still running after %lld s: stopped\n",
                               static_cast<long long>(limit.count()));
                  std::_Exit(124);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        finished_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread thread_;
};

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

std::string noVariable(const char*) {
    return "";
}

// Text written to a memory stream.
class MemoryFile {
public:
    MemoryFile() : file_(open_memstream(&text_, &size_)) {}
    ~MemoryFile() {
        close();
        std::free(text_);
    }
    std::FILE* get() const { return file_; }
    std::string close() {
        if (file_) {
            std::fclose(file_);
            file_ = nullptr;
        }
        return text_ ? std::string(text_, size_) : std::string();
    }

private:
    char* text_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

// The kavrin command line, run in this process (the emulated bus exists only here), with the
// error handling of its main.
Outcome runKavrin(const std::vector<std::string>& arguments) {
    MemoryFile out;
    MemoryFile err;
    int exitCode = 0;
    {
        auto console = std::make_shared<kvhost::Console>(out.get(), err.get(), false);
        try {
            const auto parsed = kvhost::CommandLine::parse(arguments, noVariable);
            exitCode = parsed.options ? kvhost::Commands(*parsed.options, console).run() : 0;
        } catch (const kvhost::CommandLine::UsageError& error) {
            console->line(std::string("kavrin: ") + error.what());
            exitCode = kvhost::ExitCodes::usage;
        } catch (const std::exception& error) {
            console->line(std::string("kavrin: ") + error.what());
            exitCode = kvhost::ExitCodes::hostFailure;
        }
    }
    return {exitCode, out.close(), err.close()};
}

Json::Value parsed(const std::string& text) {
    Json::Value value;
    std::string errors;
    std::istringstream stream(text);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stream, &value, &errors)) << text;
    return value;
}

std::shared_ptr<SimulatedPhone> legacyPhone() {
    auto phone = std::make_shared<SimulatedPhone>(SimulatedPhone::Kind::LegacyFota);
    phone->setTransferMode(SimulatedPhone::TransferMode::DigestOnly);
    phone->installOnVerify({kvhost::SimulatedServer::targetVersion,
                            SimulatedPhone::FotaStatus::withReport(0, "update installed")});
    return phone;
}

// This thread without the power to open files whatever their permissions, as a user who is not
// root; given back when it goes.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header_, reduced);
    }
    ~WithoutPermissionOverride() { syscall(SYS_capset, &header_, saved_); }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};

class UsbDeviceTest : public ::testing::Test {
protected:
    explicit UsbDeviceTest(std::chrono::seconds limit = 60s) : limit_(limit) {}

    void SetUp() override {
        usb = std::make_unique<EmulatedUsb>();
        if (!EmulatedUsb::available()) {
            GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        }
        watchdog = std::make_unique<Watchdog>(limit_);
    }

    void TearDown() override {
        provider.reset();
        for (EmulatedUsbPhone* phone : phones) {
            EXPECT_EQ(phone->unreapedUrbs(), 0u) << phone->location();
        }
        usb.reset();
        watchdog.reset();
    }

    EmulatedUsbPhone& addPhone(std::shared_ptr<SimulatedPhone> phone, uint8_t address = 2,
                               UsbMtpFunction::Identity identity = UsbMtpFunction::Identity()) {
        phones.push_back(&usb->addPhone(std::move(phone), address, std::move(identity)));
        return *phones.back();
    }

    // `kavrin COMMAND` with the working directory and a package of `packageSize` bytes.
    Outcome kavrin(std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--workdir", workingDirectory.path(),
                                           "--sim-package-size", std::to_string(packageSize)});
        return runKavrin(arguments);
    }

    MtpResult execute(const std::string& deviceId, uint16_t code, std::vector<uint32_t> parameters,
                      kv::MtpProvider::MtpResponse& response,
                      const std::vector<uint8_t>& data = {}) {
        auto request = std::make_shared<kv::MtpProvider::MtpRequest>();
        request->operationCode = code;
        request->numberOfParameters = static_cast<uint16_t>(parameters.size());
        std::copy(parameters.begin(), parameters.end(), request->parameters);
        if (!data.empty()) {
            request->data.reset(new uint8_t[data.size()]);
            std::copy(data.begin(), data.end(), request->data.get());
            request->dataLength = data.size();
        }
        auto answer = std::make_shared<kv::MtpProvider::MtpResponse>();
        answer->data.reset(new uint8_t[250000]);
        const MtpResult result = provider->execute(
            deviceId, 250000, std::shared_ptr<const kv::MtpProvider::MtpRequest>(request), answer);
        response = *answer;
        return result;
    }

    // The provider with these options, short pauses between status polls, and its diagnostics
    // collected.
    void startProvider(kvusb::UsbMtpProvider::Options options) {
        options.engine.statusInterval = 10ms;
        options.diagnostics = [this](const std::string& line) { diagnostics.push_back(line); };
        provider = std::make_shared<kvusb::UsbMtpProvider>(options);
    }

    uint64_t packageBytesOnDisk() const {
        const std::string path = workingDirectory.file(package);
        return std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
    }

    const std::chrono::seconds limit_;
    std::unique_ptr<Watchdog> watchdog;
    std::unique_ptr<EmulatedUsb> usb;
    std::vector<EmulatedUsbPhone*> phones;
    std::shared_ptr<kvusb::UsbMtpProvider> provider;
    std::vector<std::string> diagnostics;
    TempDirectory workingDirectory;
};

TEST_F(UsbDeviceTest, WholeUpdateRunsThroughKavrinUpdateWithTheUsbPhone) {
    auto phone = legacyPhone();
    addPhone(phone);
    const Outcome outcome = kavrin({"update", "--phone", "usb", "--json"});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const Json::Value result = parsed(outcome.out);
    EXPECT_EQ(result["updateId"], "YAV:0");
    EXPECT_EQ(result["finalResult"]["success"], true);
    EXPECT_EQ(result["finalResult"]["resultCode"], 0);
    EXPECT_NE(outcome.err.find("transfer [###"), std::string::npos) << outcome.err;

    // The package arrived whole in the phone's recovery folder, and the phone was told to
    // install that object.
    const auto verify = phone->verifyCalls();
    ASSERT_EQ(verify.size(), 1u);
    EXPECT_EQ(verify[0].operationCode, 0x9170);
    const auto stored = phone->storedObject(verify[0].objectHandle);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->destinationPath, "/recovery/update_package");
    EXPECT_EQ(stored->size, packageSize);
    EXPECT_EQ(stored->sha256, PatternedBody::sha256Hex(packageSize));
    EXPECT_EQ(packageBytesOnDisk(), 0u);
}

TEST_F(UsbDeviceTest, CtrlCMidTransferCancelsTheTransactionOnThePhone) {
    auto phone = legacyPhone();
    EmulatedUsbPhone& emulated = addPhone(phone);
    emulated.function().holdDataAt(2u << 20);
    emulated.function().busyAfterCancel(2);
    std::thread interrupter([&] {
        emulated.function().waitUntilHeld();
        kill(getpid(), SIGINT);
    });
    const Outcome outcome = kavrin({"update", "--phone", "usb"});
    interrupter.join();
    EXPECT_EQ(outcome.exitCode, 7) << outcome.err;
    EXPECT_EQ(emulated.function().cancelledTransactions().size(), 1u);
    EXPECT_TRUE(phone->verifyCalls().empty());
    // The verified package stays, ready to be sent again.
    EXPECT_EQ(packageBytesOnDisk(), packageSize);
}

TEST_F(UsbDeviceTest, UnplugMidTransferEndsInADeviceError) {
    auto phone = legacyPhone();
    EmulatedUsbPhone& emulated = addPhone(phone);
    emulated.function().holdDataAt(1u << 20);
    std::thread unplugger([&] {
        emulated.function().waitUntilHeld();
        emulated.function().unplug();
    });
    const Outcome outcome = kavrin({"update", "--phone", "usb"});
    unplugger.join();
    EXPECT_EQ(outcome.exitCode, 4) << outcome.err;
    EXPECT_NE(outcome.err.find("unplugged"), std::string::npos) << outcome.err;
    EXPECT_EQ(packageBytesOnDisk(), packageSize);
}

// Four phones of two models on one hub, updated at once: each package is downloaded once for the
// two phones that need it, the phone that answers busy to its first session open is updated all
// the same, and the one unplugged during its transfer fails alone.
TEST_F(UsbDeviceTest, UpdateAllUpdatesFourPhonesAndOneUnpluggedFailsAlone) {
    struct Phone {
        const char* serial;
        const char* model;
        const char* modelId;
        const char* imei;
    };
    const Phone fleet[] = {{"KT-A-0001", "Kestrel 5", "K-5", "490154203237518"},
                           {"KT-B-0002", "Kestrel 7", "K-7", "490154203237526"},
                           {"KT-C-0003", "Kestrel 5", "K-5", "490154203237534"},
                           {"KT-D-0004", "Kestrel 7", "K-7", "490154203237542"}};
    std::vector<std::shared_ptr<SimulatedPhone>> simulated;
    for (uint8_t i = 0; i < 4; ++i) {
        simulated.push_back(legacyPhone());
        simulated.back()->setProperty(0xD035, fleet[i].modelId);
        simulated.back()->setImei(fleet[i].imei);
        UsbMtpFunction::Identity identity;
        identity.serial = fleet[i].serial;
        identity.product = fleet[i].model;
        addPhone(simulated.back(), static_cast<uint8_t>(2 + i), identity);
    }
    phones[2]->function().busyOnOpenSession(1);
    UsbMtpFunction& unplugged = phones[3]->function();
    unplugged.holdDataAt(1u << 20);
    std::thread unplugger([&] {
        unplugged.waitUntilHeld();
        unplugged.unplug();
    });

    const Outcome listed = runKavrin({"devices"});
    EXPECT_NE(listed.out.find("kavrin update --all updates all of them\n"), std::string::npos)
        << listed.out;
    const Outcome outcome = kavrin({"update", "--all", "--json", "--verbose"});
    unplugged.unplug();  // in case the transfer never came
    unplugger.join();
    EXPECT_EQ(outcome.exitCode, 4) << outcome.err;
    const Json::Value table = parsed(outcome.out);
    ASSERT_EQ(table.size(), 4u) << outcome.out;
    for (Json::ArrayIndex i = 0; i < 4; ++i) {
        SCOPED_TRACE(fleet[i].serial);
        EXPECT_EQ(table[i]["id"], std::string("usb:") + fleet[i].serial);
        EXPECT_EQ(table[i]["model"], fleet[i].model);
        EXPECT_EQ(table[i]["versionBefore"], "5.2.0.118");
        const bool updated = i != 3;
        EXPECT_EQ(table[i]["result"], updated ? "updated" : "failed");
        EXPECT_EQ(table[i]["exitCode"], updated ? 0 : 4);
        EXPECT_EQ(table[i]["failedStep"], updated ? "" : "the transfer");
        EXPECT_EQ(table[i]["reason"], updated ? "" : "device error");
        EXPECT_EQ(simulated[i]->verifyCalls().size(), updated ? 1u : 0u);
    }
    EXPECT_EQ(packageRequests(outcome.err, "kavrin-sim-update.bin"), 1u) << outcome.err;
    EXPECT_EQ(packageRequests(outcome.err, "kavrin-sim-update-k7.bin"), 1u) << outcome.err;
    // Asked again after the busy answer, with the transaction id of an OpenSession.
    const auto ids = phones[2]->function().transactionIds();
    ASSERT_GE(ids.size(), 2u);
    EXPECT_EQ(std::vector<uint32_t>(ids.begin(), ids.begin() + 2), (std::vector<uint32_t>{0, 0}));
}

TEST_F(UsbDeviceTest, PhonesAreListedAndFoundBySerialOrLocation) {
    addPhone(legacyPhone(), 2);
    UsbMtpFunction::Identity camera;
    camera.stillImageClass = true;
    camera.serial.clear();
    camera.product = "Kestrel 5 PTP";
    auto second = std::make_shared<SimulatedPhone>();
    second->setProperty(0xD036, "Second phone");
    addPhone(second, 3, camera);
    UsbMtpFunction::Identity adb;
    adb.interfaceName = "ADB Interface";
    adb.serial = "NOT-A-PHONE";
    addPhone(std::make_shared<SimulatedPhone>(), 4, adb);

    const Outcome listed = runKavrin({"devices", "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    const Json::Value devices = parsed(listed.out);
    ASSERT_EQ(devices.size(), 2u) << listed.out;
    EXPECT_EQ(devices[0]["id"], "usb:KT0123456789");
    EXPECT_EQ(devices[0]["location"], "usb:001:002");
    EXPECT_EQ(devices[0]["vendorId"], "4b56");
    EXPECT_EQ(devices[0]["productId"], "5001");
    EXPECT_EQ(devices[0]["manufacturer"], "Kavrin Test Devices");
    EXPECT_EQ(devices[0]["model"], "Kestrel 5");
    EXPECT_EQ(devices[1]["id"], "usb:001:003");
    EXPECT_EQ(devices[1]["serial"], "");
    EXPECT_EQ(devices[1]["updatedByAll"], true);
    const Outcome text = runKavrin({"devices"});
    EXPECT_NE(text.out.find("usb:KT0123456789  4b56:5001  Kavrin Test Devices  Kestrel 5"),
              std::string::npos)
        << text.out;

    const Outcome ambiguous = kavrin({"identify", "--phone", "usb"});
    EXPECT_EQ(ambiguous.exitCode, kvhost::ExitCodes::hostFailure);
    EXPECT_NE(ambiguous.err.find("2 MTP phones are attached (usb:KT0123456789, usb:001:003)"),
              std::string::npos)
        << ambiguous.err;

    provider = std::make_shared<kvusb::UsbMtpProvider>();
    std::string problem;
    for (const char* id : {"usb:KT0123456789", "usb:1:2", "usb:001:003"}) {
        EXPECT_TRUE(provider->connect(id, problem)) << id << ": " << problem;
    }
    for (const char* id : {"usb:NOPE", "usb:001:009", "usb:NOT-A-PHONE", "usb:001:004"}) {
        EXPECT_FALSE(provider->connect(id, problem)) << id;
    }
    kv::MtpProvider::MtpResponse name;
    ASSERT_EQ(execute("usb:001:003", 0x9187, {0xD036}, name), MtpResult::Success);
    EXPECT_EQ(name.responseCode, 0x2001);
    EXPECT_EQ(std::vector<uint8_t>(name.data.get(), name.data.get() + name.dataLength),
              MtpDatasetWriter().mtpString(u"Second phone").bytes());
}

// Each failure is cleared on the phone itself (a halted endpoint stays halted until then), so
// the next operation works.
TEST_F(UsbDeviceTest, TimeoutsAndStallsEndInUsbErrorsAndThePhoneRecovers) {
    auto phone = std::make_shared<SimulatedPhone>();
    EmulatedUsbPhone& emulated = addPhone(phone);
    kvusb::UsbMtpProvider::Options options;
    options.engine.installResponseTimeout = 500ms;
    startProvider(options);
    const std::string id = "usb:KT0123456789";

    emulated.function().silentOn(0x9171);
    kv::MtpProvider::MtpResponse response;
    EXPECT_EQ(execute(id, 0x9171, {}, response), MtpResult::UsbCommunicationError);
    EXPECT_EQ(emulated.function().cancelledTransactions().size(), 1u);
    emulated.function().stallInOn(0x9187);
    EXPECT_EQ(execute(id, 0x9187, {0xD039}, response), MtpResult::UsbResponseError);
    emulated.function().stallOutOn(0x9178);
    EXPECT_EQ(execute(id, 0x9178, {1, 2, 0}, response, std::vector<uint8_t>(100, 7)),
              MtpResult::UsbDataError);
    ASSERT_EQ(execute(id, 0x1001, {}, response), MtpResult::Success);
    EXPECT_EQ(std::vector<uint8_t>(response.data.get(), response.data.get() + response.dataLength),
              phone->deviceInfoDataset());
    ASSERT_EQ(diagnostics.size(), 3u);
    EXPECT_EQ(diagnostics[0],
              "usb:KT0123456789: operation 0x9171: the phone did not answer in time (bulk in)");
    EXPECT_NE(diagnostics[1].find("halted its bulk in endpoint"), std::string::npos)
        << diagnostics[1];
    EXPECT_NE(diagnostics[2].find("halted its bulk out endpoint"), std::string::npos)
        << diagnostics[2];
    // A command the controller reports sent in part failed, however much the phone got.
    emulated.reportNextOutShort();
    EXPECT_EQ(execute(id, 0x1001, {}, response), MtpResult::UsbCommunicationError);
    EXPECT_EQ(execute(id, 0x1001, {}, response), MtpResult::Success);
}

// A cancel that comes while the provider opens the phone (here: the phone never answers
// OpenSession) ends the open and the call, instead of waiting for the phone.
TEST_F(UsbDeviceTest, CancelWhileThePhoneIsOpenedEndsTheCall) {
    EmulatedUsbPhone& emulated = addPhone(std::make_shared<SimulatedPhone>());
    emulated.function().silentOn(0x1002);
    kvusb::UsbMtpProvider::Options options;
    options.engine.responseTimeout = 20s;
    startProvider(options);
    const std::string id = "usb:KT0123456789";
    EXPECT_EQ(provider->cancel(id), MtpResult::GeneralError);  // no call runs yet
    std::thread canceller([&] {
        emulated.function().waitForCommand(0x1002);
        EXPECT_EQ(provider->cancel(id), MtpResult::Success);
    });
    kv::MtpProvider::MtpResponse response;
    EXPECT_EQ(execute(id, 0x1001, {}, response), MtpResult::Cancelled);
    canceller.join();
    EXPECT_EQ(emulated.function().cancelledTransactions(), std::vector<uint32_t>{0});
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0], "usb:KT0123456789: cancelled while the phone was opened");
}

// A host's cancel ends the call it came in and no later one: the endpoints the phone halted
// are cleared, and a phone still busy after the cancel is opened afresh for the next call.
TEST_F(UsbDeviceTest, ACancelEndsOnlyItsCallAndAPhoneLeftBusyIsOpenedAfresh) {
    EmulatedUsbPhone& emulated = addPhone(std::make_shared<SimulatedPhone>());
    emulated.function().haltOnCancel();
    kvusb::UsbMtpProvider::Options options;
    options.engine.statusPolls = 3;
    startProvider(options);
    const std::string id = "usb:KT0123456789";
    kv::MtpProvider::MtpResponse response;
    const auto cancelledCall = [&](uint16_t code) {
        emulated.function().silentOn(code);
        std::thread canceller([&] {
            emulated.function().waitForCommand(code);
            EXPECT_EQ(provider->cancel(id), MtpResult::Success);
        });
        EXPECT_EQ(execute(id, code, {}, response), MtpResult::Cancelled);
        canceller.join();
    };
    cancelledCall(0x1004);
    ASSERT_EQ(execute(id, 0x1001, {}, response), MtpResult::Success);
    emulated.function().busyAfterCancel(options.engine.statusPolls);
    cancelledCall(0x1005);
    ASSERT_EQ(execute(id, 0x1001, {}, response), MtpResult::Success);
    // OpenSession, the calls, then OpenSession again (closing the session the phone kept).
    EXPECT_EQ(emulated.function().transactionIds(),
              (std::vector<uint32_t>{0, 1, 2, 3, 0, 1, 0, 1}));
}

// A phone whose device node this user may not open (no udev rule gives access) is an access
// error, which the host explains.
TEST_F(UsbDeviceTest, APhoneThatMayNotBeOpenedIsAnAccessError) {
    EmulatedUsbPhone& emulated = addPhone(std::make_shared<SimulatedPhone>());
    startProvider({});
    std::filesystem::permissions(emulated.nodePath(), std::filesystem::perms::none);
    const WithoutPermissionOverride unprivileged;
    const int node = ::open(emulated.nodePath().c_str(), O_RDWR);
    if (node >= 0) {
        ::close(node);
        GTEST_SKIP() << "this process opens the node whatever its permissions";
    }
    kv::MtpProvider::MtpResponse response;
    EXPECT_EQ(execute(emulated.location(), 0x1001, {}, response), MtpResult::UsbAccessError);
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_NE(diagnostics[0].find("is denied: install kavrin's udev rule"), std::string::npos)
        << diagnostics[0];
}

// Sends run through the whole stack for the largest packages too.
class UsbDeviceLargeTest : public UsbDeviceTest {
protected:
    UsbDeviceLargeTest() : UsbDeviceTest(540s) {}
};

// A package over 4 GiB goes as SendObjectInfo and SendObject with 0xFFFFFFFF lengths (a length
// the phone cannot hold as 32 bits would end its data phase early, and the send); the phone
// hashes it as it arrives, and neither side holds it. The package is a sparse file with patterned
// stretches at its start, around 4 GiB and at its end, so that bytes sent out of place show.
TEST_F(UsbDeviceLargeTest, PackageOverFourGibibytesArrivesWholeInBoundedMemory) {
    auto phone = std::make_shared<SimulatedPhone>();
    phone->setTransferMode(SimulatedPhone::TransferMode::DigestOnly);
    addPhone(phone);
    const uint64_t size = (4ull << 30) + 100000 + 13;
    const uint64_t stretch = 1 << 16;
    const uint64_t stretches[] = {0, (4ull << 30) - 30000, size - stretch};
    // The package's bytes at [offset, offset + length).
    const auto fill = [&](uint64_t offset, uint8_t* into, uint64_t length) {
        std::fill(into, into + length, 0);
        for (const uint64_t at : stretches) {
            const uint64_t from = std::max(at, offset);
            const uint64_t to = std::min(at + stretch, offset + length);
            if (from < to) {
                PatternedBody::fill(from, into + (from - offset), to - from);
            }
        }
    };
    const std::string path = workingDirectory.file("large.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    std::vector<uint8_t> piece(1 << 20);
    for (const uint64_t at : stretches) {
        fill(at, piece.data(), stretch);
        ASSERT_EQ(::pwrite(fd, piece.data(), stretch, static_cast<off_t>(at)),
                  static_cast<ssize_t>(stretch));
    }
    ::close(fd);
    ReferenceSha256 expected;
    for (uint64_t offset = 0; offset < size; offset += piece.size()) {
        const uint64_t length = std::min<uint64_t>(piece.size(), size - offset);
        fill(offset, piece.data(), length);
        expected.add(piece.data(), length);
    }

    provider = std::make_shared<kvusb::UsbMtpProvider>();
    uint32_t handle = 0;
    ASSERT_EQ(provider->sendFile("usb:KT0123456789", path, "/recovery/update_package", handle),
              MtpResult::Success);
    const auto stored = phone->storedObject(handle);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->destinationPath, "/recovery/update_package");
    EXPECT_EQ(stored->size, size);
    EXPECT_EQ(stored->sha256, expected.finishHex());
    const auto requests = phone->requests();
    const auto info = std::find_if(requests.begin(), requests.end(), [](const auto& request) {
        return request.operationCode == 0x100C;
    });
    ASSERT_NE(info, requests.end());
    ASSERT_GE(info->data.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(info->data.begin() + 8, info->data.begin() + 12),
              std::vector<uint8_t>(4, 0xFF));
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_SELF, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "peak RSS in KiB";
}

TEST_F(UsbDeviceTest, AnotherHolderOfThePhoneIsNamedAndAKernelDriverDetachedOnlyWhenAsked) {
    EmulatedUsbPhone& emulated = addPhone(std::make_shared<SimulatedPhone>());
    emulated.holdInterface(EmulatedUsbPhone::Holder::Program);
    const Outcome busy = kavrin({"identify", "--phone", "usb"});
    EXPECT_EQ(busy.exitCode, kvhost::ExitCodes::hostFailure);
    EXPECT_EQ(busy.err,
              "kavrin: the phone at usb:001:002 is busy: another program holds it (the desktop's "
              "file manager or photo import, for instance): close it or unmount the phone, then "
              "try again\n");

    emulated.holdInterface(EmulatedUsbPhone::Holder::KernelDriver);
    const Outcome driver = kavrin({"identify", "--phone", "usb"});
    EXPECT_EQ(driver.exitCode, kvhost::ExitCodes::hostFailure);
    EXPECT_NE(
        driver.err.find("a kernel driver holds the MTP interface of the phone at usb:001:002"),
        std::string::npos)
        << driver.err;
    EXPECT_FALSE(emulated.driverDetached());
    const Outcome detached = kavrin({"identify", "--phone", "usb", "--detach-kernel-driver"});
    EXPECT_EQ(detached.exitCode, 0) << detached.err;
    EXPECT_TRUE(emulated.driverDetached());
}

TEST_F(UsbDeviceTest, AVendorInterfaceNotNamedMtpIsNoPhone) {
    UsbMtpFunction::Identity adb;
    adb.interfaceName = "ADB Interface";
    addPhone(std::make_shared<SimulatedPhone>(), 2, adb);
    const Outcome listed = runKavrin({"devices"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.out, "No MTP phone is attached by USB.\n");
    const Outcome update = kavrin({"identify", "--phone", "usb"});
    EXPECT_EQ(update.exitCode, kvhost::ExitCodes::hostFailure);
    EXPECT_NE(update.err.find("no MTP phone is attached by USB"), std::string::npos) << update.err;
}

}  // namespace
}  // namespace kvtest

int main(int argc, char** argv) {
    // Before any thread starts: Ctrl-C reaches kavrin's watcher, as in the program itself.
    kvhost::InterruptWatcher::prepareProcess();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
