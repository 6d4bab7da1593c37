#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ProgressBar.h"

namespace kvhost {
namespace {

using Kind = kvtest::SimulatedPhone::Kind;

std::map<std::string, std::string> variables;

std::string variable(const char* name) {
    const auto found = variables.find(name);
    return found == variables.end() ? "" : found->second;
}

ParsedCommandLine parse(const std::vector<std::string>& arguments) {
    return CommandLine::parse(arguments, variable);
}

TEST(CommandLineTest, OptionsComeBeforeOrAfterTheCommandInBothForms) {
    variables = {{"HOME", "/home/someone"}};
    const auto parsed = parse({"--server=test", "install", "YAV:3", "--keep-package", "--language",
                               "sv", "--build-variant=eng", "--certificate", "live", "--sim-api",
                               "legacy", "--client-name", "lab"});
    ASSERT_TRUE(parsed.options);
    const HostOptions& options = *parsed.options;
    EXPECT_EQ(options.command, Command::Install);
    EXPECT_EQ(options.updateId, "YAV:3");
    EXPECT_EQ(options.server, ServerChoice::Test);
    EXPECT_TRUE(options.keepPackage);
    EXPECT_EQ(options.language, "sv");
    EXPECT_EQ(options.buildVariant, kv::Kavrin::BuildVariant::Eng);
    EXPECT_EQ(options.certificate, kv::Kavrin::CertificateChoice::Live);
    EXPECT_EQ(options.simulation.phoneKind, Kind::LegacyFota);
    EXPECT_EQ(options.clientName, "lab");
    EXPECT_FALSE(options.clientVersion.empty());
    EXPECT_EQ(options.workingDirectory, "/home/someone/.local/share/kavrin");
}

TEST(CommandLineTest, WorkingDirectoryDefaultsToThePerUserDataDirectory) {
    variables = {{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/someone"}};
    EXPECT_EQ(parse({"identify"}).options->workingDirectory, "/data/kavrin");
    EXPECT_EQ(parse({"identify", "--workdir", "w"}).options->workingDirectory, "w");
    variables.clear();
    EXPECT_THROW(parse({"identify"}), CommandLine::UsageError);
}

TEST(CommandLineTest, SimulationOptionsAreCheckedTogether) {
    variables = {{"HOME", "/h"}};
    const auto held = parse({"update", "--sim-fault", "hold-package-at=5000", "--sim-server-key",
                             "other", "--sim-package-size", "70000"});
    EXPECT_EQ(held.options->simulation.holdPackageAt, 5000u);
    EXPECT_TRUE(held.options->simulation.unpinnedKey);
    EXPECT_EQ(held.options->simulation.packageSize, 70000u);
    const auto dripped = parse({"download", "YAV:0", "--sim-fault", "drip-package=900",
                                "--sim-fault", "hold-package-at=10"});
    EXPECT_EQ(dripped.options->simulation.dripPackageMilliseconds, 900u);
    EXPECT_EQ(dripped.options->simulation.holdPackageAt, 10u);
    EXPECT_EQ(parse({"updates", "--sim-address", "127.0.0.1:4433"}).options->simulation.address,
              "127.0.0.1:4433");
    EXPECT_EQ(parse({"sim-server", "--sim-package-base", "https://127.0.0.1:8443/p//"})
                  .options->simulation.packageBase,
              "https://127.0.0.1:8443/p");
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"updates", "--sim-address", "127.0.0.1:0"},
          {"updates", "--sim-address", "nowhere"},
          {"update", "--sim-address", "h:1", "--sim-fault", "hold-package-at=1"},
          {"update", "--sim-address", "h:1", "--sim-package-base", "https://h"},
          {"sim-server", "--sim-package-base", "ftp://h/p"},
          {"sim-server", "--sim-package-base", "https://h/p?x=1"},
          {"sim-server", "--sim-package-base", "https://"},
          {"update", "--sim-fault", "cut-package-after=1"},
          {"update", "--sim-fault", "drip-package=0"},
          {"update", "--sim-fault", "drip-package=60001"},
          {"update", "--sim-package-size", "0"},
          {"identify", "--json=yes"}}) {
        EXPECT_THROW(parse(refused), CommandLine::UsageError) << refused.back();
    }
}

TEST(CommandLineTest, TransferLimitsDefaultAndAreBoundedWholeNumbers) {
    variables = {{"HOME", "/h"}};
    const kvhost::TransferLimits defaults;
    const auto plain = parse({"download", "YAV:0"});
    EXPECT_EQ(plain.options->transferLimits.connectTimeoutSeconds, defaults.connectTimeoutSeconds);
    EXPECT_EQ(plain.options->transferLimits.lowSpeedBytesPerSecond,
              defaults.lowSpeedBytesPerSecond);
    EXPECT_EQ(plain.options->transferLimits.lowSpeedSeconds, defaults.lowSpeedSeconds);
    EXPECT_EQ(plain.options->transferLimits.postLowSpeedSeconds, 10);
    const auto chosen =
        parse({"download", "YAV:0", "--connect-timeout", "86400", "--low-speed-limit=1",
               "--low-speed-time", "5", "--post-low-speed-time", "2"});
    EXPECT_EQ(chosen.options->transferLimits.connectTimeoutSeconds, 86400);
    EXPECT_EQ(chosen.options->transferLimits.lowSpeedBytesPerSecond, 1);
    EXPECT_EQ(chosen.options->transferLimits.lowSpeedSeconds, 5);
    EXPECT_EQ(chosen.options->transferLimits.postLowSpeedSeconds, 2);
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"updates", "--connect-timeout", "0"},
          {"updates", "--connect-timeout", "86401"},
          {"updates", "--low-speed-time", "-1"},
          {"updates", "--low-speed-time", "1s"},
          {"updates", "--post-low-speed-time", "0"},
          {"updates", "--low-speed-limit", "1000000001"},
          {"updates", "--low-speed-limit", ""},
          {"sim-server", "--low-speed-time", "5"}}) {
        EXPECT_THROW(parse(refused), CommandLine::UsageError) << refused[1] << refused.back();
    }
    const std::string help = CommandLine::help(std::nullopt);
    EXPECT_NE(help.find("(default " + std::to_string(defaults.connectTimeoutSeconds) + ")"),
              std::string::npos);
    EXPECT_NE(help.find("--low-speed-limit BYTES"), std::string::npos);
}

