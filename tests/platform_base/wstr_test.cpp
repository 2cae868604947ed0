#include "platform/escape.h"
#include "platform/localtime.h"
#include "platform/wstr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

TEST(WStr, NumbersFollowTheRuntimeRules) {
    struct Case {
        const WCHAR *text;
        int base;
        int32_t asLong;
        uint32_t asULong;
        size_t stop;  // units consumed
    } cases[] = {
        {u"5", 10, 5, 5, 1},
        {u"  -5x", 10, -5, 0xFFFFFFFBu, 4},
        {u"+12", 10, 12, 12, 3},
        {u"abc", 10, 0, 0, 0},
        {u"", 10, 0, 0, 0},
        {u"-", 10, 0, 0, 0},
        {u"99999999999", 10, INT32_MAX, 0xFFFFFFFFu, 11},
        {u"-99999999999", 10, INT32_MIN, 0xFFFFFFFFu, 12},
        {u"0x1F", 16, 31, 31, 4},
        {u"1fZ", 16, 31, 31, 2},
        {u"0xg", 16, 0, 0, 1},  // the 0 is a digit, the x is not a prefix without digits
        {u"\t7", 10, 7, 7, 2},
    };
    for (const Case &c : cases) {
        const WCHAR *end = nullptr;
        EXPECT_EQ(WStrToL(c.text, &end, c.base), c.asLong) << std::u16string(c.text).size();
        EXPECT_EQ(static_cast<size_t>(end - c.text), c.stop);
        EXPECT_EQ(WStrToUL(c.text, &end, c.base), c.asULong);
    }
}

TEST(WStr, CaseInsensitiveBoundedCompare) {
    EXPECT_EQ(WStrNICmp(u"UPGRADE_keys", u"upgrade_KEYS", 12), 0);
    EXPECT_EQ(WStrNICmp(u"abc", u"abd", 2), 0);
    EXPECT_NE(WStrNICmp(u"abc", u"abd", 3), 0);
    EXPECT_NE(WStrNICmp(u"ab", u"abc", 3), 0);  // a shorter string differs at its end
    EXPECT_EQ(WStrNICmp(u"ab", u"ab", 10), 0);  // a common end stops the compare
    EXPECT_LT(WStrNICmp(u"a", u"B", 1), 0);
}

TEST(WStr, NarrowRoundTripKeepsEveryByte) {
    // Bytes outside the code page stand for themselves both ways.
    char narrow[256];
    for (int i = 1; i < 256; i++) narrow[i - 1] = static_cast<char>(i);
    narrow[255] = '\0';
    WCHAR wide[300];
    size_t n = MbToWide(wide, narrow, 300);
    char back[300];
    size_t m = WideToMb(back, wide, 300);
    ASSERT_EQ(m, 255u);
    EXPECT_EQ(std::memcmp(back, narrow, 256), 0);
    EXPECT_LE(n, 255u);
}

TEST(WStr, ConversionsRespectTheirBounds) {
    WCHAR wide[8];
    std::fill(std::begin(wide), std::end(wide), u'#');
    EXPECT_EQ(MbToWide(wide, "abcdef", 3), 3u);
    EXPECT_EQ(wide[2], u'c');
    EXPECT_EQ(wide[3], u'#');  // nothing written past n

    char narrow[8];
    std::memset(narrow, '#', sizeof narrow);
    EXPECT_EQ(WideToMb(narrow, u"abcdef", 4), 4u);
    EXPECT_EQ(narrow[4], '#');
    EXPECT_EQ(WideToMb(narrow, u"ab", 4), 2u);
    EXPECT_EQ(narrow[2], '\0');
}

// The stamp is kept for its second: each row waits for a new second, so that the zone set
// before it is the one read, and the stamp must agree with the C library's local time.
TEST(LocalTimeText, FollowsTheSecondAndTheZone) {
    struct Case {
        const char *tz, *offset;
    } cases[] = {{"UTC0", "+00:00"}, {"IST-5:30", "+05:30"}, {"PST8", "-08:00"}};
    const char *was = std::getenv("TZ");
    std::string saved = was != nullptr ? was : "";
    for (const Case &c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        for (std::time_t start = std::time(nullptr); std::time(nullptr) == start;) {
        }
        std::string plain = LocalTimeText(false), precise = LocalTimeText(true);
        std::time_t now = std::time(nullptr);
        char expected[32];
        std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S", std::localtime(&now));
        EXPECT_EQ(plain, expected + std::string(c.offset)) << c.tz;
        ASSERT_EQ(precise.size(), plain.size() + 4) << precise;
        EXPECT_EQ(precise.substr(0, 19) + precise.substr(23), plain) << precise;
        EXPECT_EQ(precise[19], '.');
        EXPECT_EQ(precise.find_first_not_of("0123456789", 20), 23u) << precise;
    }
    if (was != nullptr) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(EscapeControls, NoLineCanBeForgedAndNoTerminalSequenceStarts) {
    const struct {
        std::string text, escaped;
    } cases[] = {
        {"plain text, \"quoted\" and caf\xC3\xA9", "plain text, \"quoted\" and caf\xC3\xA9"},
        {"a\nexit 0: done", "a\\x0Aexit 0: done"},
        {"\x1B[2Jcleared\r\t", "\\x1B[2Jcleared\\x0D\\x09"},
        {"del\x7F", "del\\x7F"},
        {"csi \xC2\x9B" "1m and \xC2\x85", "csi \\xC2\\x9B1m and \\xC2\\x85"},  // C1 in UTF-8
        {"raw \x9B" "1m", "raw \\x9B1m"},                                        // C1 as one byte
        {"nbsp \xC2\xA0 euro \xE2\x82\xAC \xF0\x9F\x98\x80", "nbsp \xC2\xA0 euro \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"overlong \xE0\x9B\x80", "overlong \xE0\\x9B\\x80"},  // not UTF-8: its 0x9B and 0x80 are lone C1 bytes
        {"cp1252 \xE9t\xE9 \xA9", "cp1252 \xE9t\xE9 \xA9"},    // 8-bit text passes
        {"cut \xC2", "cut \xC2"},
        {std::string("nul\0x", 5), "nul\\x00x"},
    };
    for (const auto &c : cases) EXPECT_EQ(EscapeControls(c.text), c.escaped) << c.escaped;
}

}  // namespace
