#pragma once

#include <string>
#include <vector>

#include "EndToEndFixture.h"

namespace kvtest {

// A phone that has been identified and offered one delta package by the simulated server.
class UpdateExecutionTest : public EndToEndTest {
protected:
    static constexpr uint64_t packageSize = 3'500'000;
    // The handle under which the simulated phone stores the first file it receives.
    static constexpr uint32_t firstObjectHandle = 0x00010001;

    // Opens a session, identifies the phone and finds the package; returns its update id.
    std::string offerPackage(SimulatedPackage package = SimulatedPackage::example("pkg",
                                                                                  packageSize)) {
        server->addPackage(std::move(package));
        openSession();
        identificationId = identify();
        const auto updates = search(identificationId);
        return updates && !updates->empty() ? updates->front().id : std::string();
    }

    std::string packagePath() const { return workingDirectory.file("pkg.bin"); }

    // "phase/status" of each update event the tracking server received, in order.
    std::vector<std::string> updateEvents() const {
        std::vector<std::string> events;
        for (const auto& received : server->trackingDocuments()) {
            const auto& fw = received.document["update"]["fw"];
            if (fw.isObject()) {
                events.push_back(fw["phase"].asString() + "/" + fw["status"].asString());
            }
        }
        return events;
    }

    std::vector<std::string> sessionIds() const {
        std::vector<std::string> ids;
        for (const auto& received : server->trackingDocuments()) {
            if (received.document["update"].isObject()) {
                ids.push_back(received.document["update"]["sessionId"].asString());
            }
        }
        return ids;
    }

    std::string identificationId;
};

}  // namespace kvtest
