#include "ConsoleLogger.h"

#include <utility>

namespace kvhost {

ConsoleLogger::ConsoleLogger(std::shared_ptr<Console> console, bool showInformation)
    : console_(std::move(console)), showInformation_(showInformation) {}

void ConsoleLogger::error(const std::string& message) {
    console_->line("  ! " + message);
}

void ConsoleLogger::log(const std::string& message, bool /*verbose*/) {
    if (showInformation_) {
        console_->line("    " + message);
    }
}

}  // namespace kvhost
