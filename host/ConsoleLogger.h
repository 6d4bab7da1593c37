#pragma once

#include <memory>
#include <string>

#include "UpdateOutput.h"
#include "kavrin/Logger.h"

namespace kvhost {

// The library's log sink on kavrin's console (or on one phone's share of it): error lines always;
// information lines, the detailed ones (the library's verbose flag) included, only when asked for,
// since the library logs every request and document it handles. Any thread may log.
class ConsoleLogger : public kv::Logger {
public:
    ConsoleLogger(std::shared_ptr<UpdateOutput> output, bool showInformation);

    void error(const std::string& message) override;
    void log(const std::string& message, bool verbose) override;

private:
    const std::shared_ptr<UpdateOutput> output_;
    const bool showInformation_;
};

}  // namespace kvhost
