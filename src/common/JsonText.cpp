#include "common/JsonText.h"

#include <algorithm>
#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>

#include "common/Platform.h"

namespace kvinternal::json {

namespace {

std::unique_ptr<Json::StreamWriter> writerWith(const char* indentation) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

std::string streamWritten(const Json::Value& value, const char* indentation) {
    std::ostringstream text;
    writerWith(indentation)->write(value, &text);
    return text.str();
}

std::string excerptOf(const std::string& start, std::size_t length) {
    if (length <= maximumLoggedText) {
        return start;
    }
    return start.substr(0, maximumLoggedText) + "... (" + std::to_string(length) + " bytes)";
}

// Keeps the first `maximumLoggedText` characters written to it and counts the rest.
class ExcerptBuffer : public std::streambuf {
public:
    std::string excerpt() const { return excerptOf(kept_, length_); }

protected:
    int_type overflow(int_type character) override {
        if (!traits_type::eq_int_type(character, traits_type::eof())) {
            const char one = traits_type::to_char_type(character);
            xsputn(&one, 1);
        }
        return traits_type::not_eof(character);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        const auto length = static_cast<std::size_t>(count);
        if (kept_.size() <= maximumLoggedText) {
            kept_.append(text, std::min(length, maximumLoggedText + 1 - kept_.size()));
        }
        length_ += length;
        return count;
    }

private:
    std::string kept_;
    std::size_t length_ = 0;
};

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
    return excerptOf(text, text.size());
}

std::string oneLineExcerpt(const Json::Value& value) {
    ExcerptBuffer buffer;
    std::ostream stream(&buffer);
    writerWith("")->write(value, &stream);
    return buffer.excerpt();
}

namespace {

// Values counted by the separators and brackets that come before them, outside strings: one
// pass, before anything is parsed.
std::size_t countValues(const std::string& text) {
    std::size_t values = 1;
    bool inString = false;
    bool escaped = false;
    for (const char character : text) {
        if (inString) {
            inString = escaped || character != '"';
            escaped = !escaped && character == '\\';
        } else if (character == '"') {
            inString = true;
        } else if (character == ',' || character == ':' || character == '[' || character == '{') {
            ++values;
        }
    }
    return values;
}

}  // namespace

StoredText readStoredText(const std::string& path) {
    StoredText stored{platform::readFile(path), ""};
    if (stored.text) {
        if (countValues(*stored.text) > maximumStoredValues) {
            stored.refusal = "the file holds more than the " + std::to_string(maximumStoredValues) +
                             " values a state file may hold";
            stored.text.reset();
        }
        return stored;
    }
    switch (platform::fileKind(path)) {
        case platform::FileKind::Missing:
            break;
        case platform::FileKind::Regular:
            if (const auto size = platform::fileSize(path);
                size && *size > platform::maximumStateFileSize) {
                stored.refusal =
                    "the file holds " + std::to_string(*size) + " bytes, more than the " +
                    std::to_string(platform::maximumStateFileSize) + " a state file may hold";
            }
            break;
        case platform::FileKind::Directory:
        case platform::FileKind::Other:
            stored.refusal = "it is no regular file (a link, a folder, a pipe or a device)";
            break;
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
