#include "ResultPrinter.h"

#include <json/json.h>

#include <algorithm>
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

// One document listing `documentOf` each item.
template <typename Item, typename DocumentOf>
std::string listDocument(const std::vector<Item>& items, DocumentOf documentOf) {
    Json::Value list = Json::arrayValue;
    for (const Item& item : items) {
        list.append(documentOf(item));
    }
    return document(list);
}

// A legacy phone's final result, or null.
Json::Value finalResultDocument(const kv::Kavrin::FinalResult* result) {
    Json::Value value;
    if (result) {
        value["success"] = result->success;
        value["resultCode"] = result->resultCode;
    }
    return value;
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
    value["updatedByAll"] = phone.problem.empty();
    return value;
}

// Which phones `update --all` updates, for a person.
std::string updatedByAll(const std::vector<kvusb::AttachedPhone>& phones) {
    std::string ids;
    std::size_t count = 0;
    for (const kvusb::AttachedPhone& phone : phones) {
        if (phone.problem.empty()) {
            ids += (count++ == 0 ? "" : ", ") + phone.id;
        }
    }
    if (count == phones.size()) {
        return "kavrin update --all updates all of them\n";
    }
    return "kavrin update --all updates " + std::to_string(count) + " of them" +
           (count == 0 ? "" : " (" + ids + ")") + ": it cannot open the others\n";
}

Json::Value outcomeDocument(const PhoneOutcome& outcome) {
    Json::Value value;
    value["id"] = outcome.deviceId;
    value["serial"] = outcome.serial;
    value["model"] = outcome.model;
    value["versionBefore"] = outcome.versionBefore;
    value["updateId"] = outcome.record.update.id;
    value["versionOffered"] = outcome.record.update.version;
    value["result"] = outcome.result();
    value["exitCode"] = outcome.exitCode();
    value["failedStep"] = outcome.failedStep;
    value["reason"] = outcome.reason();
    value["seconds"] = outcome.seconds;
    const auto& finalResult = outcome.record.finalResult;
    value["finalResult"] = finalResultDocument(finalResult ? &*finalResult : nullptr);
    return value;
}

// The cells of one row of the table of `update --all`.
std::vector<std::string> outcomeCells(const PhoneOutcome& outcome) {
    const auto shown = [](const std::string& text) { return text.empty() ? "-" : text; };
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", outcome.seconds);
    return {outcome.serial,
            shown(outcome.model),
            shown(outcome.versionBefore),
            shown(outcome.record.update.version),
            outcome.summary(),
            seconds};
}

// Columns as wide as their widest cell, two blanks apart; no blanks end a line.
std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column] + std::string(widths[column] - row[column].size() + 2, ' ');
        }
        text += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return text;
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
        console_->result(listDocument(updates, updateDocument));
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
        value["finalResult"] = finalResultDocument(result);
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
        console_->result(listDocument(phones, phoneDocument));
        return;
    }
    std::string text = phones.empty() ? "No MTP phone is attached by USB.\n" : "";
    for (const auto& phone : phones) {
        text += phoneLine(phone);
    }
    console_->result(text + (phones.empty() ? "" : updatedByAll(phones)));
}

void ResultPrinter::phones(const std::vector<PhoneOutcome>& outcomes) const {
    if (json_) {
        console_->result(listDocument(outcomes, outcomeDocument));
        return;
    }
    std::vector<std::vector<std::string>> rows{
        {"Serial", "Model", "Version before", "Version offered", "Result", "Time"}};
    for (const auto& outcome : outcomes) {
        rows.push_back(outcomeCells(outcome));
    }
    console_->result(table(rows));
}

}  // namespace kvhost