TEST(CommandLineTest, PhonesAreSimulatedOrUsbWithTheirOwnOptions) {
    variables = {{"HOME", "/h"}};
    EXPECT_EQ(parse({"update"}).options->phone, "sim");
    for (const char* phone : {"usb", "usb:KT0123456789", "usb:001:002"}) {
        const auto options = *parse({"update", "--phone", phone}).options;
        EXPECT_EQ(options.phone, phone);
        EXPECT_FALSE(options.detachKernelDriver);
    }
    EXPECT_TRUE(
        parse({"identify", "--phone=usb", "--detach-kernel-driver"}).options->detachKernelDriver);
    const auto devices = parse({"devices", "--json"});
    EXPECT_EQ(devices.options->command, Command::Devices);
    EXPECT_TRUE(devices.options->json);
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"update", "--phone", "mtp"},
          {"update", "--phone", "usb:"},
          {"update", "--phone", "usb", "--sim-api", "legacy"},
          {"update", "--detach-kernel-driver"},
          {"devices", "--workdir", "w"},
          {"devices", "--phone", "usb"},
          {"devices", "--sim-package-size", "100"},
          {"devices", "extra"}}) {
        EXPECT_THROW(parse(refused), CommandLine::UsageError) << refused.back();
    }
}

TEST(CommandLineTest, AllTakesTheUsbPhonesOrSeveralSimulatedOnes) {
    variables = {{"HOME", "/h"}};
    struct Case {
        std::vector<std::string> arguments;
        const char* phone;
        unsigned phones;
        unsigned models;
    };
    for (const Case& c :
         {Case{{"update", "--all"}, "usb", 4, 2},
          Case{{"update", "--all", "--phone", "usb", "--detach-kernel-driver"}, "usb", 4, 2},
          Case{{"update", "--all", "--phone", "sim", "--sim-api", "legacy"}, "sim", 4, 2},
          Case{{"update", "--sim-phones", "32", "--sim-models", "1"}, "sim", 32, 1},
          Case{{"--sim-phones=1", "update", "--phone", "sim", "--all"}, "sim", 1, 2}}) {
        const auto options = *parse(c.arguments).options;
        EXPECT_TRUE(options.all) << c.arguments.back();
        EXPECT_EQ(options.phone, c.phone) << c.arguments.back();
        EXPECT_EQ(options.simulation.phones, c.phones) << c.arguments.back();
        EXPECT_EQ(options.simulation.models, c.models) << c.arguments.back();
    }
    EXPECT_FALSE(parse({"update"}).options->all);
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"update", "--all", "--phone", "usb:KT0123456789"},
          {"update", "--sim-phones", "4", "--phone", "usb"},
          {"update", "--sim-phones", "0"},
          {"update", "--sim-phones", "33"},
          {"update", "--sim-models", "1"},
          {"update", "--all", "--sim-models", "1"},
          {"update", "--sim-phones", "2", "--sim-models", "3"},
          {"update", "--all", "--sim-api", "v3"},
          {"download", "YAV:0", "--all"},
          {"devices", "--all"}}) {
        EXPECT_THROW(parse(refused), CommandLine::UsageError) << refused[1] << refused.back();
    }
}

TEST(CommandLineTest, VersionIsPrintedWhateverElseIsGiven) {
    variables.clear();
    for (const std::vector<std::string>& line :
         {std::vector<std::string>{"--version"}, {"update", "--version"}}) {
        const auto parsed = parse(line);
        EXPECT_FALSE(parsed.options);
        EXPECT_EQ(parsed.help.rfind("kavrin 1.4.6\nKavrin library ", 0), 0u) << parsed.help;
    }
}

TEST(CommandLineTest, HelpIsForTheCommandNamed) {
    variables.clear();
    EXPECT_EQ(parse({"help", "update"}).help, CommandLine::help(Command::Update));
    EXPECT_EQ(parse({"update", "--help"}).help, CommandLine::help(Command::Update));
    EXPECT_EQ(parse({"--help"}).help.rfind("Usage: kavrin COMMAND", 0), 0u);
    EXPECT_FALSE(parse({"-h"}).options);
}

TEST(ProgressBarTest, ShowsTheFractionAsBarPercentAndMebibytes) {
    EXPECT_EQ(ProgressBar::render("download", 0.5, 8 << 20, 2 << 20),
              "download [###############---------------]  50%  4.0 of 8.0 MiB  2.0 MiB/s");
    EXPECT_EQ(ProgressBar::render("transfer", 1.5, 1 << 20, 0),
              "transfer [##############################] 100%  1.0 of 1.0 MiB");
}

}  // namespace
}  // namespace kvhost
