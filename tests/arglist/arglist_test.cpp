// The argument list: its limits and messages, the per-argument sort, wildcard
// expansion in scratch directories, and the parser's file-list slot end to end.
#include "cmdline/arglist.h"
#include "scratch_dir.h"

#include <cstdlib>

namespace {

using Strings = std::vector<std::string>;

Strings Entries(const arg_list &list) {
    Strings out;
    for (int32_t i = 0; i < list.count; i++) out.push_back(N(list.vector[i]));
    EXPECT_EQ(list.vector == nullptr ? nullptr : list.vector[list.count], nullptr);
    return out;
}

void FreeList(arg_list *list) {
    std::free(list->vector);
    std::free(list->buffer);
    init_arg_list(list, list->initial_capacity);
}

class ArgListTest : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        init_arg_list(&list, ARG_LIST_CAPACITY);
    }
    void TearDown() override {
        FreeList(&list);
        ScratchDir::TearDown();
    }
    // Expands each argument into a fresh list; what the expansions wrote to stderr goes to *err.
    Strings Expand(const Strings &args, std::string *err = nullptr) {
        FreeList(&list);
        testing::internal::CaptureStderr();
        for (const std::string &a : args) expand_arg(W(a).c_str(), &list);
        std::string written = testing::internal::GetCapturedStderr();
        if (err != nullptr) *err = written;
        else EXPECT_EQ(written, "");
        return Entries(list);
    }
    arg_list list{};
};

TEST_F(ArgListTest, TooManyArgumentsLeavesTheListAsItWas) {
    init_arg_list(&list, 2);
    EXPECT_EQ(add_arg_to_list(WIDE("a"), &list), 0);
    EXPECT_EQ(add_arg_to_list(WIDE("b"), &list), 0);
    WCHAR *cursor = list.cursor;
    testing::internal::CaptureStderr();
    EXPECT_EQ(add_arg_to_list(WIDE("c"), &list), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "add_arg_to_list: too many arguments\n");
    EXPECT_EQ(Entries(list), (Strings{"a", "b"}));
    EXPECT_EQ(list.cursor, cursor);
}

TEST_F(ArgListTest, TheTextBufferHolds10219CharactersWithTerminators) {
    struct Case {
        size_t first;  // length of a first text, then an empty one is added
        int firstResult, emptyResult;
    } cases[] = {{10217, 0, 0}, {10218, 0, -1}, {10219, -1, 0}};
    for (const Case &c : cases) {
        FreeList(&list);
        testing::internal::CaptureStderr();
        EXPECT_EQ(add_arg_to_list(W(std::string(c.first, 'x')).c_str(), &list), c.firstResult) << c.first;
        EXPECT_EQ(add_arg_to_list(WIDE(""), &list), c.emptyResult) << c.first;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.firstResult + c.emptyResult == 0 ? "" : "add_arg_to_list: argument buffer too small\n");
        EXPECT_EQ(list.count, (c.firstResult == 0) + (c.emptyResult == 0)) << c.first;
        EXPECT_LE(list.cursor, list.end);
    }
}

TEST(SortArgRange, BubbleSortWithItsMessages) {
    const std::string p126(126, 'p');
    struct Case {
        Strings in, out;  // "(null)" stands for a null entry
        std::string err;
    } cases[] = {
        {{"b", "c", "a"}, {"a", "b", "c"}, ""},
        {{"sub\\b", "sub\\a", "sub"}, {"sub", "sub\\a", "sub\\b"}, ""},
        {{"a.c", "a.c"}, {"a.c", "a.c"}, "internal error 2\n"},
        {{"b", "a", "a"}, {"a", "a", "b"}, "internal error 2\n"},
        {{p126 + "b", p126 + "a"}, {p126 + "a", p126 + "b"}, "internal error 2\n"},
        // A pass without a swap ends the sort, so each null pair is reported once.
        {{"b", "(null)", "a"}, {"b", "(null)", "a"}, "internal error 1\ninternal error 1\n"},
    };
    for (const Case &c : cases) {
        std::vector<WString> texts;
        for (const std::string &s : c.in) texts.push_back(W(s));
        std::vector<WCHAR *> entries;
        for (size_t i = 0; i < texts.size(); i++) entries.push_back(c.in[i] == "(null)" ? nullptr : texts[i].data());
        testing::internal::CaptureStderr();
        sort_arg_range(entries.data(), static_cast<int32_t>(entries.size()));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.in[0];
        Strings out;
        for (WCHAR *e : entries) out.push_back(e == nullptr ? "(null)" : N(e));
        EXPECT_EQ(out, c.out) << c.in[0];
    }
    WString high = WString(1, 0x9000), low = W("z");  // above 0x7FFF: signed units would sort it first
    WCHAR *pair[] = {high.data(), low.data()};
    sort_arg_range(pair, 2);
    EXPECT_EQ(pair[0], low.data());
}

