#include "ResponseHeaders.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace kvhost {

namespace {

constexpr const char* wellKnownNames[] = {"Content-Type", "Content-Range", "Content-Length"};

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string canonicalName(const std::string& name) {
    const auto known =
        std::find_if(std::begin(wellKnownNames), std::end(wellKnownNames),
                     [&](const char* wellKnown) { return equalIgnoringCase(name, wellKnown); });
    return known == std::end(wellKnownNames) ? name : *known;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
}

bool isDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

}  // namespace

void ResponseHeaders::addLine(const std::string& line) {
    const std::string content = trimmed(line);
    if (line.rfind("HTTP/", 0) == 0) {
        // "HTTP/1.1 206 Partial Content", "HTTP/2 200"
        clear();
        const auto space = content.find(' ');
        const std::string code = space == std::string::npos ? "" : content.substr(space + 1, 3);
        status_ = isDigits(code) && code.size() == 3 ? std::stoi(code) : 0;
        return;
    }
    if (complete_ || status_ == 0) {
        return;
    }
    if (content.empty()) {
        complete_ = status_ >= 200;
        return;
    }
    addField(content);
}

void ResponseHeaders::addField(const std::string& line) {
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
        return;
    }
    const std::string name = canonicalName(trimmed(line.substr(0, colon)));
    const std::string value = trimmed(line.substr(colon + 1));
    const auto [field, added] = fields_.emplace(name, value);
    if (!added) {
        field->second += ", " + value;
    }
}

void ResponseHeaders::clear() {
    status_ = 0;
    complete_ = false;
    fields_.clear();
}

std::optional<uint64_t> ResponseHeaders::contentLength() const {
    const auto found = fields_.find("Content-Length");
    if (found == fields_.end() || !isDigits(found->second) || found->second.size() > 19) {
        return std::nullopt;
    }
    return std::stoull(found->second);
}

}  // namespace kvhost
