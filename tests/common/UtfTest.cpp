#include "common/Utf.h"

#include <gtest/gtest.h>

namespace kvinternal {
namespace {

TEST(UtfTest, RoundTripsAsciiBmpAndSupplementaryCharacters) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z
    const std::u16string wide = utf8ToUtf16(text);
    EXPECT_EQ(wide, (std::u16string{u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
    EXPECT_EQ(utf16ToUtf8(wide), text);
}

// The last character of one unit and the first that needs a surrogate pair, both ways.
TEST(UtfTest, TheSurrogatePairBoundaryIsExact) {
    const struct {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"\xEF\xBF\xBF", {0xFFFF}},
        {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},  // U+10000
        {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},  // U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16);
        EXPECT_EQ(utf16ToUtf8(c.utf16), c.utf8);
    }
}

TEST(UtfTest, EmptyAndEmbeddedZeros) {
    EXPECT_TRUE(utf8ToUtf16("").empty());
    EXPECT_TRUE(utf16ToUtf8(u"").empty());
    const std::string withZero("a\0b", 3);
    EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(withZero)), withZero);
}

TEST(UtfTest, LoneSurrogatesBecomeReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD83D}), replacement);
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xDE00, u'a'}), replacement + "a");
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD83D, u'a'}), replacement + "a");
}

TEST(UtfTest, MalformedUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string input;
        std::u16string expected;
    };
    const Case cases[] = {
        {"\x80", {0xFFFD}},                                      // stray continuation byte
        {"\xC3", {0xFFFD}},                                      // truncated sequence
        {"\xC3(", {0xFFFD, u'('}},                               // continuation missing
        {"\xC0\xAF", {0xFFFD, 0xFFFD}},                          // overlong '/'
        {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},              // encoded surrogate
        {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},  // above U+10FFFF
        {"\xFF"
         "a",
         {0xFFFD, u'a'}},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(utf8ToUtf16(testCase.input), testCase.expected);
    }
}

}  // namespace
}  // namespace kvinternal
