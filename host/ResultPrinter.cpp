#include "ResultPrinter.h"

#include <json/json.h>

#include <utility>

namespace kvhost {

namespace {

std::string kindOf(int32_t type) {
    switch (type) {
        case 0:
            return "delta update (legacy phone)";
        case 1:
            return "image update";
        case 2:
            return "delta update";
        default:
            return "update of type " + std::to_string(type);
    }
}

std::string document(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, value) + "\n";
}

Json::Value updateDocument(const kv::Kavrin::UpdateMetadata& update) {
    Json::Value value;
    value["id"] = update.id;
    value["type"] = update.type;
    value["updateOptions"] = Json::arrayValue;
    for (const int32_t option : update.updateOptions) {
        value["updateOptions"].append(option);
    }
    value["requiredSpace"] = Json::UInt64{update.requiredSpace};
    value["releaseNotesUrl"] = update.releaseNotesUrl;
    value["size"] = Json::UInt64{update.size};
    value["version"] = update.version;
    value["name"] = update.name;
    value["ceParam"] = update.ceParam;
    value["securityStateType"] = update.securityStateType;
    value["lowMemoryWarning"] = Json::UInt64{update.lowMemoryWarning};
    value["reservedBytesForUpdate"] = Json::UInt64{update.reservedBytesForUpdate};
    value["reservedBytesForRepartitioning"] = Json::UInt64{update.reservedBytesForRepartitioning};
    value["minUAWorkSize"] = Json::UInt64{update.minUAWorkSize};
    value["minBatteryLevel"] = update.minBatteryLevel;
    value["installationDuration"] = Json::Int64{update.installationDuration};
    return value;
}

}  // namespace

ResultPrinter::ResultPrinter(std::shared_ptr<Console> console, bool json)
    : console_(std::move(console)), json_(json) {}

void ResultPrinter::identification(const std::string& identificationId) const {
    Json::Value value;
    value["identificationId"] = identificationId;
    console_->result(json_ ? document(value) : "Identification id: " + identificationId + "\n");
}

void ResultPrinter::imei(const std::string& imei) const {
    Json::Value value;
    value["imei"] = imei;
    console_->result(json_ ? document(value) : "IMEI: " + imei + "\n");
}

void ResultPrinter::updates(const std::vector<kv::Kavrin::UpdateMetadata>& updates) const {
    if (json_) {
        Json::Value list = Json::arrayValue;
        for (const auto& update : updates) {
            list.append(updateDocument(update));
        }
        console_->result(document(list));
        return;
    }
    std::string text = updates.empty() ? "No updates offered.\n" : "";
    for (const auto& update : updates) {
        text += update.id + "  " + kindOf(update.type) + "  " + update.name + " " + update.version +
                "  " + std::to_string(update.size) + " bytes\n";
    }
    console_->result(text);
}

void ResultPrinter::finalResult(const kv::Kavrin::FinalResult* result,
                                const std::string& updateId) const {
    if (json_) {
        Json::Value value;
        if (!updateId.empty()) {
            value["updateId"] = updateId;
        }
        value["finalResult"] = Json::nullValue;
        if (result) {
            value["finalResult"]["success"] = result->success;
            value["finalResult"]["resultCode"] = result->resultCode;
        }
        console_->result(document(value));
    } else if (result) {
        console_->result(std::string("Final result: ") + (result->success ? "success" : "failure") +
                         " (result code " + std::to_string(result->resultCode) + ")\n");
    } else {
        console_->result("Final result: the phone installs " + updateId +
                         " by itself and reports no final result to the host\n");
    }
}

}  // namespace kvhost
