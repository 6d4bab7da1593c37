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

// `logExcerpt` of the one-line form of `value`, without ever holding more of that form than the
// excerpt: a large document is written once, not copied whole into a log line first.
std::string oneLineExcerpt(const Json::Value& value);

// The most JSON values (counted as the separators and brackets between them) a stored document
// may hold: far more than the largest file the library writes, the identifier cache of 1,000
// collections of about 30 identifiers each, and few enough that parsing one costs a bounded
// amount of memory, as a document costs many times its text once parsed.
inline constexpr std::size_t maximumStoredValues = 150000;

// What reading a stored document (a cache file, a stored tracking document) found.
struct StoredText {
    std::optional<std::string> text;  // nothing when the file is missing or cannot be read
    // Set, with `text` empty, for a file that is not worth the memory it would take to parse
    // (larger, or of more values, than the library writes) or that is no regular file (a link, a
    // pipe): it is treated like an unparsable one.
    std::string refusal;
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
