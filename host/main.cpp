// kavrin: updates the software of a phone through the Kavrin library, one command per process.
// Run `kavrin --help`.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "ExitCodes.h"
#include "HostError.h"
#include "InterruptWatcher.h"

namespace {

std::string environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

int main(int argc, char** argv) {
    kvhost::InterruptWatcher::prepareProcess();
    auto console = std::make_shared<kvhost::Console>(stdout, stderr, isatty(STDERR_FILENO) != 0);
    try {
        const auto parsed = kvhost::CommandLine::parse(
            std::vector<std::string>(argv + 1, argv + argc), environmentVariable);
        if (!parsed.options) {
            console->result(parsed.help);
            return 0;
        }
        return kvhost::Commands(*parsed.options, console).run();
    } catch (const kvhost::CommandLine::UsageError& error) {
        console->line(std::string("kavrin: ") + error.what());
        return kvhost::ExitCodes::usage;
    } catch (const std::exception& error) {
        console->line(std::string("kavrin: ") + error.what());
        return kvhost::ExitCodes::hostFailure;
    }
}
