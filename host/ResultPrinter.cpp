#include "ResultPrinter.h"

#include <json/json.h>

#include <cstdio>
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

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

Json::Value phoneDocument(const kvusb::AttachedPhone& phone) {
    Json::Value value;
    value["id"] = phone.id;
    value["location"] = phone.location;
    value["vendorId"] = hex4(phone.vendorId);
    value["productId"] = hex4(phone.productId);
    value["manufacturer"] = phone.manufacturer;
    value["model"] = phone.model;
    value["serial"] = phone.serial;
    value["problem"] = phone.problem;
    return value;
}

std::string phoneLine(const kvusb::AttachedPhone& phone) {
    std::string line = phone.id + "  " + hex4(phone.vendorId) + ":" + hex4(phone.productId);
    for (const std::string* name : {&phone.manufacturer, &phone.model}) {
        line += name->empty() ? "" : "  " + *name;
    }
    line += phone.serial.empty() ? "" : "  serial " + phone.serial;
    line += phone.id == phone.location ? "" : "  at " + phone.location;
    return line + "\n" + (phone.problem.empty() ? "" : "    " + phone.problem + "\n");
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

void ResultPrinter::devices(const std::vector<kvusb::AttachedPhone>& phones) const {
    if (json_) {
        Json::Value list = Json::arrayValue;
        for (const auto& phone : phones) {
            list.append(phoneDocument(phone));
        }
        console_->result(document(list));
        return;
    }
    std::string text = phones.empty() ? "No MTP phone is attached by USB.\n" : "";
    for (const auto& phone : phones) {
        text += phoneLine(phone);
    }
    console_->result(text);
}

}  // namespace kvhost
