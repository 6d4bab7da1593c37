#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "ExitCodes.h"
#include "SimulatedServer.h"
#include "VersionText.h"

#ifndef KAVRIN_HOST_VERSION
#define KAVRIN_HOST_VERSION "0"
#endif

namespace kvhost {

namespace {

using UsageError = CommandLine::UsageError;
using Kind = kvtest::SimulatedPhone::Kind;

constexpr unsigned bit(Command command) {
    return 1u << static_cast<unsigned>(command);
}

constexpr unsigned libraryCommands = ~(bit(Command::SimServer) | bit(Command::Devices));
constexpr unsigned everyCommand = ~0u;
// Every command but devices, which only looks at the USB bus.
constexpr unsigned serverCommands = ~bit(Command::Devices);
constexpr unsigned afterSearch =
    bit(Command::Download) | bit(Command::Transfer) | bit(Command::Install) | bit(Command::Update);

struct CommandInfo {
    Command command;
    const char* name;
    const char* argument;
    const char* summary;
    const char* description;
};

constexpr CommandInfo commands[] = {
    {Command::Identify, "identify", "", "identify the phone and print its identification id",
     "Reads the phone's identity and prints the identification id under which the working\n"
     "directory keeps it.\n"},
    {Command::Updates, "updates", "", "list the updates offered to the phone",
     "Identifies the phone and asks the update servers for updates. With --capability-file,\n"
     "asks the image-update server for the phone that a default capability file (XML)\n"
     "describes instead. Update ids (YAV:0, ZUNT:1) name updates in later commands: each\n"
     "kavrin process searches afresh and finds the same update under the same id.\n"},
    {Command::Download, "download", "ID", "download or resume the package of update ID",
     "Identifies the phone, searches again (update ids live in one process only) and\n"
     "downloads the package of update ID into the working directory, resuming from the\n"
     "bytes already there, then checks its SHA-256.\n"},
    {Command::Transfer, "transfer", "ID", "download if needed, then send the package to the phone",
     "Runs download ID (which returns at once for a complete package) and sends the package\n"
     "to the phone.\n"},
    {Command::Install, "install", "ID", "download and transfer if needed, then install update ID",
     "Runs transfer ID and tells the phone to verify and install the package; the package is\n"
     "deleted after a successful installation unless --keep-package is given. A legacy phone\n"
     "then reboots: its final result is read by `kavrin update`, in the same process.\n"},
    {Command::Result, "result", "", "read a legacy phone's final result",
     "Reads the outcome of an installation from a legacy phone that has rebooted. The library\n"
     "keeps the pending installation in its session, so a new process has none pending: use\n"
     "`kavrin update`, which reads the final result in the process that installed.\n"},
    {Command::Imei, "imei", "", "identify the phone and print its IMEI",
     "Identifies the phone and prints the IMEI the library calculates for it.\n"},
    {Command::Update, "update", "", "run a whole update with the first delta update offered",
     "Identifies the phone, searches, then downloads, transfers and installs the first delta\n"
     "update offered, and for a legacy phone reads the final result after its reboot. With\n"
     "--all, does so for every MTP phone attached by USB at once, each on a thread of its\n"
     "own, and ends with a table of how each went.\n"},
    {Command::SimServer, "sim-server", "", "run the simulated update server until Ctrl-C",
     "Starts the simulated update server on 127.0.0.1 and prints its port and the libcurl\n"
     "connect-to entries that reach it. For tests and benchmarks: other kavrin processes use\n"
     "it with --sim-address, curl with --connect-to and --cacert. On Ctrl-C it prints the\n"
     "package bytes it served.\n"},
    {Command::Devices, "devices", "", "list the MTP phones attached by USB",
     "Lists the phones attached by USB that offer MTP, with their vendor and product ids,\n"
     "manufacturer, model, serial number and the id that --phone takes, and which of them\n"
     "`kavrin update --all` updates. Says so when there is none. A phone kavrin may not\n"
     "open is listed with the reason.\n"},
};

template <typename Value>
struct Choice {
    const char* name;
    Value value;
};

constexpr Choice<ServerChoice> servers[] = {{"sim", ServerChoice::Sim},
                                            {"test", ServerChoice::Test},
                                            {"stage", ServerChoice::Stage},
                                            {"systest", ServerChoice::SysTest},
                                            {"release", ServerChoice::Release}};
constexpr Choice<kv::Kavrin::BuildVariant> buildVariants[] = {
    {"device", kv::Kavrin::BuildVariant::FromDevice},
    {"user", kv::Kavrin::BuildVariant::User},
    {"userdebug", kv::Kavrin::BuildVariant::UserDebug},
    {"eng", kv::Kavrin::BuildVariant::Eng}};
constexpr Choice<kv::Kavrin::CertificateChoice> certificates[] = {
    {"device", kv::Kavrin::CertificateChoice::FromDevice},
    {"live", kv::Kavrin::CertificateChoice::Live},
    {"test", kv::Kavrin::CertificateChoice::Test}};
constexpr Choice<Kind> phoneKinds[] = {{"v4", Kind::GotaV4},
                                       {"v3", Kind::GotaV3},
                                       {"legacy", Kind::LegacyFota},
                                       {"none", Kind::NoDeltaSupport}};
constexpr Choice<bool> serverKeys[] = {{"pinned", false}, {"other", true}};

template <typename Value, std::size_t count>
Value choose(const Choice<Value> (&choices)[count], const std::string& option,
             const std::string& text) {
    std::string accepted;
    for (const Choice<Value>& choice : choices) {
        if (text == choice.name) {
            return choice.value;
        }
        accepted += std::string(accepted.empty() ? "" : ", ") + choice.name;
    }
    throw UsageError(option + " takes one of " + accepted + ", not '" + text + "'");
}

constexpr uint64_t mostBytes = 999'999'999'999'999;
constexpr uint64_t mostSeconds = 24 * 60 * 60;
constexpr uint64_t mostBytesPerSecond = 1'000'000'000;
constexpr uint64_t mostMilliseconds = 60'000;
constexpr uint64_t mostPhones = 32;

uint64_t wholeNumber(const std::string& option, const std::string& text, const char* unit,
                     uint64_t most) {
    const bool digits =
        !text.empty() && text.size() <= 15 && std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        });
    if (!digits || std::stoull(text) == 0 || std::stoull(text) > most) {
        throw UsageError(option + " takes a number of " + unit + " from 1 to " +
                         std::to_string(most) + ", not '" + text + "'");
    }
    return std::stoull(text);
}

