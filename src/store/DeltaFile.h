#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "common/Lifetime.h"
#include "common/Log.h"

namespace kvinternal {

// The local file one delta package is downloaded into, with what the server said about the
// package. Every close records the bytes on disk in the current delta file cache, so a later
// `create` for the same url and size resumes the download.
class DeltaFile {
public:
    // Resumes from the cache entry for `url` when its size matches `fileSize` and the file on
    // disk is exactly as long as recorded; otherwise a new file below `rootDirectory` named
    // after the url. Touches nothing on disk.
    static DeltaFile create(const std::string& rootDirectory, Log log, const std::string& url,
                            uint64_t fileSize, const std::string& checksum);
    // No package at all (no url, no path, size 0), for updates that are never downloaded.
    static DeltaFile none(Log log);
    // rootDirectory + "/" + the url's last path segment. Throws IllegalArgumentException for an
    // empty root or url, for a url that has no '/' at all, and for a url whose last segment
    // cannot be a plain file name inside the root on every system: "." or "..", containing '\',
    // a control character or < > : " | ? *, ending in '.' or ' ', or a Windows device name (CON,
    // PRN, AUX, NUL, COM0-9, LPT0-9, ...) with or without an extension.
    static std::string fileNameFromUrl(const std::string& rootDirectory, const std::string& url);

    DeltaFile(DeltaFile&& other) noexcept = default;
    DeltaFile& operator=(DeltaFile&& other) noexcept = default;
    DeltaFile(const DeltaFile&) = delete;
    DeltaFile& operator=(const DeltaFile&) = delete;
    ~DeltaFile();

    // Opens the file for appending; IllegalStateException when it cannot be.
    void open();
    // Appends; IllegalStateException when not open, when the write fails, or when the file
    // grows beyond fileSize (the bytes stay on disk). IllegalArgumentException for count < 0.
    void write(const uint8_t* data, int64_t count);
    // Closes the stream, if open, and records the file in the current cache.
    void close();
    uint64_t currentSize() const;
    bool isComplete() const;
    // Appends the check's lines to `report`; true when the file's SHA-256 equals the expected
    // checksum exactly, or when there is no checksum to check against.
    bool verifyChecksum(std::string& report, const Log& log) const;
    // Closes if open, then deletes the file; the cache entry stays.
    void discard();
    // Deletes the file and its cache entry; false (and nothing changed) when the file cannot be
    // deleted, which includes while it is open.
    bool remove();

    const std::string& path() const { return path_; }
    const std::string& url() const { return url_; }
    uint64_t fileSize() const { return fileSize_; }
    const std::string& checksum() const { return checksum_; }

private:
    DeltaFile(Log log, std::string path, std::string url, uint64_t fileSize, std::string checksum);

    bool isOpen() const;

    Lifetime lifetime_;
    Log log_;
    std::string path_;
    std::string url_;
    uint64_t fileSize_;
    std::unique_ptr<std::ofstream> stream_;
    std::string checksum_;
};

}  // namespace kvinternal