TEST_F(ArgListTest, ExpandsWildcardsAgainstTheDisk) {
    const std::string d123(123, 'd'), d124(124, 'd'), d126(126, 'd'), l130(130, 'l');
    struct Case {
        Strings layout;
        std::string arg;
        Strings expected;
    } cases[] = {
        // Unchanged arguments keep their case; expansions are lowercase and sorted.
        {{"A.c"}, "A.c", {"A.c"}},
        {{}, "Missing.C", {"Missing.C"}},
        {{"a.c"}, "NoMatch*.XYZ", {"NoMatch*.XYZ"}},
        {{"B.c", "a.c", "x.c/", "other.txt"}, "*.C", {"a.c", "b.c", "x.c"}},
        {{"SUB/Zeta", "SUB/alpha", "SUB/Mid/"}, "SUB\\*", {"sub\\alpha", "sub\\mid", "sub\\zeta"}},
        {{"Sub/Zeta"}, "sub//*", {"sub//zeta"}},
        {{".hidden", "f"}, ".*", {".hidden"}},  // "." and ".." are never added
        // Nested wildcards, searched depth first.
        {{"d1/readme.txt", "D2/README.TXT", "d3/", "readme.txt", "f.txt"}, "*\\readme.txt",
         {"d1\\readme.txt", "d2\\readme.txt"}},
        {{"Sa/B.TXT", "Sa/a.txt", "sb/c.txt", "sb/deep/d.txt", "s.txt"}, "S*\\*.TXT",
         {"sa\\a.txt", "sa\\b.txt", "sb\\c.txt"}},
        {{"p/q2/s/z.c", "p/q1/r/x.c", "p/q2/r/y.c", "p/q3"}, "p\\q*\\*\\*.c",
         {"p\\q1\\r\\x.c", "p\\q2\\r\\y.c", "p\\q2\\s\\z.c"}},
        {{"file1", "fdir/x"}, "f*\\x", {"fdir\\x"}},
        // Sets, negated sets, '?'.
        {{"apple", "Banana", "cherry", "date"}, "[a-c]*", {"apple", "banana", "cherry"}},
        {{"apple", "Banana", "cherry", "date"}, "[A-C]*", {"apple", "banana", "cherry"}},
        {{"apple", "Banana", "cherry", "date"}, "[!a]*", {"banana", "cherry", "date"}},
        {{"x.c", "xy.c"}, "?.c", {"x.c"}},
        {{"a[b"}, "a[*", {"a[b"}},
        // A failed search adds the argument unchanged.
        {{"x.c"}, "nosuchdir\\*.c", {"nosuchdir\\*.c"}},
        {{"x.c"}, "c:*.c", {"c:*.c"}},
        {{"f.c"}, "f.c\\*", {"f.c\\*"}},
        // Names are matched up to their second blank with the extension moved up,
        // but added as they are on disk.
        {{"my file.txt", "other.txt"}, "*file*", {"*file*"}},
        {{"my file.txt", "other.txt"}, "my.*", {"my file.txt"}},
        {{"Readme  .Txt"}, "readme.txt", {"readme.txt"}},
        // Found names are literal: brackets in them are not a further wildcard.
        {{"a[1].c", "b.h"}, "*.c", {"a[1].c"}},
        {{"x[1]/readme.txt", "x1/readme.txt"}, "*\\readme.txt", {"x1\\readme.txt", "x[1]\\readme.txt"}},
        // Paths beyond 127 characters are skipped or refused.
        {{"s", l130}, "*", {"s"}},
        {{d124 + "/x"}, "*\\x", {d124 + "\\x"}},
        {{d126 + "/x"}, "*\\x", {"*\\x"}},
        {{d123 + "/x"}, d123 + "\\*", {d123 + "\\x"}},
        {{d124 + "/x"}, d124 + "\\*", {d124 + "\\*"}},
        {{"s"}, l130 + "*", {l130 + "*"}},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string sub = "case" + std::to_string(n++);
        std::filesystem::create_directory(sub);
        ASSERT_EQ(chdir(sub.c_str()), 0);
        Make(c.layout);
        EXPECT_EQ(Expand({c.arg}), c.expected) << c.arg;
        ASSERT_EQ(chdir(".."), 0);
    }
}

