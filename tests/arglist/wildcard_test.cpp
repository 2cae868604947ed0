// Wildcard matching and path splitting as pure logic.
#include "cmdline/arglist.h"
#include "scratch_dir.h"

namespace {

TEST(MatchWild, PatternsAgainstNames) {
    struct Case {
        const char *pattern, *name;
        int match;
    } cases[] = {
        {"*", "any name at all", 1},
        {"*.c", "a.c", 1}, {"*.c", "a.cc", 0}, {"*.c", "a.b.c", 1}, {"a*", "a", 1}, {"a**", "a", 1},
        {"**a", "xya", 1}, {"a*b*c", "axbyc", 1}, {"a*b*c", "axby", 0}, {"ab*", "ab", 1}, {"abc", "ab", 0},
        {"ab", "abc", 0}, {"?.c", "x.c", 1}, {"?.c", "xy.c", 0}, {"x?", "x", 0},
        {"[a-c]*", "apple", 1}, {"[a-c]*", "cherry", 1}, {"[a-c]*", "date", 0},
        {"[!a]*", "apple", 0}, {"[!a]*", "banana", 1}, {"[abc]x", "bx", 1}, {"[abc]x", "dx", 0},
        {"[c-a]", "b", 0},                      // a reversed range holds nothing
        {"[a-]x", "-x", 1}, {"[a-]x", "ax", 1},  // a '-' without a second character stands for itself
        {"[]x", "ax", 0}, {"[!]x", "ax", 1},     // the set runs to the next ']'
        {"*[!a]", "ab", 1}, {"*[!a]", "ba", 0}, {"*[0-9]", "v10", 1},
        // An unclosed '[' is an ordinary character.
        {"a[b", "a[b", 1}, {"a[b", "ab", 0}, {"a[b*", "a[bcd", 1}, {"*[", "x[", 1}, {"[", "[", 1},
    };
    for (const Case &c : cases) {
        WString name = W(c.name);
        EXPECT_EQ(match_wild(W(c.pattern).c_str(), name.data()), c.match) << c.pattern << " ~ " << c.name;
    }
}

TEST(MatchWild, NamesAreSeenUpToTheSecondBlankWithTheExtensionMovedUp) {
    struct Case {
        const char *name, *seen;
    } cases[] = {
        {"readme  .txt", "readme.txt"}, {"my file.txt", "my.txt"}, {"x .y", "x.y"},
        {"a b c.txt", "a.txt"}, {"a b.x c", "a.x"}, {"two  blanks", "two "},
        {"ver.2 notes", "ver.2 notes"},   // the dot before the blank moves nothing
        {"ver.2 my notes", "ver.2 my"},   // but the name still ends at its second blank
        {" lead.c", " lead.c"}, {".profile x", ".profile x"}, {"plain.txt", "plain.txt"},
    };
    for (const Case &c : cases) {
        // Text placed beyond the terminator shows any write outside the name.
        const WString tail = WString(1, 0) + W("ZZZZ");
        WString name = W(c.name) + tail;
        match_wild(WIDE("*"), name.data());
        EXPECT_EQ(N(name.c_str()), c.seen) << c.name;
        EXPECT_EQ(name.substr(std::string(c.name).size()), tail) << c.name;
    }
    WString spaced = W("my file.txt");
    EXPECT_EQ(match_wild(WIDE("*file*"), spaced.data()), 0);
    spaced = W("my file.txt");
    EXPECT_EQ(match_wild(WIDE("my.*"), spaced.data()), 1);
}

TEST(SplitWildPath, CutsAtTheFirstWildcardComponent) {
    struct Case {
        const char *path;
        int wild;
        const char *dir, *pattern, *rest;
    } cases[] = {
        {"src\\a*\\x\\*.c", 1, "src\\", "a*", "\\x\\*.c"},
        {"*.c", 1, "", "*.c", ""},
        {"c:*.c", 1, "c:", "*.c", ""},
        {"c:\\dir\\[ab]", 1, "c:\\dir\\", "[ab]", ""},
        {"sub\\\\/*", 1, "sub\\\\/", "*", ""},
        {"a/b?/c", 1, "a/", "b?", "/c"},
        {"x[1]/y", 1, "", "x[1]", "/y"},
        {"a:b*:c\\d", 1, "a:", "b*:c", "\\d"},
        {"A.c", 0, "-", "-", "-"},
        {"dir\\file", 0, "-", "-", "-"},
        {"", 0, "-", "-", "-"},
    };
    for (const Case &c : cases) {
        WCHAR dir[PATH_BUFFER] = WIDE("-"), pattern[PATH_BUFFER] = WIDE("-"), rest[PATH_BUFFER] = WIDE("-");
        EXPECT_EQ(split_wild_path(W(c.path).c_str(), dir, pattern, rest), c.wild) << c.path;
        EXPECT_EQ(N(dir), c.dir) << c.path;
        EXPECT_EQ(N(pattern), c.pattern) << c.path;
        EXPECT_EQ(N(rest), c.rest) << c.path;
    }
}

TEST(SplitWildPath, APathMustFitThePathBuffers) {
    WCHAR dir[PATH_BUFFER], pattern[PATH_BUFFER], rest[PATH_BUFFER] = WIDE("-");
    WString longest = W(std::string(PATH_BUFFER - 3, 'd') + "\\*");  // 127 characters
    ASSERT_EQ(split_wild_path(longest.c_str(), dir, pattern, rest), 1);
    EXPECT_EQ(N(dir), std::string(PATH_BUFFER - 3, 'd') + "\\");
    rest[0] = '-';
    WString tooLong = W("*\\" + std::string(PATH_BUFFER - 2, 'r'));  // 128 characters
    EXPECT_EQ(split_wild_path(tooLong.c_str(), dir, pattern, rest), 0);
    EXPECT_EQ(rest[0], '-');
}

}  // namespace
