#include "Wire.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace kvsoak {

namespace {

// At most this much in one system call: Windows counts a read or write in an unsigned int.
unsigned chunk(uint64_t length) {
    return static_cast<unsigned>(std::min<uint64_t>(length, 1u << 20));
}

#ifdef _WIN32
int64_t readSome(int fd, void* into, uint64_t length) {
    return _read(fd, into, chunk(length));
}
int64_t writeSome(int fd, const void* from, uint64_t length) {
    return _write(fd, from, chunk(length));
}
#else
int64_t readSome(int fd, void* into, uint64_t length) {
    return ::read(fd, into, chunk(length));
}
int64_t writeSome(int fd, const void* from, uint64_t length) {
    return ::write(fd, from, chunk(length));
}
#endif

}  // namespace

void Wire::putAsk(Ask ask) {
    const auto byte = static_cast<uint8_t>(ask);
    writeAll(&byte, 1);
}

void Wire::putNumber(uint64_t value) {
    uint8_t bytes[8];
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(value);
        value >>= 8;
    }
    writeAll(bytes, sizeof bytes);
}

void Wire::putText(const std::string& text) {
    putNumber(text.size());
    writeAll(text.data(), text.size());
}

void Wire::putTexts(const std::map<std::string, std::string>& texts) {
    putNumber(texts.size());
    for (const auto& [key, value] : texts) {
        putText(key);
        putText(value);
    }
}

uint64_t Wire::number() {
    uint8_t bytes[8];
    readExactly(bytes, sizeof bytes);
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

std::string Wire::text() {
    std::string text(number(), '\0');
    readExactly(text.data(), text.size());
    return text;
}

std::map<std::string, std::string> Wire::texts() {
    std::map<std::string, std::string> texts;
    for (uint64_t count = number(); count > 0; --count) {
        std::string key = text();
        texts[key] = text();
    }
    return texts;
}

bool Wire::nextAsk(Ask& ask) {
    uint8_t byte = 0;
    int64_t got = 0;
    do {
        got = readSome(readFd_, &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return false;
    }
    ask = static_cast<Ask>(byte);
    return true;
}

void Wire::readExactly(void* into, uint64_t length) {
    auto* bytes = static_cast<uint8_t*>(into);
    while (length > 0) {
        const int64_t got = readSome(readFd_, bytes, length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            throw std::runtime_error("the other end of the soak pipe closed mid-message");
        }
        bytes += got;
        length -= static_cast<uint64_t>(got);
    }
}

void Wire::writeAll(const void* from, uint64_t length) {
    const auto* bytes = static_cast<const uint8_t*>(from);
    while (length > 0) {
        const int64_t put = writeSome(writeFd_, bytes, length);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            throw std::runtime_error("the other end of the soak pipe is closed");
        }
        bytes += put;
        length -= static_cast<uint64_t>(put);
    }
}

}  // namespace kvsoak
