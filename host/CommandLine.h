#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "SimulatedPhone.h"
#include "TransferLimits.h"
#include "kavrin/Kavrin.h"

namespace kvhost {

enum class Command {
    Identify,
    Updates,
    Download,
    Transfer,
    Install,
    Result,
    Imei,
    Update,
    SimServer,
    Devices
};

// Where the update servers are: the simulated one in this process, or a deployment.
enum class ServerChoice { Sim, Test, Stage, SysTest, Release };

// Settings of the simulated phone and server, some of them for tests only.
struct SimulationOptions {
    kvtest::SimulatedPhone::Kind phoneKind = kvtest::SimulatedPhone::Kind::GotaV4;
    // The simulated phones that `update --all` updates, and how many models they take turns in.
    unsigned phones = 4;
    unsigned models = 2;
    uint64_t packageSize = 128ull << 20;
    // The server stops sending the package at this byte until the process is cancelled.
    std::optional<uint64_t> holdPackageAt;
    // The server sends the first answer of the package one byte every this many milliseconds.
    std::optional<uint64_t> dripPackageMilliseconds;
    // The server presents a key that is not the pinned one.
    bool unpinnedKey = false;
    // "HOST:PORT" of a simulated server already running (`kavrin sim-server`).
    std::string address;
    // The manifest names each package at this base URL + "/" + id + ".bin" (a web server that
    // serves them) instead of on the simulated server; empty for the latter.
    std::string packageBase;
};

struct HostOptions {
    Command command = Command::Update;
    // The command's argument: the update id of download, transfer and install.
    std::string updateId;
    std::string capabilityFile;
    bool keepPackage = false;
    std::string workingDirectory;
    ServerChoice server = ServerChoice::Sim;
    std::string language = "en";
    kv::Kavrin::BuildVariant buildVariant = kv::Kavrin::BuildVariant::FromDevice;
    kv::Kavrin::CertificateChoice certificate = kv::Kavrin::CertificateChoice::FromDevice;
    std::string clientName = "kavrin";
    std::string clientVersion;
    bool verbose = false;
    bool json = false;
    TransferLimits transferLimits;
    // "sim", "usb" (the only MTP phone attached), "usb:SERIAL" or "usb:BUS:ADDRESS".
    std::string phone = "sim";
    // `update --all`: every phone attached by USB (phone "usb"), or several simulated ones.
    bool all = false;
    // Detach a kernel driver that holds the phone's MTP interface.
    bool detachKernelDriver = false;
    SimulationOptions simulation;
};

// What the command line asks for: a command to run, or a text to print (help, version).
struct ParsedCommandLine {
    std::optional<HostOptions> options;
    std::string help;
};

// kavrin's command line: `kavrin COMMAND [ARGUMENT] [OPTIONS]`, options also before the command,
// as `--name value` or `--name=value`.
class CommandLine {
public:
    // A command line that cannot be run; its text is the one-line reason.
    class UsageError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Throws UsageError. `environment` looks up a variable (for the default working directory).
    static ParsedCommandLine parse(const std::vector<std::string>& arguments,
                                   std::string (*environment)(const char* name));

    // The help of one command, or of kavrin as a whole.
    static std::string help(std::optional<Command> command);
    static std::string commandName(Command command);
};

}  // namespace kvhost