uint64_t byteCount(const std::string& option, const std::string& text) {
    return wholeNumber(option, text, "bytes", mostBytes);
}

long seconds(const std::string& option, const std::string& text) {
    return static_cast<long>(wholeNumber(option, text, "seconds", mostSeconds));
}

std::string nonEmpty(const std::string& option, const std::string& text) {
    if (text.empty()) {
        throw UsageError(option + " takes a value that is not empty");
    }
    return text;
}

struct FaultInfo {
    const char* prefix;
    const char* unit;
    uint64_t most;
    std::optional<uint64_t> SimulationOptions::*setting;
};

constexpr FaultInfo faults[] = {
    {"hold-package-at=", "bytes", mostBytes, &SimulationOptions::holdPackageAt},
    {"drip-package=", "milliseconds", mostMilliseconds,
     &SimulationOptions::dripPackageMilliseconds},
};

void applyFault(HostOptions& options, const std::string& text) {
    for (const FaultInfo& fault : faults) {
        const std::string prefix = fault.prefix;
        if (text.rfind(prefix, 0) == 0) {
            options.simulation.*fault.setting = wholeNumber(
                "--sim-fault " + prefix, text.substr(prefix.size()), fault.unit, fault.most);
            return;
        }
    }
    throw UsageError("--sim-fault takes hold-package-at=BYTES or drip-package=MILLISECONDS, not '" +
                     text + "'");
}

void applyAddress(HostOptions& options, const std::string& text) {
    const auto colon = text.rfind(':');
    const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    const bool valid =
        colon != 0 && !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
        std::stoul(port) > 0 && std::stoul(port) <= 65535;
    if (!valid) {
        throw UsageError("--sim-address takes HOST:PORT, not '" + text + "'");
    }
    options.simulation.address = text;
}

