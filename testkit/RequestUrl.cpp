#include "RequestUrl.h"

#include <cctype>
#include <cstddef>
#include <vector>

namespace kvtest {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t end = text.find(separator); end != std::string::npos;
         start = end + 1, end = text.find(separator, start)) {
        pieces.push_back(text.substr(start, end - start));
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::optional<std::string> percentDecoded(const std::string& text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        const std::string digits = text.substr(i + 1, 2);
        if (digits.size() != 2 || !std::isxdigit(static_cast<unsigned char>(digits[0])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[1]))) {
            return std::nullopt;
        }
        decoded += static_cast<char>(std::stoi(digits, nullptr, 16));
        i += 2;
    }
    return decoded;
}

}  // namespace

std::optional<RequestUrl> RequestUrl::parse(const std::string& url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos || schemeEnd == 0) {
        return std::nullopt;
    }
    const std::size_t hostStart = schemeEnd + 3;
    const std::size_t hostEnd = url.find_first_of("/?", hostStart);
    RequestUrl parsed;
    parsed.host_ = url.substr(hostStart, hostEnd - hostStart);
    if (parsed.host_.empty()) {
        return std::nullopt;
    }
    const std::string rest = hostEnd == std::string::npos ? "" : url.substr(hostEnd);
    const std::size_t queryStart = rest.find('?');
    parsed.path_ = rest.substr(0, queryStart);
    if (parsed.path_.empty()) {
        parsed.path_ = "/";
    }
    if (queryStart != std::string::npos) {
        parsed.rawQuery_ = rest.substr(queryStart + 1);
    }
    return parsed;
}

std::optional<RequestUrl::Query> RequestUrl::query() const {
    Query query;
    if (rawQuery_.empty()) {
        return query;
    }
    const std::vector<std::string> items = split(rawQuery_, '&');
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::size_t equals = items[i].find('=');
        if (equals == std::string::npos && i > 0) {
            return std::nullopt;
        }
        const auto name = percentDecoded(items[i].substr(0, equals));
        if (!name) {
            return std::nullopt;
        }
        if (equals == std::string::npos) {
            query.clientKey = *name;
            continue;
        }
        const auto value = percentDecoded(items[i].substr(equals + 1));
        if (!value || !query.parameters.emplace(*name, *value).second) {
            return std::nullopt;
        }
    }
    return query;
}

}  // namespace kvtest
