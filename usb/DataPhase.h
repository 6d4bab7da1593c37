#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace kvusb {

// The payload of a host-to-phone data phase, read front to back in pieces.
class DataSource {
public:
    virtual ~DataSource() = default;
    virtual uint64_t size() const = 0;
    // Fills `length` bytes; false when the data ends early or cannot be read.
    virtual bool read(uint8_t* into, std::size_t length) = 0;
};

// Where a phone-to-host data phase goes: never more than `capacity` bytes.
class DataSink {
public:
    virtual ~DataSink() = default;
    virtual uint64_t capacity() const = 0;
    virtual void write(const uint8_t* data, std::size_t length) = 0;
};

class MemorySource : public DataSource {
public:
    MemorySource(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}
    explicit MemorySource(const std::vector<uint8_t>& bytes)
        : MemorySource(bytes.data(), bytes.size()) {}

    uint64_t size() const override { return size_; }
    bool read(uint8_t* into, std::size_t length) override;

private:
    const uint8_t* data_;
    uint64_t size_;
    uint64_t offset_ = 0;
};

// A file streamed from disk; `sent` counts the bytes handed out, for progress reports from
// another thread.
class FileSource : public DataSource {
public:
    // Check `isOpen` before use.
    FileSource(const std::string& utf8Path, std::atomic<uint64_t>& sent);

    bool isOpen() const { return open_; }
    uint64_t size() const override { return size_; }
    bool read(uint8_t* into, std::size_t length) override;

private:
    std::ifstream file_;
    bool open_ = false;
    uint64_t size_ = 0;
    std::atomic<uint64_t>& sent_;
};

// Writes into a buffer the caller owns.
class BufferSink : public DataSink {
public:
    BufferSink(uint8_t* buffer, uint64_t capacity) : buffer_(buffer), capacity_(capacity) {}

    uint64_t capacity() const override { return capacity_; }
    void write(const uint8_t* data, std::size_t length) override;
    uint64_t length() const { return length_; }

private:
    uint8_t* buffer_;
    uint64_t capacity_;
    uint64_t length_ = 0;
};

// Keeps the bytes in a vector of bounded size.
class VectorSink : public DataSink {
public:
    explicit VectorSink(uint64_t capacity) : capacity_(capacity) {}

    uint64_t capacity() const override { return capacity_; }
    void write(const uint8_t* data, std::size_t length) override;
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    uint64_t capacity_;
    std::vector<uint8_t> bytes_;
};

}  // namespace kvusb
