#include <string>

#include <gtest/gtest.h>

#include "platform/Text.h"
#include "platform/TextEncoding.h"

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(ValidUtf8Test, WellFormedTextIsUnchanged) {
    for (const std::string& text : {std::string(), std::string("gs1 -port 8000"), std::string("游戏服 测试"),
                                   std::string("\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF"),
                                   std::string("\xF0\x90\x80\x80 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"),
                                   std::string("nul\0inside", 10)})
        EXPECT_EQ(text, platform::validUtf8(text));
}

TEST(ValidUtf8Test, EachIllFormedPartBecomesOneReplacement) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"\x80", R},                                   // a continuation byte alone
        {"a\xBF" "b", "a" + R + "b"},
        {"\xC0\x80", R + R},                           // overlong NUL: neither byte can start anything
        {"\xC1\xBF", R + R},
        {"\xE0\x80\x80", R + R + R},                   // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},                   // a surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},           // above U+10FFFF
        {"\xF5\x80", R + R},
        {"\xFF\xFE", R + R},
        {"\xE6\xB5", R},                               // a character cut short at the end
        {"\xE6\xB5" "A", R + "A"},                     // ... or by another character
        {"\xF0\x9F\x98" "\xE6\xB5\x8B", R + "测"},
        {"\xB2\xE2\xCA\xD4", R + R + R + R},           // 测试 in GBK
        {"ok\xE6\xB5\x8B\xE6", "ok测" + R},
    };
    for (const Case& c : cases) EXPECT_EQ(c.out, platform::validUtf8(c.in)) << testing::PrintToString(c.in);
}

TEST(ValidUtf8Test, TheResultIsAlwaysValid) {
    // Every two-byte string: what comes back is well formed, so running it
    // again changes nothing.
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            const std::string text{static_cast<char>(a), static_cast<char>(b), '\xBF'};
            const std::string once = platform::validUtf8(text);
            ASSERT_EQ(once, platform::validUtf8(once)) << a << " " << b;
        }
}

}  // namespace

// How a list or settings file is read: the mark wins; otherwise only text
// that holds non-ASCII bytes and is all valid UTF-8 counts as UTF-8, so a
// code-page file (GBK here) and a plain ASCII one stay the system's.
TEST(FileTextEncodingTest, TheMarkOrWellFormedNonAsciiTextMakesAFileUtf8) {
    using platform::FileTextEncoding;
    EXPECT_EQ(FileTextEncoding::utf8WithBom, platform::fileTextEncoding("\xEF\xBB\xBF[]"));
    EXPECT_EQ(FileTextEncoding::utf8WithBom, platform::fileTextEncoding("\xEF\xBB\xBF\xD3\xCE"));
    EXPECT_EQ(FileTextEncoding::utf8, platform::fileTextEncoding("[\"\xE6\xB8\xB8\xE6\x88\x8F\"]"));
    EXPECT_EQ(FileTextEncoding::system, platform::fileTextEncoding(""));
    EXPECT_EQ(FileTextEncoding::system, platform::fileTextEncoding("[{\"name\":\"gs1\"}]"));
    EXPECT_EQ(FileTextEncoding::system, platform::fileTextEncoding("[\"\xD3\xCE\xCF\xB7\"]"));  // GBK
    EXPECT_EQ(FileTextEncoding::system, platform::fileTextEncoding("\xC0\xAF"));                // overlong
    EXPECT_EQ(FileTextEncoding::system, platform::fileTextEncoding("\xE6\xB8"));                // cut short
    EXPECT_EQ(FileTextEncoding::system, platform::fileTextEncoding("\xEF\xBB"));                // half a mark
    EXPECT_EQ(3u, platform::byteOrderMarkSize(FileTextEncoding::utf8WithBom));
    EXPECT_EQ(0u, platform::byteOrderMarkSize(FileTextEncoding::utf8));
}
