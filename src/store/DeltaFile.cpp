#include "store/DeltaFile.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>
#include <vector>

#include "common/StateFileNames.h"
#include "common/Utf.h"
#include "control/Exceptions.h"
#include "store/DeltaFileCache.h"
#include "store/PackageDigest.h"

namespace kvinternal {

namespace {

// Package bytes are hashed from disk through a buffer of this size.
constexpr uint64_t hashBufferSize = 1024 * 1024;

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

// A name that would leave the root directory, that the file system would read as something
// other than one plain name, or that is one of the library's own files, is refused.
bool isPlainFileName(const std::string& name) {
    // Windows holds names in UTF-16: malformed bytes would become U+FFFD there, so that two
    // different addresses could name one file.
    return name != "." && name != ".." && isValidUtf8(name) &&
           name.find_first_of(std::string("\\:\0", 3)) == std::string::npos &&
           !isNameWindowsCannotHold(name) && !statefiles::isStateFileName(name);
}

std::string directoryPrefix(const std::string& rootDirectory) {
    return rootDirectory.back() == '/' ? rootDirectory : rootDirectory + "/";
}

std::string elapsedWholeSeconds(std::chrono::steady_clock::duration elapsed) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    return std::to_string(nanoseconds / 1000000000);
}

}  // namespace

DeltaFile::DeltaFile(Log log, std::string path, std::string url, uint64_t fileSize,
                     std::string checksum, std::weak_ptr<DeltaFileCache> cache)
    : lifetime_(log, "delta file", Lifetime::Announce::No),
      log_(std::move(log)),
      path_(std::move(path)),
      url_(std::move(url)),
      fileSize_(fileSize),
      checksum_(std::move(checksum)),
      cache_(std::move(cache)) {}

DeltaFile::~DeltaFile() {
    lifetime_.logDestruction();
    inDestructor([this] { close(); });
}

bool DeltaFile::isPackagePathOf(const std::string& rootDirectory, const std::string& path) {
    const std::string prefix = directoryPrefix(rootDirectory);
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string name = path.substr(prefix.size());
    return !name.empty() && name.find('/') == std::string::npos && isPlainFileName(name);
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
    return directoryPrefix(rootDirectory) + fileName;
}

DeltaFile DeltaFile::create(const std::string& rootDirectory, Log log, const std::string& url,
                            uint64_t fileSize, const std::string& checksum,
                            const std::shared_ptr<DeltaFileCache>& cache) {
    DeltaFileRecord record;
    if (cache) {
        record = cache->get(url, fileSize);
        cache->offered(url);
    }
    if (record.fileSize != 0 && !record.url.empty()) {
        if (!isPackagePathOf(rootDirectory, record.fileName)) {
            log.error(
                "Delta file cache entry names a file outside the working directory, "
                "ignoring it: " +
                record.fileName);
        } else if (platform::fileSize(record.fileName) == record.downloadedSize) {
            log.info("Creating delta file from cache info");
            cache->claimPath(url, record.fileName);
            return DeltaFile(std::move(log), record.fileName, record.url, record.fileSize, checksum,
                             cache);
        }
    }
    log.info("Did not find the delta file in cache, creating a brand new.");
    auto path = fileNameFromUrl(rootDirectory, url);
    if (cache) {
        path = cache->claimPath(url, path);
    }
    return DeltaFile(std::move(log), std::move(path), url, fileSize, checksum, cache);
}

DeltaFile DeltaFile::none(Log log) {
    return DeltaFile(std::move(log), "", "", 0, "", {});
}

void DeltaFile::open() {
    if (isOpen()) {
        close();
    }
    verified_ = false;
    recordBeforeCreating();
    file_ = platform::File::open(path_, platform::File::Mode::Append);
    const auto size = file_ ? file_->size() : std::nullopt;
    if (!size) {
        file_.reset();
        throw IllegalStateException("Delta file could not be created: " + path_);
    }
    position_ = *size;
}

