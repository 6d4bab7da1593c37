#include "common/JsonText.h"

#include "common/Platform.h"

namespace kvinternal::json {

namespace {

std::string streamWritten(const Json::Value& value, const char* indentation) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    return Json::writeString(builder, value);
}

}  // namespace

std::string styled(const Json::Value& value) {
    return Json::StyledWriter().write(value);
}

std::string oneLine(const Json::Value& value) {
    return streamWritten(value, "");
}

std::string indented(const Json::Value& value) {
    return streamWritten(value, "  ");
}

std::string logExcerpt(const std::string& text) {
    if (text.size() <= maximumLoggedText) {
        return text;
    }
    return text.substr(0, maximumLoggedText) + "... (" + std::to_string(text.size()) + " bytes)";
}

StoredText readStoredText(const std::string& path) {
    StoredText stored{platform::readFile(path), ""};
    if (!stored.text) {
        const auto size = platform::fileSize(path);
        if (size && *size > platform::maximumStateFileSize) {
            stored.tooLarge = "the file holds " + std::to_string(*size) + " bytes, more than the " +
                              std::to_string(platform::maximumStateFileSize) +
                              " a state file may hold";
        }
    }
    return stored;
}

ParseResult parse(const std::string& text) {
    ParseResult result;
    Json::Reader reader;
    try {
        result.ok = reader.parse(text, result.root);
    } catch (const Json::Exception& e) {
        // The reader throws, instead of reporting, for a document nested deeper than it follows.
        result.root = Json::Value();
        result.errors = e.what();
        return result;
    }
    if (!result.ok) {
        result.errors = reader.getFormattedErrorMessages();
    }
    return result;
}

}  // namespace kvinternal::json
