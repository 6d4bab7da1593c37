#pragma once

#include <map>
#include <optional>
#include <string>

namespace kvtest {

// A request address taken apart as a server sees it: "scheme://host/path?query".
class RequestUrl {
public:
    // The query items, percent-decoded.
    struct Query {
        // The first item when it carries no "=" (the client key of the update server).
        std::string clientKey;
        std::map<std::string, std::string> parameters;
    };

    // Nothing when the text has no scheme or no host.
    static std::optional<RequestUrl> parse(const std::string& url);

    // Nothing when an escape is not "%" and two hex digits, an item after the first lacks "=",
    // or a name repeats: a server would not know what such a query means.
    std::optional<Query> query() const;

    const std::string& host() const { return host_; }
    // "/" when the address has no path.
    const std::string& path() const { return path_; }

private:
    std::string host_;
    std::string path_;
    std::string rawQuery_;
};

}  // namespace kvtest