void applyPackageBase(HostOptions& options, const std::string& text) {
    std::string base = text;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    const auto scheme = base.find("://");
    const bool web = base.rfind("https://", 0) == 0 || base.rfind("http://", 0) == 0;
    const bool plain = std::none_of(base.begin(), base.end(), [](char c) {
        return std::isspace(static_cast<unsigned char>(c)) || c == '?' || c == '#';
    });
    if (!web || !plain || base.size() == scheme + 3) {
        throw UsageError("--sim-package-base takes an http:// or https:// URL, not '" + text + "'");
    }
    options.simulation.packageBase = base;
}

void applyPhone(HostOptions& options, const std::string& text) {
    const std::string usb = "usb:";
    if (text != "sim" && text != "usb" && (text.rfind(usb, 0) != 0 || text.size() == usb.size())) {
        throw UsageError("--phone takes sim, usb, usb:SERIAL or usb:BUS:ADDRESS, not '" + text +
                         "'");
    }
    options.phone = text;
}

struct OptionInfo {
    const char* name;
    // The value's placeholder; none for a flag.
    const char* value;
    std::string help;
    unsigned commands;
    void (*apply)(HostOptions& options, const std::string& value);
    bool testing;
};

const OptionInfo optionTable[] = {
    {"--workdir", "DIR",
     "caches and packages (default: $XDG_DATA_HOME/kavrin or\n"
     "~/.local/share/kavrin)",
     libraryCommands,
     [](HostOptions& o, const std::string& v) { o.workingDirectory = nonEmpty("--workdir", v); },
     false},
    {"--server", "NAME", "update servers: sim (default, simulated), test, stage,\nsystest, release",
     libraryCommands,
     [](HostOptions& o, const std::string& v) { o.server = choose(servers, "--server", v); },
     false},
    {"--language", "CODE", "language reported to the servers (default en)", libraryCommands,
     [](HostOptions& o, const std::string& v) { o.language = nonEmpty("--language", v); }, false},
    {"--build-variant", "NAME", "device (default: as the phone reports), user, userdebug, eng",
     libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.buildVariant = choose(buildVariants, "--build-variant", v);
     },
     false},
    {"--certificate", "NAME", "device (default: as the phone reports), live, test", libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.certificate = choose(certificates, "--certificate", v);
     },
     false},
    {"--client-name", "NAME", "client name reported to the servers (default kavrin)",
     libraryCommands,
     [](HostOptions& o, const std::string& v) { o.clientName = nonEmpty("--client-name", v); },
     false},
    {"--client-version", "TEXT", "client version reported to the servers (default: kavrin's)",
     libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.clientVersion = nonEmpty("--client-version", v);
     },
     false},
    {"--phone", "NAME",
     "the phone: sim (default, the simulated phone), usb (the only\n"
     "MTP phone attached by USB), usb:SERIAL or usb:BUS:ADDRESS",
     libraryCommands, applyPhone, false},
    {"--all", nullptr,
     "update every MTP phone attached by USB at once; with\n"
     "--phone sim, several simulated phones (--sim-phones)",
     bit(Command::Update), [](HostOptions& o, const std::string&) { o.all = true; }, false},
    {"--sim-phones", "N",
     "update N simulated phones at once (1 to " + std::to_string(mostPhones) +
         "; --all --phone sim\nupdates " + std::to_string(SimulationOptions{}.phones) + ")",
     bit(Command::Update),
     [](HostOptions& o, const std::string& v) {
         o.all = true;
         o.simulation.phones =
             static_cast<unsigned>(wholeNumber("--sim-phones", v, "phones", mostPhones));
     },
     false},
    {"--sim-models", "N",
     "the simulated phones of --all take turns in N models,\n"
     "each offered a package of its own: 1 or 2 (default 2)",
     bit(Command::Update),
     [](HostOptions& o, const std::string& v) {
         o.simulation.models = static_cast<unsigned>(
             wholeNumber("--sim-models", v, "models", std::size(SimulatedServer::models)));
     },
     false},
    {"--detach-kernel-driver", nullptr,
     "detach a kernel driver that holds the USB phone's MTP\ninterface", libraryCommands,
     [](HostOptions& o, const std::string&) { o.detachKernelDriver = true; }, false},
    {"--connect-timeout", "SECONDS",
     "give up on a server not connected within SECONDS, TLS\nhandshake included (default " +
         std::to_string(TransferLimits{}.connectTimeoutSeconds) + ")",
     libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.transferLimits.connectTimeoutSeconds = seconds("--connect-timeout", v);
     },
     false},
    {"--low-speed-limit", "BYTES",
     "a transfer under BYTES per second for --low-speed-time\nfails as a network error (default " +
         std::to_string(TransferLimits{}.lowSpeedBytesPerSecond) + ")",
     libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.transferLimits.lowSpeedBytesPerSecond = static_cast<long>(
             wholeNumber("--low-speed-limit", v, "bytes per second", mostBytesPerSecond));
     },
     false},
    {"--low-speed-time", "SECONDS",
     "how long a transfer may stay under --low-speed-limit\n(default " +
         std::to_string(TransferLimits{}.lowSpeedSeconds) + ")",
     libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.transferLimits.lowSpeedSeconds = seconds("--low-speed-time", v);
     },
     false},
    {"--post-low-speed-time", "SECONDS",
     "the same for posts of tracking events, which also give up\nconnecting after SECONDS "
     "(default " +
         std::to_string(TransferLimits{}.postLowSpeedSeconds) + ")",
     libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.transferLimits.postLowSpeedSeconds = seconds("--post-low-speed-time", v);
     },
     false},
    {"--sim-api", "API", "the simulated phone's update interface: v4 (default), v3,\nlegacy, none",
     libraryCommands,
     [](HostOptions& o, const std::string& v) {
         o.simulation.phoneKind = choose(phoneKinds, "--sim-api", v);
     },
     false},
    {"--capability-file", "FILE", "search for the phone this default capability file describes",
     bit(Command::Updates),
     [](HostOptions& o, const std::string& v) {
         o.capabilityFile = nonEmpty("--capability-file", v);
     },
     false},
    {"--keep-package", nullptr, "keep the package after a successful installation",
     bit(Command::Install) | bit(Command::Update) | bit(Command::Result),
     [](HostOptions& o, const std::string&) { o.keepPackage = true; }, false},
    {"--json", nullptr, "print the outcome as JSON on standard output",
     bit(Command::Identify) | bit(Command::Updates) | bit(Command::Result) | bit(Command::Imei) |
         bit(Command::Update) | bit(Command::Devices),
     [](HostOptions& o, const std::string&) { o.json = true; }, false},
    {"--verbose", nullptr, "show the library's information lines, not only its errors",
     serverCommands, [](HostOptions& o, const std::string&) { o.verbose = true; }, false},
    {"--sim-package-size", "BYTES", "size of the simulated package (default 134217728)",
     serverCommands,
     [](HostOptions& o, const std::string& v) {
         o.simulation.packageSize = byteCount("--sim-package-size", v);
     },
     true},
    {"--sim-server-key", "KEY",
     "pinned (default), or other: the server presents a key that\nis not the pinned one",
     serverCommands,
     [](HostOptions& o, const std::string& v) {
         o.simulation.unpinnedKey = choose(serverKeys, "--sim-server-key", v);
     },
     true},
    {"--sim-fault", "FAULT",
     "hold-package-at=BYTES: the server stops sending the\n"
     "package at BYTES until kavrin is cancelled; kavrin says so\n"
     "once part of it is stored. drip-package=MILLISECONDS: it\n"
     "sends its first answer of the package one byte every\n"
     "MILLISECONDS",
     afterSearch | bit(Command::SimServer), applyFault, true},
    {"--sim-address", "HOST:PORT", "use a simulated server started by `kavrin sim-server`",
     libraryCommands, applyAddress, true},
    {"--sim-package-base", "URL",
     "the manifest names each package at URL/ID.bin instead\n"
     "of on the simulated server: a web server that serves them",
     serverCommands, applyPackageBase, true},
};

