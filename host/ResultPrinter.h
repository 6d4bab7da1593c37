#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AttachedPhone.h"
#include "Console.h"
#include "PhoneOutcome.h"
#include "kavrin/Kavrin.h"

namespace kvhost {

// Prints what a command found on standard output: text for a person, or one JSON document.
class ResultPrinter {
public:
    ResultPrinter(std::shared_ptr<Console> console, bool json);

    void identification(const std::string& identificationId) const;
    void imei(const std::string& imei) const;
    void updates(const std::vector<kv::Kavrin::UpdateMetadata>& updates) const;
    // The final result read from a legacy phone, or none for a phone that installs by itself;
    // `updateId` when the command installed one.
    void finalResult(const kv::Kavrin::FinalResult* result, const std::string& updateId) const;
    // The MTP phones attached by USB, or that there is none, and which of them `update --all`
    // updates (those kavrin can open).
    void devices(const std::vector<kvusb::AttachedPhone>& phones) const;
    // How the update of each phone of `update --all` went: a table, or one object per phone.
    void phones(const std::vector<PhoneOutcome>& outcomes) const;

private:
    const std::shared_ptr<Console> console_;
    const bool json_;
};

}  // namespace kvhost
