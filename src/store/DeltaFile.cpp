#include "store/DeltaFile.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>

#include "common/Platform.h"
#include "control/Exceptions.h"
#include "store/DeltaFileCache.h"
#include "store/Sha256Hasher.h"

namespace kvinternal {

namespace {

// Windows opens a device for these names, with or without an extension and blanks before it: a
// package written to "NUL" would report success and keep nothing.
bool isWindowsDeviceName(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    std::transform(base.begin(), base.end(), base.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    static const std::set<std::string> devices{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    static const std::set<std::string> portNumbers{
        "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    const bool isPort = base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0;
    return devices.count(base) != 0 || (isPort && portNumbers.count(base.substr(3)) != 0);
}

// Names that Windows cannot hold or reads as something other than a file. They are refused on
// every system, as a working directory may be copied from one system to another.
bool isNameWindowsCannotHold(const std::string& name) {
    const bool hasControlCharacter = std::any_of(
        name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    const bool endsInDotOrBlank = !name.empty() && (name.back() == '.' || name.back() == ' ');
    return hasControlCharacter || endsInDotOrBlank ||
           name.find_first_of("<>:\"|?*") != std::string::npos || isWindowsDeviceName(name);
}

// A name that would leave the root directory, or that the file system would read as something
// other than one plain name, is refused.
bool isPlainFileName(const std::string& name) {
    return name != "." && name != ".." &&
           name.find_first_of(std::string("\\:\0", 3)) == std::string::npos &&
           !isNameWindowsCannotHold(name);
}

std::string elapsedWholeSeconds(std::chrono::steady_clock::duration elapsed) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    return std::to_string(nanoseconds / 1000000000);
}

}  // namespace

DeltaFile::DeltaFile(Log log, std::string path, std::string url, uint64_t fileSize,
                     std::string checksum)
    : lifetime_(log, "delta file", Lifetime::Announce::No),
      log_(std::move(log)),
      path_(std::move(path)),
      url_(std::move(url)),
      fileSize_(fileSize),
      checksum_(std::move(checksum)) {}

DeltaFile::~DeltaFile() {
    lifetime_.logDestruction();
    close();
}

std::string DeltaFile::fileNameFromUrl(const std::string& rootDirectory, const std::string& url) {
    if (rootDirectory.empty() || url.empty()) {
        throw IllegalArgumentException("DeltaFile not created, root directory: " + rootDirectory +
                                       ". url: " + url);
    }
    const auto slash = url.rfind('/');
    const std::string fileName = slash == std::string::npos ? "" : url.substr(slash + 1);
    if (slash == std::string::npos || !isPlainFileName(fileName)) {
        throw IllegalArgumentException("Could not extract delta filename from url: " + url);
    }
    const bool endsInSlash = rootDirectory.back() == '/';
    return rootDirectory + (endsInSlash ? "" : "/") + fileName;
}

DeltaFile DeltaFile::create(const std::string& rootDirectory, Log log, const std::string& url,
                            uint64_t fileSize, const std::string& checksum) {
    DeltaFileRecord record;
    if (const auto cache = currentDeltaFileCache()) {
        record = cache->get(url, fileSize);
    }
    if (record.fileSize != 0 && !record.url.empty() &&
        platform::fileSize(record.fileName) == record.downloadedSize) {
        log.info("Creating delta file from cache info");
        return DeltaFile(std::move(log), record.fileName, record.url, record.fileSize, checksum);
    }
    log.info("Did not find the delta file in cache, creating a brand new.");
    auto path = fileNameFromUrl(rootDirectory, url);
    return DeltaFile(std::move(log), std::move(path), url, fileSize, checksum);
}

DeltaFile DeltaFile::none(Log log) {
    return DeltaFile(std::move(log), "", "", 0, "");
}

bool DeltaFile::isOpen() const {
    return stream_ && stream_->is_open();
}

void DeltaFile::open() {
    // `ate` puts the write position at the end at once, whatever the C library does when it
    // opens for appending, so the position counts the bytes already on disk.
    stream_ = std::make_unique<std::ofstream>(platform::toPath(path_),
                                              std::ios::binary | std::ios::app | std::ios::ate);
    if (!stream_->is_open()) {
        throw IllegalStateException("Delta file could not be created: " + path_);
    }
}

void DeltaFile::write(const uint8_t* data, int64_t count) {
    if (!isOpen()) {
        throw IllegalStateException("Could not write data to delta file");
    }
    if (count < 0) {
        throw IllegalArgumentException("Negative byte count for delta file: " +
                                       std::to_string(count));
    }
    stream_->write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(count));
    // A failed write reports the position -1, which counts as too much as well.
    const auto position = static_cast<uint64_t>(static_cast<int64_t>(stream_->tellp()));
    if (position > fileSize_) {
        throw IllegalStateException("Too much data written to file");
    }
}

void DeltaFile::close() {
    log_.verbose("Closing delta file");
    if (!isOpen()) {
        return;
    }
    stream_->close();
    stream_.reset();
    if (const auto cache = currentDeltaFileCache()) {
        cache->add({path_, url_, fileSize_, currentSize()});
    }
}

uint64_t DeltaFile::currentSize() const {
    return platform::fileSize(path_).value_or(0);
}

bool DeltaFile::isComplete() const {
    return currentSize() == fileSize_;
}

bool DeltaFile::verifyChecksum(std::string& report, const Log& log) const {
    report += "\n\tfilename: " + path_;
    report += "\n\texpected file size: " + std::to_string(fileSize_);
    report += "\n\tfile size:          " + std::to_string(currentSize());
    if (checksum_.empty()) {
        report += "\n\tno checksum available from server, will not calculate";
        return true;
    }
    report += "\n\tcorrect hash:    " + checksum_;
    std::ifstream stream(platform::toPath(path_), std::ios::binary);
    if (!stream) {
        report += "\n\tfile stream reference not valid, failing";
        return false;
    }
    log.info("Starting hash calculation. This may take some time...");
    const auto started = platform::steadyNow();
    const auto calculated = toHex(hashStream(stream));
    const auto elapsed = platform::steadyNow() - started;
    report += "\n\tcalculated hash: " + calculated;
    report += "\n\tcalculation duration: " + elapsedWholeSeconds(elapsed) + " second(s)";
    return calculated == checksum_;
}

void DeltaFile::discard() {
    if (isOpen()) {
        close();
    }
    platform::deleteFile(path_);
}

bool DeltaFile::remove() {
    // Windows refuses to delete an open file; refusing here too keeps a later close from
    // recording the deleted file again.
    if (isOpen() || !platform::deleteFile(path_)) {
        return false;
    }
    if (const auto cache = currentDeltaFileCache()) {
        cache->erase(url_);
    }
    return true;
}

}  // namespace kvinternal
