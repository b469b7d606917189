#include "platform/text/Utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace kestrove;

namespace {
const std::string R(utf8::Replacement);
} // namespace

// Every byte that is not part of a well-formed sequence becomes one U+FFFD; well-formed
// text, four-byte characters included, stays as it is.
TEST(Utf8, RepairReplacesEachMalformedByte) {
    const std::vector<std::pair<std::string, std::string>> texts{
        {"plain text", "plain text"},
        {"Grüße 東京 😀", "Grüße 東京 😀"},
        {"\xC0\xAF overlong slash", R + R + " overlong slash"},
        {"\xED\xA0\x80 surrogate", R + R + R + " surrogate"},
        {"cut \xE6\x9D", "cut " + R + R},
        {"\xF4\x90\x80\x80 past U+10FFFF", R + R + R + R + " past U+10FFFF"},
        {"\x80 stray", R + " stray"},
        {"caf\xE9 latin-1", "caf" + R + " latin-1"},
    };
    for (const auto& [text, repaired] : texts) {
        std::string changed = text;
        EXPECT_EQ(utf8::repair(changed), text != repaired) << text;
        EXPECT_EQ(changed, repaired) << text;
    }
}

// Lengths and cuts count UTF-16 units, as spreadsheets do, and never split a character.
TEST(Utf8, LengthAndCutCountUtf16Units) {
    EXPECT_EQ(utf8::utf16Length(""), 0u);
    EXPECT_EQ(utf8::utf16Length("abc"), 3u);
    EXPECT_EQ(utf8::utf16Length("é東"), 2u);
    EXPECT_EQ(utf8::utf16Length("😀"), 2u);
    const std::vector<std::tuple<std::string, std::size_t, std::string>> cuts{{"a😀b", 2, "a"},
                                                                              {"a😀b", 3, "a😀"},
                                                                              {"abc", 3, "abc"},
                                                                              {"東京", 1, "東"},
                                                                              {"東京", 2, "東京"}};
    for (const auto& [text, units, cut] : cuts) {
        std::string changed = text;
        EXPECT_EQ(utf8::cutToUtf16Units(changed, units), text != cut) << text << " to " << units;
        EXPECT_EQ(changed, cut) << text << " to " << units;
    }
}

// Text goes to the driver and back unchanged; what is not UTF-8 reaches it as U+FFFD,
// never as another character (an overlong '"' would otherwise close a quoted name).
TEST(Utf8, ConversionsToAndFromUtf16) {
    const std::string text = "Grüße, \"東京\" and 😀";
    const std::u16string wide = utf8::toUtf16(text);
    EXPECT_EQ(wide, u"Grüße, \"東京\" and 😀");
    std::string back = "> ";
    utf8::appendFromUtf16(back, wide.data(), wide.size());
    EXPECT_EQ(back, "> " + text);
    EXPECT_EQ(utf8::toUtf16("\xC0\xA2;"), u"\uFFFD\uFFFD;");
    EXPECT_EQ(utf8::toUtf16("\xC3\x41"), u"\uFFFDA");
    const char16_t halves[] = {u'a', 0xD83D, u'b', 0xDE00};
    std::string halved;
    utf8::appendFromUtf16(halved, halves, 4);
    EXPECT_EQ(halved, "a" + R + "b" + R);
}