void DeltaFile::recordBeforeCreating() const {
    const auto cache = cache_.lock();
    // A disk that cannot take the entry cannot take the package either.
    const bool recorded = cache && cache->names(url_, path_) &&
                          platform::fileKind(path_) != platform::FileKind::Missing;
    if (cache && !recorded && !cache->addAndSave({path_, url_, fileSize_, currentSize()})) {
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
    if (!file_->write(data, static_cast<uint64_t>(count))) {
        throw IllegalStateException("Could not write data to delta file, the disk may be full: " +
                                    path_);
    }
    position_ += static_cast<uint64_t>(count);
    if (position_ > fileSize_) {
        throw IllegalStateException("Too much data written to file");
    }
}

void DeltaFile::close() {
    log_.verbose("Closing delta file");
    if (!isOpen()) {
        return;
    }
    file_->close();
    file_.reset();
    if (const auto cache = cache_.lock()) {
        cache->add({path_, url_, fileSize_, currentSize()});
    }
}

uint64_t DeltaFile::currentSize() const {
    return platform::fileSize(path_).value_or(0);
}

bool DeltaFile::isComplete() const {
    return currentSize() == fileSize_;
}

std::optional<uint64_t> DeltaFile::hashInto(Sha256Hasher& hasher) const {
    auto file = platform::File::open(path_, platform::File::Mode::Read);
    if (!file) {
        return std::nullopt;
    }
    std::vector<uint8_t> buffer(hashBufferSize);
    uint64_t hashed = 0;
    for (;;) {
        const auto got = file->read(buffer.data(), buffer.size());
        if (!got) {
            return std::nullopt;
        }
        if (*got == 0) {
            return hashed;
        }
        hasher.update(buffer.data(), *got);
        hashed += *got;
    }
}

bool DeltaFile::verifyChecksum(std::string& report, const Log& log, PackageDigest& digest) const {
    report += "\n\tfilename: " + path_;
    report += "\n\texpected file size: " + std::to_string(fileSize_);
    report += "\n\tfile size:          " + std::to_string(currentSize());
    if (checksum_.empty()) {
        report += "\n\tno checksum available from server, will not calculate";
        return true;
    }
    report += "\n\tcorrect hash:    " + checksum_;
    const std::string unreadable = "\n\tfile stream reference not valid, failing";
    if (!platform::File::open(path_, platform::File::Mode::Read)) {
        report += unreadable;
        return false;
    }
    log.info("Starting hash calculation. This may take some time...");
    const auto started = platform::steadyNow();
    if (!digest.catchUp(*this)) {
        report += unreadable;
        return false;
    }
    const auto calculated = digest.hex();
    const auto elapsed = platform::steadyNow() - started;
    report += "\n\tcalculated hash: " + calculated;
    report += "\n\tcalculation duration: " + elapsedWholeSeconds(elapsed) + " second(s)";
    return calculated == checksum_;
}

DeltaFile::Verdict DeltaFile::verifyOrRemove(std::string& report, const Log& log,
                                             PackageDigest& digest) {
    report = "Verifying checksum of delta package: ";
    if (verifyChecksum(report, log, digest)) {
        report += "\n\tchecksum verification successful";
        log.info(report);
        verified_ = true;
        return Verdict::Verified;
    }
    report += "\n\tchecksum verification failed, removing delta file";
    if (!remove()) {
        log.error("Could not remove delta file that failed its checksum: " + path_);
        return Verdict::Kept;
    }
    return Verdict::Removed;
}

void DeltaFile::discard() {
    if (isOpen()) {
        close();
    }
    verified_ = false;
    platform::deleteFile(path_);
}

bool DeltaFile::remove() {
    // Windows refuses to delete an open file; refusing here too keeps a later close from
    // recording the deleted file again.
    if (isOpen() || !platform::deleteFile(path_)) {
        return false;
    }
    verified_ = false;
    if (const auto cache = cache_.lock()) {
        cache->erase(url_);
    }
    return true;
}

}  // namespace kvinternal
