#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "kavrin/Logger.h"

namespace kvtest {

// A kv::Logger that keeps every line with its channel, for assertions. Safe to use from several
// threads. A test can make the logging thread stop at a given line (`holdAt`) to freeze an
// operation at a known point, e.g. while it holds a lock.
class RecordingLogger : public kv::Logger {
public:
    enum class Channel { Error, Info, Verbose };

    struct Line {
        Channel channel;
        std::string message;
        bool operator==(const Line& other) const {
            return channel == other.channel && message == other.message;
        }
    };

    void error(const std::string& message) override;
    void log(const std::string& message, bool verbose) override;

    std::vector<Line> lines() const;
    std::vector<std::string> messages() const;
    std::vector<std::string> messages(Channel channel) const;
    // Whether a line with exactly this message (on any channel, or on the given one) was logged.
    bool contains(const std::string& message) const;
    bool contains(Channel channel, const std::string& message) const;
    // Whether a line that contains `fragment` was logged.
    bool containsFragment(const std::string& fragment) const;
    // The messages that contain `fragment`, in order.
    std::vector<std::string> messagesContaining(const std::string& fragment) const;
    size_t count(const std::string& message) const;
    void clear();
    // Blocks until a line with exactly this message has been logged.
    void waitUntilLogged(const std::string& message);

    // The next thread that logs exactly `message` waits inside the call until `release`.
    void holdAt(const std::string& message);
    // Blocks until a thread waits at the held line.
    void waitUntilHeld();
    void release();

private:
    void record(Channel channel, const std::string& message);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Line> lines_;
    std::string holdMessage_;
    bool holding_ = false;
    bool held_ = false;
};

}  // namespace kvtest
