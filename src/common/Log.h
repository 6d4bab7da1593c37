#pragma once

#include <memory>
#include <string>

#include "kavrin/Logger.h"

namespace kvinternal {

// The library's view of the host's log sink: three channels and no filtering. A default-built
// Log (no sink) drops every line, for objects that may exist before a session has a logger.
class Log {
public:
    Log() = default;
    explicit Log(std::shared_ptr<kv::Logger> sink) : sink_(std::move(sink)) {}

    void info(const std::string& message) const;
    void verbose(const std::string& message) const;
    void error(const std::string& message) const;

    // For the lines written where nothing may be thrown: at the boundary towards the host and in
    // destructors. A line the sink throws on is dropped there.
    void infoNoThrow(const std::string& message) const noexcept;
    void verboseNoThrow(const std::string& message) const noexcept;
    void errorNoThrow(const std::string& message) const noexcept;

    bool hasSink() const { return sink_ != nullptr; }
    const std::shared_ptr<kv::Logger>& sink() const { return sink_; }

private:
    std::shared_ptr<kv::Logger> sink_;
};

}  // namespace kvinternal
