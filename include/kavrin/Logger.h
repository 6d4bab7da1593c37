#pragma once

#include <string>

namespace kv {

// The host's log sink. The library writes every line here and keeps no log of its own; it never
// filters, so the host decides what to show.
//
// Threads: lines arrive on the thread that runs the current operation, and `Cancel` and
// `GetProgress` may log from the host's second thread at the same time, so an implementation
// must accept concurrent calls. The library holds the logger through the shared pointer it is
// given in the session parameters and never destroys it itself.
class Logger {
public:
    virtual ~Logger() = default;
    // A failure line.
    virtual void error(const std::string& message) = 0;
    // An information line; `verbose` is set for service construction and destruction lines and
    // other detail that a host usually hides.
    virtual void log(const std::string& message, bool verbose) = 0;
};

}  // namespace kv