const CommandInfo& infoOf(Command command) {
    return *std::find_if(std::begin(commands), std::end(commands),
                         [command](const CommandInfo& info) { return info.command == command; });
}

std::optional<Command> commandNamed(const std::string& name) {
    const auto found = std::find_if(std::begin(commands), std::end(commands),
                                    [&](const CommandInfo& info) { return name == info.name; });
    if (found == std::end(commands)) {
        return std::nullopt;
    }
    return found->command;
}

const OptionInfo& optionNamed(const std::string& name) {
    const auto found = std::find_if(std::begin(optionTable), std::end(optionTable),
                                    [&](const OptionInfo& info) { return name == info.name; });
    if (found == std::end(optionTable)) {
        throw UsageError("unknown option " + name + " (see kavrin --help)");
    }
    return *found;
}

std::string defaultWorkingDirectory(std::string (*environment)(const char*)) {
    const std::string dataHome = environment("XDG_DATA_HOME");
    if (!dataHome.empty()) {
        return dataHome + "/kavrin";
    }
    const std::string home = environment("HOME");
    if (home.empty()) {
        throw UsageError("neither XDG_DATA_HOME nor HOME is set: give --workdir DIR");
    }
    return home + "/.local/share/kavrin";
}

std::string optionLines(unsigned commandBits, bool testing) {
    std::string text;
    for (const OptionInfo& option : optionTable) {
        if ((option.commands & commandBits) == 0 || option.testing != testing) {
            continue;
        }
        std::string head = std::string("  ") + option.name + (option.value ? " " : "") +
                           (option.value ? option.value : "");
        std::string help = option.help;
        for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at)) {
            help.replace(at, 1, "\n" + std::string(30, ' '));
            at += 31;
        }
        // A long head gets a line of its own.
        head = head.size() < 30 ? head + std::string(30 - head.size(), ' ')
                                : head + "\n" + std::string(30, ' ');
        text += head + help + "\n";
    }
    return text;
}

