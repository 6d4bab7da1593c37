#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/Lifetime.h"
#include "common/Log.h"
#include "common/Platform.h"
#include "store/Sha256Hasher.h"

namespace kvinternal {

class DeltaFileCache;
class PackageDigest;

// The local file one delta package is downloaded into, with what the server said about the
// package. Every close records the bytes on disk in the session's delta file cache, so a later
// `create` for the same url and size resumes the download. The file is never reached through a
// symbolic link.
class DeltaFile {
public:
    // Resumes from the cache entry for `url` when its size matches `fileSize`, its file lies
    // directly in `rootDirectory` and is exactly as long as recorded; otherwise a new file in
    // `rootDirectory` named after the url, under a name that no other url's package has. Touches
    // nothing on disk. `cache` may be null: then nothing is resumed or recorded.
    static DeltaFile create(const std::string& rootDirectory, Log log, const std::string& url,
                            uint64_t fileSize, const std::string& checksum,
                            const std::shared_ptr<DeltaFileCache>& cache);
    // No package at all (no url, no path, size 0), for updates that are never downloaded.
    static DeltaFile none(Log log);
    // rootDirectory + "/" + the url's last path segment. Throws IllegalArgumentException for an
    // empty root or url, for a url that has no '/' at all, and for a last segment that cannot be
    // a plain file name of its own inside the root on every system: "." or "..", not UTF-8,
    // containing '\',
    // a control character or < > : " | ? *, ending in '.' or ' ', a Windows device name (CON,
    // PRN, AUX, NUL, COM0-9, LPT0-9, ...) with or without an extension, or the name of one of the
    // library's own files there.
    static std::string fileNameFromUrl(const std::string& rootDirectory, const std::string& url);
    // Whether `path` names a package file directly inside `rootDirectory`, as the cache records
    // them; anything else in a cache file was not written by this working directory's library.
    static bool isPackagePathOf(const std::string& rootDirectory, const std::string& path);

    DeltaFile(DeltaFile&& other) noexcept = default;
    DeltaFile& operator=(DeltaFile&& other) noexcept = default;
    DeltaFile(const DeltaFile&) = delete;
    DeltaFile& operator=(const DeltaFile&) = delete;
    ~DeltaFile();

    // Opens the file for appending; IllegalStateException when it cannot be (a symbolic link
    // at the path included) or when the cache entry of a new file cannot be saved.
    void open();
    // Appends; IllegalStateException when not open, when the write fails, or when the file
    // grows beyond fileSize (the bytes stay on disk). IllegalArgumentException for count < 0.
    void write(const uint8_t* data, int64_t count);
    // Closes the file, if open, and records it in the cache.
    void close();
    uint64_t currentSize() const;
    bool isComplete() const;
    // Appends the check's lines to `report`; true when the SHA-256 of the file's bytes equals the
    // expected checksum exactly, or when there is no checksum to check against. `digest` holds
    // what was hashed while the bytes were written; only bytes it does not cover are read.
    bool verifyChecksum(std::string& report, const Log& log, PackageDigest& digest) const;

    // What checking the package against its checksum left on disk.
    enum class Verdict { Verified, Removed, Kept };
    // Checks the package, putting the whole report of it in `report`. A package that matches is
    // marked verified and the report logged; one that does not is removed, or, when that fails,
    // kept with an error line: it must then never count as downloaded.
    Verdict verifyOrRemove(std::string& report, const Log& log, PackageDigest& digest);
    // Feeds the file's bytes from its start to `hasher`; the number of bytes, or nothing when
    // the file could not be read to its end.
    std::optional<uint64_t> hashInto(Sha256Hasher& hasher) const;
    // Closes if open, then deletes the file; the cache entry stays.
    void discard();
    // Deletes the file and its cache entry; false (and nothing changed) when the file cannot be
    // deleted, which includes while it is open.
    bool remove();

    // Whether the bytes on disk passed `verifyOrRemove` in this session and were not opened
    // for writing since.
    bool isVerified() const { return verified_; }

    const std::string& path() const { return path_; }
    const std::string& url() const { return url_; }
    uint64_t fileSize() const { return fileSize_; }
    const std::string& checksum() const { return checksum_; }

private:
    DeltaFile(Log log, std::string path, std::string url, uint64_t fileSize, std::string checksum,
              std::weak_ptr<DeltaFileCache> cache);

    bool isOpen() const { return file_ && file_->isOpen(); }
    // Saves the cache entry of a file that no entry names yet or that is about to be created;
    // IllegalStateException when it cannot be saved.
    void recordBeforeCreating() const;

    Lifetime lifetime_;
    Log log_;
    std::string path_;
    std::string url_;
    uint64_t fileSize_;
    std::optional<platform::File> file_;
    // Bytes in the file while it is open: where the next write lands.
    uint64_t position_ = 0;
    std::string checksum_;
    std::weak_ptr<DeltaFileCache> cache_;
    bool verified_ = false;
};

}  // namespace kvinternal
