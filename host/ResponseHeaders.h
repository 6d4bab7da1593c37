#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace kvhost {

// The header block of one HTTP response, taken line by line as libcurl hands it over: the status
// and the fields. Field names stay as the server sent them (HTTP/1.1 names are case-insensitive
// on the wire), except the well-known ones that the library looks up by exact spelling,
// "Content-Type", "Content-Range" and "Content-Length", which take that spelling whatever case
// they arrived in. A field sent twice keeps both values, joined by ", ".
class ResponseHeaders {
public:
    // One line as received, line end included. A status line starts the block afresh (so an
    // interim 1xx response is forgotten); the empty line after a final status completes it.
    // Lines after completion (trailers) are ignored.
    void addLine(const std::string& line);
    void clear();

    bool complete() const { return complete_; }
    int32_t status() const { return status_; }
    const std::map<std::string, std::string>& fields() const { return fields_; }
    // The announced body length, when the server sent a valid one.
    std::optional<uint64_t> contentLength() const;

private:
    void addField(const std::string& line);

    int32_t status_ = 0;
    bool complete_ = false;
    std::map<std::string, std::string> fields_;
};

}  // namespace kvhost
