// Writes the seed corpus of every fuzz target into <directory>/<target>/: what the test kit's
// simulated phone answers, what its simulated update server answers, and the files that whole
// simulated sessions leave in their working directories.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FuzzHarness.h"
#include "ImeiEncryption.h"
#include "InProcessServerProvider.h"
#include "MtpDatasetWriter.h"
#include "RecordingLogger.h"
#include "SimulatedPhone.h"
#include "SimulatedUpdateServer.h"
#include "TempDirectory.h"
#include "common/Platform.h"
#include "kavrin/Kavrin.h"
#include "mtp/MtpService.h"

namespace {

using kvtest::Endpoint;
using kvtest::SimulatedPhone;
using Kind = SimulatedPhone::Kind;

class SeedWriter {
public:
    explicit SeedWriter(std::filesystem::path root) : root_(std::move(root)) {}

    void add(const std::string& target, const std::string& bytes) {
        const auto folder = root_ / target;
        std::filesystem::create_directories(folder);
        const auto count = std::distance(std::filesystem::directory_iterator(folder),
                                         std::filesystem::directory_iterator());
        std::ofstream(folder / ("seed-" + std::to_string(count)), std::ios::binary) << bytes;
    }

    void add(const std::string& target, const std::vector<uint8_t>& bytes) {
        add(target, std::string(bytes.begin(), bytes.end()));
    }

    void add(const std::string& target, uint8_t first, const std::vector<uint8_t>& rest) {
        add(target,
            std::string(1, static_cast<char>(first)) + std::string(rest.begin(), rest.end()));
    }