// Reads the arguments left to right; options may come before or after the command.
class Reader {
public:
    explicit Reader(const std::vector<std::string>& arguments) : arguments_(arguments) {}

    void read(HostOptions& options) {
        for (index_ = 0; index_ < arguments_.size(); ++index_) {
            const std::string& argument = arguments_[index_];
            if (argument == "--help" || argument == "-h") {
                help = true;
            } else if (argument == "--version") {
                version = true;
            } else if (argument.rfind("--", 0) == 0) {
                readOption(argument, options);
            } else if (argument.size() > 1 && argument[0] == '-') {
                throw UsageError("unknown option " + argument + " (see kavrin --help)");
            } else {
                words.push_back(argument);
            }
        }
    }

    bool help = false;
    bool version = false;
    std::vector<std::string> words;
    std::vector<const OptionInfo*> given;

private:
    void readOption(const std::string& argument, HostOptions& options) {
        const auto equals = argument.find('=');
        const OptionInfo& option = optionNamed(argument.substr(0, equals));
        std::string value;
        if (equals != std::string::npos) {
            if (!option.value) {
                throw UsageError(std::string(option.name) + " takes no value");
            }
            value = argument.substr(equals + 1);
        } else if (option.value) {
            if (++index_ == arguments_.size()) {
                throw UsageError(std::string(option.name) + " needs a value: " + option.value);
            }
            value = arguments_[index_];
        }
        option.apply(options, value);
        given.push_back(&option);
    }

    const std::vector<std::string>& arguments_;
    std::size_t index_ = 0;
};

Command commandOf(const std::string& word) {
    const auto command = commandNamed(word);
    if (!command) {
        throw UsageError("unknown command '" + word + "' (see kavrin --help)");
    }
    return *command;
}

bool isGiven(const std::vector<const OptionInfo*>& given, const std::string& name) {
    return std::any_of(given.begin(), given.end(),
                       [&](const OptionInfo* option) { return option->name == name; });
}

// `update --all` takes the phones attached by USB unless the simulated ones are asked for.
void choosePhonesOfAll(HostOptions& options, const std::vector<const OptionInfo*>& given) {
    const bool simulated = isGiven(given, "--sim-phones");
    if (!isGiven(given, "--phone")) {
        options.phone = options.all && !simulated ? "usb" : options.phone;
    } else if (simulated && options.phone != "sim") {
        throw UsageError("--sim-phones applies to the simulated phone only");
    } else if (options.all && options.phone != "sim" && options.phone != "usb") {
        throw UsageError("--all updates every phone: --phone takes sim or usb with it, not '" +
                         options.phone + "'");
    }
    if (isGiven(given, "--sim-models") && !(options.all && options.phone == "sim")) {
        throw UsageError("--sim-models applies to several simulated phones (--sim-phones)");
    }
}

