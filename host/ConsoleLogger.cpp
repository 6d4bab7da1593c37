#include "ConsoleLogger.h"

#include <utility>

namespace kvhost {

ConsoleLogger::ConsoleLogger(std::shared_ptr<UpdateOutput> output, bool showInformation)
    : output_(std::move(output)), showInformation_(showInformation) {}

void ConsoleLogger::error(const std::string& message) {
    output_->line("  ! " + message);
}

void ConsoleLogger::log(const std::string& message, bool /*verbose*/) {
    if (showInformation_) {
        output_->line("    " + message);
    }
}

}  // namespace kvhost
