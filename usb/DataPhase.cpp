#include "DataPhase.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace kvusb {

bool MemorySource::read(uint8_t* into, std::size_t length) {
    if (length > size_ - offset_) {
        return false;
    }
    std::copy_n(data_ + offset_, length, into);
    offset_ += length;
    return true;
}

FileSource::FileSource(const std::string& utf8Path, std::atomic<uint64_t>& sent) : sent_(sent) {
    const auto path = std::filesystem::u8path(utf8Path);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || !std::filesystem::is_regular_file(path, error)) {
        return;
    }
    file_.open(path, std::ios::binary);
    open_ = file_.is_open();
    size_ = size;
}

bool FileSource::read(uint8_t* into, std::size_t length) {
    if (!file_.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(length))) {
        return false;  // the file shrank or cannot be read
    }
    sent_ += length;
    return true;
}

void BufferSink::write(const uint8_t* data, std::size_t length) {
    if (length > capacity_ - length_) {
        throw std::length_error("a data phase does not fit its buffer");
    }
    std::copy_n(data, length, buffer_ + length_);
    length_ += length;
}

void VectorSink::write(const uint8_t* data, std::size_t length) {
    if (length > capacity_ - bytes_.size()) {
        throw std::length_error("a data phase does not fit its buffer");
    }
    bytes_.insert(bytes_.end(), data, data + length);
}

}  // namespace kvusb