    void addFile(const std::string& target, const std::filesystem::path& path) {
        if (const auto content = kvinternal::platform::readFile(path.string())) {
            add(target, *content);
        }
    }

private:
    std::filesystem::path root_;
};

// The phone's answer to one operation, encoded as the MTP targets read their input.
std::vector<uint8_t> phoneAnswer(SimulatedPhone& phone, uint16_t operationCode,
                                 std::optional<uint32_t> parameter = std::nullopt) {
    auto request = std::make_shared<kv::MtpProvider::MtpRequest>();
    request->operationCode = operationCode;
    if (parameter) {
        request->numberOfParameters = 1;
        request->parameters[0] = *parameter;
    }
    auto response = kvinternal::MtpService::createResponse(true);
    phone.execute(SimulatedPhone::defaultDeviceId, kvinternal::MtpService::responseBufferSize,
                  request, response);
    return kvfuzz::encodeMtpAnswer(*response);
}

void addPhoneSeeds(SeedWriter& seeds) {
    using kvtest::MtpDatasetWriter;
    seeds.add("mtp_readers", 0, MtpDatasetWriter().mtpString(u"K-9").bytes());
    seeds.add("mtp_readers", 1, MtpDatasetWriter().longString(u"Update done").bytes());
    seeds.add("mtp_readers", 2, MtpDatasetWriter().array({0x1001, 0x9170, 0x9171}).bytes());
    for (const Kind kind : {Kind::GotaV4, Kind::GotaV3, Kind::LegacyFota, Kind::NoDeltaSupport}) {
        seeds.add("device_info", SimulatedPhone(kind).deviceInfoDataset());
    }

    SimulatedPhone phone(Kind::LegacyFota);
    for (const uint32_t property : {0xD035u, 0xD044u, 0xD04Cu}) {
        seeds.add("identifier_value", phoneAnswer(phone, 0x9187, property));
    }
    for (const auto& status : {SimulatedPhone::FotaStatus::withReport(0, "Update installed"),
                               SimulatedPhone::FotaStatus::withReport(7, "Verification failed"),
                               SimulatedPhone::FotaStatus{0x2005, std::nullopt, {}}}) {
        phone.setFotaStatus(status);
        seeds.add("fota_status", phoneAnswer(phone, 0x9171));
    }
    phone.answerWithResponseCode(0x9187, 0x2005);
    seeds.add("identifier_value", phoneAnswer(phone, 0x9187, 0xD035));

    const std::string imei = SimulatedPhone::defaultImei;
    seeds.add("imei", kvtest::encryptImei(imei.substr(0, 14)));
    seeds.add("imei", imei);
    seeds.add("imei", " " + imei.substr(0, 14) + "\t");
}

std::string bodyOf(const kvtest::ServerAnswer& answer) {
    std::string body(answer.body.size, '\0');
    if (!body.empty()) {
        answer.body.copy(0, reinterpret_cast<uint8_t*>(body.data()), body.size());
    }
    return body;
}

// One whole session up to the download, with a tracking endpoint that refuses every event, so
// that the working directory ends with every cache and stored tracking documents.
void runSession(Kind kind, const std::shared_ptr<kvtest::SimulatedUpdateServer>& server,
                const std::string& directory) {
    server->injectFault(Endpoint::Tracking, kvtest::ServerFault::withStatus(403),
                        kvtest::SimulatedUpdateServer::forever);
    kv::Kavrin::SessionParameters parameters;
    parameters.logger = std::make_shared<kvtest::RecordingLogger>();
    parameters.httpProvider = std::make_shared<kvtest::InProcessServerProvider>(server);
    parameters.mtpProvider = std::make_shared<SimulatedPhone>(kind);
    parameters.deviceId = SimulatedPhone::defaultDeviceId;
    parameters.workingDirectory = directory;
    parameters.language = "en";
    parameters.clientName = "fuzz-seeds";
    parameters.clientVersion = "1.0";
    const auto kavrin = CreateKavrin();
    kavrin->CreateSession(parameters);
    std::shared_ptr<std::string> id;
    std::shared_ptr<std::vector<kv::Kavrin::UpdateMetadata>> updates;
    if (kavrin->IdentifyDevice(id) == kv::Kavrin::Result::Ok &&
        kavrin->GetUpdates(*id, updates) == kv::Kavrin::Result::Ok && !updates->empty()) {
        kavrin->DownloadDeltaUpdate(updates->front().id);
    }
    kavrin->DestroySession();
}

void addWorkingDirectorySeeds(SeedWriter& seeds, const std::filesystem::path& directory) {
    seeds.addFile("delta_file_cache", directory / "deltafiles.cache");
    seeds.addFile("identifier_cache", directory / "identifiers.cache");
    seeds.addFile("session_id_cache", directory / "updatesessionids.cache");
    for (const auto& entry : std::filesystem::directory_iterator(directory / "tracking")) {
        seeds.addFile("tracking_file", entry.path());
    }
}

void addServerSeeds(SeedWriter& seeds) {
    // Stored an hour before the fuzz clock, so that the resend pass sends them.
    const kvinternal::platform::ScopedHooks hooks(
        kvinternal::platform::Hooks().withSleep([](uint64_t) {}).withWallClock([] {
            return kvfuzz::fuzzClockMilliseconds - 3'600'000;
        }));
    const auto server = std::make_shared<kvtest::SimulatedUpdateServer>();
    server->addPackage(kvtest::SimulatedPackage::example("pkg", kvfuzz::resumedPackageSize));
    server->setImageUpdates({"secure",
                             "ce-1",
                             {{"23.1.0.0.0", "R2A", "https://notes.kavrin.example/image", {{}}},
                              {"19.3.0.0.0", "R1A", "", {{"cable", "image", "cleanReinstall"}}}}});
    for (const Kind kind : {Kind::GotaV4, Kind::LegacyFota}) {
        const kvtest::TempDirectory directory;
        runSession(kind, server, directory.path());
        addWorkingDirectorySeeds(seeds, directory.path());
    }
    for (const auto& served : server->requests(Endpoint::Updates)) {
        const uint8_t protocol4 = served.protocol == kvtest::Protocol::V4 ? 1 : 0;
        const std::string body = bodyOf(server->answer(served.request));
        seeds.add("update_manifest", protocol4, std::vector<uint8_t>(body.begin(), body.end()));
    }
    for (const auto& served : server->requests(Endpoint::ImageUpdates)) {
        seeds.add("image_xml", bodyOf(server->answer(served.request)));
    }
    const auto resumed = server->answer({kvtest::RecordedHttpRequest::Method::Get,
                                         kvtest::SimulatedUpdateServer::packageUrl("pkg"),
                                         {{"Range", "bytes=1000-4999"}},
                                         {},
                                         {}});
    seeds.add("content_range", resumed.headers.at("Content-Range"));
    seeds.add("capability_file",
              "<devices><device><identification><model>K-9</model><typeID>PM-1001</typeID>"
              "</identification><software><vxecboot><productnumber>1309-2</productnumber>"
              "<productrevision>R3</productrevision></vxecboot><app><productnumber>1309-1"
              "</productnumber><productrevision>5.0.1</productrevision></app><cdf>"
              "<productnumber>1309-3</productnumber><productrevision>R1A</productrevision></cdf>"
              "</software><systemserialnumbers><IMEI>49015420323751</IMEI><EIMEI>" +
                  kvtest::encryptImei("49015420323751") +
                  "</EIMEI></systemserialnumbers><securitystate>unknown</securitystate></device>"
                  "</devices>");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: kavrin_fuzz_seeds DIRECTORY\n";
        return 64;
    }
    SeedWriter seeds(argv[1]);
    addPhoneSeeds(seeds);
    addServerSeeds(seeds);
    return 0;
}
