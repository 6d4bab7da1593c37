#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kvsoak {

// What the worker asks the driver, one message per provider call (and the reports around them).
enum class Ask : uint8_t {
    Get = 'G',
    Post = 'P',
    ReadBody = 'R',
    PhoneStep = 'M',
    PhoneStored = 'S',
    Finished = 'E'
};

// Framed values over a pair of pipe ends: numbers little-endian, texts with their length first.
// A read from a pipe the other side closed (a killed worker, a gone driver) throws
// std::runtime_error, so that neither side waits for ever.
class Wire {
public:
    Wire(int readFd, int writeFd) : readFd_(readFd), writeFd_(writeFd) {}

    void putAsk(Ask ask);
    void putNumber(uint64_t value);
    void putText(const std::string& text);
    void putTexts(const std::map<std::string, std::string>& texts);
    uint64_t number();
    std::string text();
    std::map<std::string, std::string> texts();
    // False when the other side closed the pipe before the next message began.
    bool nextAsk(Ask& ask);

private:
    void readExactly(void* into, uint64_t length);
    void writeAll(const void* from, uint64_t length);

    int readFd_;
    int writeFd_;
};

}  // namespace kvsoak
