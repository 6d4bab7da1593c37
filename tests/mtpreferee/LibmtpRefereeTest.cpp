// libmtp (Debian's libmtp-dev), an MTP host stack written by others, judges the emulated phone:
// what it detects, opens, lists, sends and reads must work as with a phone it supports. libmtp
// keeps its libusb context for the whole process, so one emulated bus serves every test here and
// outlives them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libmtp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "EmulatedUsb.h"
#include "PatternedBody.h"
#include "ReferenceCrypto.h"
#include "SimulatedPhone.h"
#include "TempDirectory.h"

namespace kvtest {
namespace {

constexpr uint16_t operationSendObjectInfo = 0x100C;
constexpr uint16_t operationSendObject = 0x100D;

// The SHA-256 of a whole file.
std::string fileSha256(const std::string& path) {
    ReferenceSha256 sha256;
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(1 << 20);
    for (ssize_t got = 0; fd >= 0 && (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
        sha256.add(buffer.data(), static_cast<size_t>(got));
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return sha256.finishHex();
}

// A file of `size` patterned bytes.
std::string patternedFile(const TempDirectory& directory, const std::string& name, uint64_t size) {
    const std::string path = directory.file(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<uint8_t> piece(1 << 20);
    for (uint64_t offset = 0; fd >= 0 && offset < size; offset += piece.size()) {
        const auto length = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - offset));
        PatternedBody::fill(offset, piece.data(), length);
        if (::write(fd, piece.data(), length) != static_cast<ssize_t>(length)) {
            break;
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return path;
}

// Ends a send once more than `after` bytes have gone.
int cancelAfter(uint64_t const sent, uint64_t const, void const* const after) {
    return sent > *static_cast<const uint64_t*>(after) ? 1 : 0;
}

class LibmtpRefereeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Never destroyed: libmtp's libusb context, which cannot be ended, uses it to the end.
        usb = new EmulatedUsb();
        if (!EmulatedUsb::available()) {
            return;
        }
        phone = std::make_shared<SimulatedPhone>();
        phone->setTransferMode(SimulatedPhone::TransferMode::DigestOnly);
        emulated = &usb->addPhone(phone, 2);
        LIBMTP_Init();
    }

    void SetUp() override {
        if (!EmulatedUsb::available()) {
            GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        }
        LIBMTP_raw_device_t* raw = nullptr;
        int count = 0;
        ASSERT_EQ(LIBMTP_Detect_Raw_Devices(&raw, &count), LIBMTP_ERROR_NONE);
        ASSERT_EQ(count, 1);
        EXPECT_EQ(raw[0].device_entry.vendor_id, 0x4B56);
        device = LIBMTP_Open_Raw_Device_Uncached(&raw[0]);
        std::free(raw);
        ASSERT_NE(device, nullptr);
        // libmtp logs every operation the phone lists and refuses.
        EXPECT_EQ(LIBMTP_Get_Errorstack(device), nullptr);
        LIBMTP_Dump_Errorstack(device);
        LIBMTP_Clear_Errorstack(device);
    }

    void TearDown() override {
        if (device) {
            LIBMTP_Release_Device(device);
        }
    }

    // The object named `name` among the children of `parent` on the phone's storage.
    uint32_t find(uint32_t parent, const std::string& name) {
        uint32_t id = 0;
        LIBMTP_file_t* files =
            LIBMTP_Get_Files_And_Folders(device, SimulatedPhone::storageId, parent);
        while (files) {
            if (name == files->filename) {
                id = files->item_id;
            }
            LIBMTP_file_t* next = files->next;
            LIBMTP_destroy_file_t(files);
            files = next;
        }
        return id;
    }

    // Sends a patterned file with libmtp; its object id, or 0 when libmtp failed.
    uint32_t send(const std::string& name, uint64_t size, uint32_t storage, uint32_t parent,
                  const uint64_t* cancelAt = nullptr) {
        const std::string path = patternedFile(directory, name, size);
        const int fd = ::open(path.c_str(), O_RDONLY);
        LIBMTP_file_t* file = LIBMTP_new_file_t();
        file->filename = strdup(name.c_str());
        file->filesize = size;
        file->filetype = LIBMTP_FILETYPE_UNKNOWN;
        file->storage_id = storage;
        file->parent_id = parent;
        const int sent = LIBMTP_Send_File_From_File_Descriptor(
            device, fd, file, cancelAt ? cancelAfter : nullptr, cancelAt);
        const uint32_t id = sent == 0 ? file->item_id : 0;
        LIBMTP_destroy_file_t(file);
        ::close(fd);
        return id;
    }

    static EmulatedUsb* usb;
    static std::shared_ptr<SimulatedPhone> phone;
    static EmulatedUsbPhone* emulated;
    LIBMTP_mtpdevice_t* device = nullptr;
    TempDirectory directory;
};

EmulatedUsb* LibmtpRefereeTest::usb = nullptr;
std::shared_ptr<SimulatedPhone> LibmtpRefereeTest::phone;
EmulatedUsbPhone* LibmtpRefereeTest::emulated = nullptr;

TEST_F(LibmtpRefereeTest, ListsTheStorageAndPropertiesAndSendsFilesThePhoneStoresWhole) {
    ASSERT_EQ(LIBMTP_Get_Storage(device, LIBMTP_STORAGE_SORTBY_NOTSORTED), 0);
    ASSERT_NE(device->storage, nullptr);
    EXPECT_EQ(device->storage->id, SimulatedPhone::storageId);
    EXPECT_EQ(device->storage->MaxCapacity, 64ull << 30);
    EXPECT_STREQ(device->storage->StorageDescription, "Internal shared storage");
    EXPECT_EQ(device->storage->next, nullptr);
    char* name = LIBMTP_Get_Friendlyname(device);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Kestrel 5");
    std::free(name);
    uint8_t maximum = 0;
    uint8_t level = 0;
    ASSERT_EQ(LIBMTP_Get_Batterylevel(device, &maximum, &level), 0);
    EXPECT_EQ(maximum, 100);
    EXPECT_EQ(level, 87);

    const uint32_t recovery = find(LIBMTP_FILES_AND_FOLDERS_ROOT, "recovery");
    ASSERT_NE(recovery, 0u);
    struct Row {
        const char* name;
        uint64_t size;
        uint32_t parent;
        // Sent with storage id 0 and without a storage list, as mtp-sendfile does when it has
        // none: the protocol lets the phone choose.
        bool phoneChooses;
    };
    // 1012 bytes fill two packets with the header, so a zero-length packet ends them.
    const Row rows[] = {{"whole-packets.bin", 1012, recovery, false},
                        {"one-more.bin", 1013, 0, true},
                        {"sixteen.bin", (16u << 20) + 17, recovery, false}};
    LIBMTP_devicestorage_t* const storages = device->storage;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        device->storage = row.phoneChooses ? nullptr : storages;
        const uint32_t id =
            send(row.name, row.size, row.phoneChooses ? 0 : SimulatedPhone::storageId, row.parent);
        device->storage = storages;
        ASSERT_NE(id, 0u);
        if (row.phoneChooses) {
            // libmtp notes on its own that it found no storage to name (nothing was asked of the
            // phone), then sends 0.
            LIBMTP_Clear_Errorstack(device);
        }
        const auto stored = phone->storedObject(id);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->size, row.size);
        EXPECT_EQ(stored->sha256, PatternedBody::sha256Hex(row.size));
        EXPECT_EQ(stored->destinationPath,
                  std::string(row.parent == recovery ? "/recovery/" : "/") + row.name);
    }
    const auto requests = phone->requests();
    std::vector<uint32_t> storagesAsked;
    for (const auto& request : requests) {
        if (request.operationCode == operationSendObjectInfo) {
            storagesAsked.push_back(request.parameters.at(0));
        }
    }
    EXPECT_EQ(storagesAsked,
              (std::vector<uint32_t>{SimulatedPhone::storageId, 0, SimulatedPhone::storageId}));
    LIBMTP_Dump_Errorstack(device);
    EXPECT_EQ(LIBMTP_Get_Errorstack(device), nullptr);
}

TEST_F(LibmtpRefereeTest, ASendCancelledFromItsProgressIsDroppedAndTheNextOneArrives) {
    ASSERT_EQ(LIBMTP_Get_Storage(device, LIBMTP_STORAGE_SORTBY_NOTSORTED), 0);
    const uint64_t cancelAt = 1u << 20;
    EXPECT_EQ(send("cancelled.bin", 4u << 20, SimulatedPhone::storageId,
                   LIBMTP_FILES_AND_FOLDERS_ROOT, &cancelAt),
              0u);
    // The Cancel named the SendObject that ran, which never completed.
    const auto cancelled = emulated->function().cancelledTransactions();
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled[0], emulated->function().transactionIds().back());
    const auto requests = phone->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().operationCode, operationSendObjectInfo);
    LIBMTP_Clear_Errorstack(device);

    const uint64_t size = (1u << 20) + 3;
    const uint32_t id =
        send("after.bin", size, SimulatedPhone::storageId, LIBMTP_FILES_AND_FOLDERS_ROOT);
    ASSERT_NE(id, 0u);
    const auto after = phone->requests();
    EXPECT_EQ(std::count_if(
                  after.begin() + static_cast<std::ptrdiff_t>(requests.size()), after.end(),
                  [](const auto& request) { return request.operationCode == operationSendObject; }),
              1);
    EXPECT_EQ(phone->storedObject(id).value().sha256, PatternedBody::sha256Hex(size));
}

TEST_F(LibmtpRefereeTest, ReadsAnObjectOverFourMebibytes) {
    const uint32_t dcim = find(LIBMTP_FILES_AND_FOLDERS_ROOT, "DCIM");
    ASSERT_NE(dcim, 0u);
    const uint32_t clip = find(dcim, SimulatedPhone::clipName);
    ASSERT_NE(clip, 0u);
    const std::string path = directory.file("clip.mp4");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LIBMTP_Get_File_To_File_Descriptor(device, clip, fd, nullptr, nullptr), 0);
    ::close(fd);
    EXPECT_EQ(fileSha256(path), PatternedBody::sha256Hex(SimulatedPhone::clipSize));
    EXPECT_EQ(LIBMTP_Get_Errorstack(device), nullptr);
}

}  // namespace
}  // namespace kvtest
