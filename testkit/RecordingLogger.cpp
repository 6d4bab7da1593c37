#include "RecordingLogger.h"

#include <algorithm>

namespace kvtest {

void RecordingLogger::error(const std::string& message) {
    record(Channel::Error, message);
}

void RecordingLogger::log(const std::string& message, bool verbose) {
    record(verbose ? Channel::Verbose : Channel::Info, message);
}

void RecordingLogger::record(Channel channel, const std::string& message) {
    std::unique_lock<std::mutex> lock(mutex_);
    lines_.push_back({channel, message});
    changed_.notify_all();
    if (holding_ && message == holdMessage_) {
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_; });
    }
}

std::vector<RecordingLogger::Line> RecordingLogger::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> RecordingLogger::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : lines_) {
        out.push_back(line.message);
    }
    return out;
}

std::vector<std::string> RecordingLogger::messages(Channel channel) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : lines_) {
        if (line.channel == channel) {
            out.push_back(line.message);
        }
    }
    return out;
}

bool RecordingLogger::contains(const std::string& message) const {
    return count(message) > 0;
}

bool RecordingLogger::contains(Channel channel, const std::string& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), Line{channel, message}) != lines_.end();
}

bool RecordingLogger::containsFragment(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
        return line.message.find(fragment) != std::string::npos;
    });
}

std::vector<std::string> RecordingLogger::messagesContaining(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const Line& line : lines_) {
        if (line.message.find(fragment) != std::string::npos) {
            found.push_back(line.message);
        }
    }
    return found;
}

size_t RecordingLogger::count(const std::string& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const Line& line) { return line.message == message; }));
}

void RecordingLogger::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

void RecordingLogger::waitUntilLogged(const std::string& message) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const Line& line) { return line.message == message; });
    });
}

void RecordingLogger::holdAt(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdMessage_ = message;
    holding_ = true;
    held_ = false;
}

void RecordingLogger::waitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
}

void RecordingLogger::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
    changed_.notify_all();
}

}  // namespace kvtest
