#include <gtest/gtest.h>

#include <string>

#include "common/JsonText.h"

namespace kvinternal {
namespace {

std::string repeated(const std::string& piece, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

// Found by fuzzing the cache files: JsonCpp's reader throws for a document nested deeper than
// it follows, and a cache file like that stopped every later session from opening.
TEST(JsonTextRegressionTest, DocumentsNestedTooDeepAreUnparsableInsteadOfThrown) {
    const std::string documents[] = {repeated("[", 1001), repeated("[", 100000),
                                     "{\"deltaFiles\":" + repeated("{\"a\":", 5000)};
    for (const auto& document : documents) {
        SCOPED_TRACE(document.substr(0, 20) + "... (" + std::to_string(document.size()) +
                     " bytes)");
        json::ParseResult parsed;
        ASSERT_NO_THROW(parsed = json::parse(document));
        EXPECT_FALSE(parsed.ok);
        EXPECT_FALSE(parsed.errors.empty());
        EXPECT_TRUE(parsed.root.isNull());
    }
}

// A log line carries a text of up to the excerpt length whole, a longer one cut with its length;
// a document's one-line form likewise, though it is never written out whole.
TEST(JsonTextRegressionTest, ExcerptsKeepTextsOfTheExcerptLengthWhole) {
    const std::size_t limit = json::maximumLoggedText;
    const std::string whole(limit, 'x');
    const std::string cut = whole + "... (" + std::to_string(limit + 1) + " bytes)";
    EXPECT_EQ(json::logExcerpt(whole), whole);
    EXPECT_EQ(json::logExcerpt(whole + "y"), cut);
    EXPECT_EQ(json::oneLineExcerpt(Json::Value(whole.substr(2))), '"' + whole.substr(2) + '"');
    EXPECT_EQ(json::oneLineExcerpt(Json::Value(whole.substr(1))),
              '"' + whole.substr(1, limit - 1) + "... (" + std::to_string(limit + 1) + " bytes)");
}

}  // namespace
}  // namespace kvinternal
