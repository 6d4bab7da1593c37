// kavrin_soak: many whole updates one after another on one working directory, each in a worker
// process and through faults drawn from a seed (see tests/soak/run).
//
//   kavrin_soak [--updates N] [--seed S] [--workdir DIR]
//   kavrin_soak --worker ARGUMENTS...   (started by the driver, one update)

#include <chrono>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Soak.h"
#include "Worker.h"
#include "WorkerPlan.h"

namespace {

constexpr int usageError = 64;

kvsoak::SoakOptions parseOptions(const std::vector<std::string>& arguments,
                                 const std::string& program) {
    kvsoak::SoakOptions options;
    options.program = program;
    options.seed = static_cast<uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count() % 1000000007);
    for (std::size_t i = 0; i + 1 < arguments.size(); i += 2) {
        const std::string& value = arguments[i + 1];
        if (arguments[i] == "--updates") {
            options.updates = std::stoull(value);
        } else if (arguments[i] == "--seed") {
            options.seed = std::stoull(value);
        } else if (arguments[i] == "--workdir") {
            options.workingDirectory = value;
        } else {
            throw std::invalid_argument("unknown option " + arguments[i]);
        }
    }
    if (arguments.size() % 2 != 0) {
        throw std::invalid_argument("option " + arguments.back() + " needs a value");
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        if (!arguments.empty() && arguments.front() == "--worker") {
            return kvsoak::runWorker(
                kvsoak::WorkerPlan::parse({arguments.begin() + 1, arguments.end()}));
        }
        return kvsoak::runSoak(
            parseOptions(arguments, std::filesystem::absolute(argv[0]).string()));
    } catch (const std::invalid_argument& error) {
        std::cerr << "kavrin_soak: " << error.what()
                  << "\nusage: kavrin_soak [--updates N] [--seed S] [--workdir DIR]\n";
        return usageError;
    } catch (const std::exception& error) {
        std::cerr << "kavrin_soak: " << error.what() << '\n';
        return 1;
    }
}