TEST_F(ArgListTest, SortsEachArgumentsExpansionOnly) {
    Make({"z2", "Z1", "a2", "a1"});
    EXPECT_EQ(Expand({"z*", "Keep", "a*", "nothing*"}), (Strings{"z1", "z2", "Keep", "a1", "a2", "nothing*"}));
    FreeList(&list);
    EXPECT_EQ(expand_arg(WIDE("z*"), &list), 1);
    EXPECT_EQ(expand_arg(WIDE("Keep"), &list), 0);
    EXPECT_EQ(expand_arg(WIDE("q*"), &list), 0);
}

TEST_F(ArgListTest, AFullListEndsTheExpansionWithItsMessage) {
    const std::string tooMany = "add_arg_to_list: too many arguments\n";
    Make({"d1/a", "d1/b", "d1/c", "d2/e"});
    init_arg_list(&list, 2);
    std::string err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(expand_arg(WIDE("d*\\*"), &list), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, tooMany);  // the waiting search of d2 is dropped, not tried
    EXPECT_EQ(Entries(list), (Strings{"d1\\a", "d1\\b"}));
    EXPECT_EQ(SearchList, nullptr);

    testing::internal::CaptureStderr();
    EXPECT_EQ(expand_arg(WIDE("d*\\*"), &list), 0);  // nothing added: the argument is tried as it is
    EXPECT_EQ(testing::internal::GetCapturedStderr(), tooMany + tooMany);
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(SearchList, nullptr);
}

// The parser's process-wide list is freed by the test itself: the parser never frees it.
class FileListSlotTest : public ScratchDir {
protected:
    void TearDown() override {
        for (arg_list &l : kept) {
            std::free(l.vector);
            std::free(l.buffer);
        }
        std::free(ArgList.vector);
        std::free(ArgList.buffer);
        init_arg_list(&ArgList, ARG_LIST_CAPACITY);
        ScratchDir::TearDown();
    }
    uint16_t Parse(Strings args, FileListValue *files, int32_t *verbose, uint16_t *slotFlags = nullptr) {
        OptionRecord table[] = {
            {"/v", 0, KIND_BOOLEAN, 4, verbose},
            {"/r", OPTION_REQUIRED, KIND_BOOLEAN, 4, &required},
            {" ", 0, KIND_FILE_LIST, sizeof(FileListValue), files},
            {nullptr, 0, 0, 0, nullptr},
        };
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        uint16_t status = ParseArguments(static_cast<int>(argv.size()), argv.data(), table, 0);
        if (slotFlags != nullptr) *slotFlags = table[2].flags;
        return status;
    }
    static Strings Values(const FileListValue &files) {
        Strings out;
        for (int32_t i = 0; i < files.count; i++) out.push_back(N(files.vector[i]));
        EXPECT_EQ(files.vector[files.count], nullptr);
        return out;
    }
    std::vector<arg_list> kept;
    int32_t required = 0;
};

TEST_F(FileListSlotTest, ParseArgumentsReturnsTheExpandedList) {
    Make({"B.c", "a.c", "Sub/X.TXT", "Sub/w.txt"});
    FileListValue files{-1, nullptr};
    int32_t verbose = 0;
    uint16_t flags = 0;
    EXPECT_EQ(Parse({"/v", "*.C", "Keep.Me", "-x", "/r", "sub\\*"}, &files, &verbose, &flags), 0);
    EXPECT_EQ(verbose, 1);
    EXPECT_TRUE(flags & OPTION_SEEN);
    EXPECT_EQ(Values(files), (Strings{"a.c", "b.c", "Keep.Me", "-x", "/r", "sub\\w.txt", "sub\\x.txt"}));

    // A second parse starts a new list; the first one's vector stays valid.
    kept.push_back(ArgList);
    FileListValue again{-1, nullptr};
    EXPECT_EQ(Parse({"SUB\\W*"}, &again, &verbose), 0);  // the required check does not run
    EXPECT_EQ(Values(again), (Strings{"sub\\w.txt"}));
    EXPECT_EQ(Values(files).size(), 7u);
}

TEST_F(FileListSlotTest, AFullTextBufferIsReportedPerArgument) {
    Strings args;
    for (int i = 0; i < 1100; i++) args.push_back("f" + std::to_string(10000 + i) + ".cc");  // 9 characters
    FileListValue files{-1, nullptr};
    int32_t verbose = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Parse(args, &files, &verbose), 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::string expected;
    for (int i = 1021; i < 1100; i++) expected += "add_arg_to_list: argument buffer too small\n";
    EXPECT_EQ(err, expected);
    ASSERT_EQ(files.count, 1021);  // 1021 texts of 10 characters fill 10210 of 10219
    EXPECT_EQ(N(files.vector[1020]), "f11020.cc");
}

}  // namespace
