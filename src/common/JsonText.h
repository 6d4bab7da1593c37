#pragma once

#include <json/json.h>

#include <optional>
#include <string>

// JSON as the library writes and reads it.
namespace kvinternal::json {

// JsonCpp's styled form: three-space indentation, members in key order, final line feed. Used
// for every file and tracking body.
std::string styled(const Json::Value& value);

// One line without a final line feed, for log lines.
std::string oneLine(const Json::Value& value);

// Indented by two spaces, for log lines of server answers.
std::string indented(const Json::Value& value);

struct ParseResult {
    bool ok = false;
    Json::Value root;
    std::string errors;  // the reader's formatted error messages when not ok
};

// JsonCpp's lenient reader (trailing commas and text after the value are accepted). A document
// nested too deep for the reader is unparsable like any other; parsing never throws.
ParseResult parse(const std::string& text);

}  // namespace kvinternal::json
