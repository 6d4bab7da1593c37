#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
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

// The most bytes of a stored document's text that one log line carries.
inline constexpr std::size_t maximumLoggedText = 2000;

// `text` when it is short; else its first `maximumLoggedText` bytes and its length.
std::string logExcerpt(const std::string& text);

// What reading a stored document (a cache file, a stored tracking document) found.
struct StoredText {
    std::optional<std::string> text;  // nothing when the file is missing or cannot be read
    // Set, with `text` empty, for a file far larger than the library writes: not worth the memory
    // it would take to parse, it is treated like an unparsable one.
    std::string tooLarge;
};

StoredText readStoredText(const std::string& path);

struct ParseResult {
    bool ok = false;
    Json::Value root;
    std::string errors;  // the reader's formatted error messages when not ok
};

// JsonCpp's lenient reader (trailing commas and text after the value are accepted). A document
// nested too deep for the reader is unparsable like any other; parsing never throws.
ParseResult parse(const std::string& text);

}  // namespace kvinternal::json