void checkCombination(HostOptions& options, const std::vector<const OptionInfo*>& given) {
    const std::string name = CommandLine::commandName(options.command);
    for (const OptionInfo* option : given) {
        if ((option->commands & bit(options.command)) == 0) {
            throw UsageError(std::string(option->name) + " does not apply to " + name);
        }
        if (option->testing && options.server != ServerChoice::Sim) {
            throw UsageError(std::string(option->name) + " needs --server sim");
        }
    }
    choosePhonesOfAll(options, given);
    const bool simulatedPhone = options.phone == "sim";
    for (const OptionInfo* option : given) {
        if (!simulatedPhone && std::string(option->name) == "--sim-api") {
            throw UsageError("--sim-api applies to the simulated phone only");
        }
        if (simulatedPhone && std::string(option->name) == "--detach-kernel-driver") {
            throw UsageError("--detach-kernel-driver applies to a USB phone only");
        }
    }
    const auto& simulation = options.simulation;
    if (!simulation.address.empty() &&
        (simulation.holdPackageAt || simulation.dripPackageMilliseconds || simulation.unpinnedKey ||
         !simulation.packageBase.empty())) {
        throw UsageError(
            "--sim-address uses a running server: set its faults, key and package base there");
    }
}

}  // namespace

ParsedCommandLine CommandLine::parse(const std::vector<std::string>& arguments,
                                     std::string (*environment)(const char* name)) {
    HostOptions options;
    Reader reader(arguments);
    reader.read(options);
    if (reader.version) {
        return {std::nullopt, versionText()};
    }
    auto& words = reader.words;
    const bool helpWord = !words.empty() && words.front() == "help";
    if (reader.help || helpWord) {
        const std::size_t topic = helpWord ? 1 : 0;
        return {std::nullopt,
                help(words.size() > topic ? std::optional(commandOf(words[topic])) : std::nullopt)};
    }
    if (words.empty()) {
        throw UsageError("no command given (see kavrin --help)");
    }
    options.command = commandOf(words.front());
    const CommandInfo& info = infoOf(options.command);
    const std::size_t expected = *info.argument ? 2 : 1;
    if (words.size() != expected) {
        throw UsageError(*info.argument ? commandName(options.command) + " needs one update id"
                                        : commandName(options.command) + " takes no argument");
    }
    if (*info.argument) {
        options.updateId = words[1];
    }
    checkCombination(options, reader.given);
    if (options.workingDirectory.empty() && (bit(options.command) & libraryCommands) != 0) {
        options.workingDirectory = defaultWorkingDirectory(environment);
    }
    if (options.clientVersion.empty()) {
        options.clientVersion = KAVRIN_HOST_VERSION;
    }
    return {options, {}};
}

std::string CommandLine::commandName(Command command) {
    return infoOf(command).name;
}

std::string CommandLine::help(std::optional<Command> command) {
    if (command) {
        const CommandInfo& info = infoOf(*command);
        const std::string testing = optionLines(bit(*command), true);
        return std::string("Usage: kavrin ") + info.name + (*info.argument ? " " : "") +
               info.argument + " [OPTIONS]\n\n" + info.description + "\nOptions:\n" +
               optionLines(bit(*command), false) +
               (testing.empty() ? "" : "\nTesting options (simulated server only):\n" + testing) +
               "\nExit codes:\n" + ExitCodes::table();
    }
    std::string text =
        "Usage: kavrin COMMAND [ID] [OPTIONS]\n\n"
        "Updates the software of an Android phone through the Kavrin library. Each command runs\n"
        "in one process and repeats the earlier steps it needs; the working directory keeps\n"
        "identifications and downloaded bytes between runs.\n\nCommands:\n";
    for (const CommandInfo& info : commands) {
        std::string head = std::string("  ") + info.name + " " + info.argument;
        head.resize(30, ' ');
        text += head + info.summary + "\n";
    }
    return text + "\nOptions:\n" + optionLines(everyCommand, false) +
           "  --help                      this help, or a command's (kavrin COMMAND --help)\n" +
           "  --version                   the versions of kavrin, the library and libusb\n" +
           "\nTesting options (simulated server only):\n" + optionLines(everyCommand, true) +
           "\nExit codes:\n" + ExitCodes::table();
}

}  // namespace kvhost
