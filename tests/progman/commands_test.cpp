#include "fixture.h"
#include "progman/formats.h"
#include "progman/groupinfo.h"
#include "progman/itemjudge.h"

#include <cstring>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Calls = std::vector<std::string>;
using ProgmanCommands = ProgmanTest;

// One item line as the icon upgrade pass sends it.
void SendItemLine(uint8_t flags) {
    ProgmanDeleteItem("G", "N", 0, 0);
    ProgmanAddItem("G", "N", "C", "I", 3, flags, 0);
}

TEST_F(ProgmanCommands, ItemLineSequences) {
    struct Case {
        const char *label;
        int32_t upgradeIcons;
        std::deque<fake::Transaction> answers;
        Calls sent;
    } cases[] = {
        {"run_inf", 0, {}, {"[CreateGroup(G,0)]", "[DeleteItem(N)]", "[CreateGroup(G,0)]", "[AddItem(C, N, I, 669)]"}},
        {"run_inf, DeleteItem refused",
         0,
         {{true, DDE_FACK}, {true, 0}},
         {"[CreateGroup(G,0)]", "[DeleteItem(N)]", "[CreateGroup(G,0)]", "[AddItem(C, N, I, 669)]"}},
        {"upgrade_icons, group shown",
         1,
         {},
         {"[ShowGroup(G, 8,0)]", "[CreateGroup(G,0)]", "[DeleteItem(N)]", "[ShowGroup(G, 8,0)]",
          "[CreateGroup(G,0)]", "[AddItem(C, N, I, 669)]"}},
        {"upgrade_icons, ShowGroup refused", 1, {{true, 0}, {true, 0}}, {"[ShowGroup(G, 8,0)]", "[ShowGroup(G, 8,0)]"}},
        {"run_inf, CreateGroup refused",
         0,
         {{true, 0}, {true, 0}},
         {"[CreateGroup(G,0)]", "[CreateGroup(G,0)]"}},
    };
    for (const Case &c : cases) {
        SetUp();
        upgradeIconsFlag = c.upgradeIcons;
        fake::Script.connects = {true};
        fake::Script.transactions = c.answers;
        SendItemLine(0);
        EXPECT_EQ(fake::Executed(), c.sent) << c.label;
    }
}

TEST_F(ProgmanCommands, EveryCommandActivatesFirst) {
    fake::Script.connects = {true};
    upgradeIconsFlag = 1;
    ProgmanAddItem("G", "N", "C", "I", 0, 0, 0);
    int activations = 0;
    for (const std::string &c : fake::Calls) activations += c.rfind("SetForegroundWindow", 0) == 0;
    EXPECT_EQ(activations, 3);  // AddItem, its CreateGroup step, and that step's ShowGroup
}

TEST_F(ProgmanCommands, Formats) {
    fake::Script.connects = {true};
    EXPECT_EQ(ProgmanCreateGroup("Tools", nullptr, 0, 0), 0x8000);
    EXPECT_EQ(ProgmanCreateGroup("Tools", "", 0, 0), 0x8000);
    EXPECT_EQ(ProgmanCreateGroup("Tools", "tools.grp", 0, 1), 0x8000);
    EXPECT_EQ(ProgmanShowGroup("Tools", "8", 0, 0), 0x8000);
    EXPECT_EQ(ProgmanShowGroup("Tools", "1", 0, 7), 0x8000);
    EXPECT_EQ(ProgmanDeleteItem("Tools", "Editor", 0, 0), 0x8000);
    EXPECT_EQ(ProgmanAddItem("Tools", "Editor", "edit.exe", "edit.exe", 0, 0, 0), 0x8000);
    EXPECT_EQ(ProgmanAddItem("T", "a,b", "x(\"1\")", "i", -1, 0, 0), 0x8000);
    EXPECT_EQ(ProgmanAddItem("T", "n", "c", "i", INT32_MAX, 0, 0), 0x8000);
    EXPECT_EQ(fake::Executed(),
              (Calls{"[CreateGroup(Tools,0)]", "[CreateGroup(Tools,0)]", "[CreateGroup(Tools,tools.grp,1)]",
                     "[ShowGroup(Tools, 8,0)]", "[ShowGroup(Tools, 1,1)]", "[CreateGroup(Tools,0)]",
                     "[DeleteItem(Editor)]", "[CreateGroup(Tools,0)]", "[AddItem(edit.exe, Editor, edit.exe, 666)]",
                     "[CreateGroup(T,0)]", "[AddItem(x(\"1\"), a,b, i, 665)]", "[CreateGroup(T,0)]",
                     "[AddItem(c, n, i, -2147482983)]"}));
    for (const std::string &c : fake::Calls) {
        if (c.rfind("DdeClientTransaction(", 0) != 0) continue;
        std::string command = c.substr(21, c.find(",len=") - 21);
        EXPECT_NE(c.find(",len=" + std::to_string(command.size() + 1) + ","), std::string::npos) << c;
    }
}

TEST_F(ProgmanCommands, BuffersAreSizedForTheLongestCommand) {
    fake::Script.connects = {true};
    std::vector<int32_t> sizes;
    fakepool::Fail = [&sizes](int32_t n) {
        sizes.push_back(n);
        return false;
    };
    std::string group(10, 'g'), file(7, 'f'), show(3, 's'), name(5, 'n'), command(11, 'c'), icon(2, 'i');
    ProgmanCreateGroup(group.c_str(), file.c_str(), 0, 0);
    ProgmanShowGroup(group.c_str(), show.c_str(), 0, 0);
    ProgmanDeleteItem(group.c_str(), name.c_str(), 0, 0);
    ProgmanAddItem(group.c_str(), name.c_str(), command.c_str(), icon.c_str(), INT32_MIN, 0, 0);
    EXPECT_EQ(sizes, (std::vector<int32_t>{7 + 10 + 25, 3 + 10 + 24, 7 + 10 + 25 - 7, 5 + 17, 35, 2 + 11 + 5 + 42}));
    for (const std::string &c : fake::Executed()) EXPECT_LT(c.size(), 2 + 11 + 5 + 42u) << c;
}

TEST_F(ProgmanCommands, UnsentCommandsFollowTheVitalRule) {
    struct Case {
        const char *label;
        bool noServer;                     // activation fails
        std::function<bool(int32_t)> fail;  // allocations that fail
        int deleteResult, addResult, addVitalResult;
        Calls sent;
    } cases[] = {
        {"no Program Manager", true, nullptr, 1, 1, 0, {}},
        {"no memory at all", false, [](int32_t) { return true; }, 1, 1, 0, {}},
        // CreateGroup's buffer (G: 1 + 25) fails: DeleteItem passes ITEM_VITAL to it and stops,
        // AddItem without ITEM_VITAL goes on.
        {"no memory for CreateGroup", false, [](int32_t n) { return n == 26; }, 1, 0x8000, 0,
         {"[AddItem(C, N, I, 669)]"}},
    };
    for (const Case &c : cases) {
        SetUp();
        fake::Script.connects = {!c.noServer};
        fake::Script.createProcess = false;
        fakepool::Fail = c.fail;
        EXPECT_EQ(ProgmanDeleteItem("G", "N", 0, 0), c.deleteResult) << c.label;
        EXPECT_EQ(ProgmanAddItem("G", "N", "C", "I", 3, 0xFE, 0), c.addResult) << c.label;  // other bits: no effect
        EXPECT_EQ(ProgmanAddItem("G", "N", "C", "I", 3, ITEM_VITAL, 0), c.addVitalResult) << c.label;
        EXPECT_EQ(ProgmanDeleteItem("G", "N", ITEM_VITAL, 0), 0) << c.label;
        EXPECT_EQ(fake::Executed(), c.sent) << c.label;
    }
}

TEST_F(ProgmanCommands, UpgradeIconsCreateGroupFailsWhenShowGroupIsRefused) {
    upgradeIconsFlag = 1;
    fake::Script.connects = {true};
    fake::Script.transactions = {{true, 0}};
    EXPECT_EQ(ProgmanCreateGroup("G", nullptr, 0, 0), 0);  // even without ITEM_VITAL
    // A ShowGroup that could not be sent passes flags 0 and so counts as shown.
    int allocations = 0;
    fakepool::Fail = [&allocations](int32_t) { return ++allocations == 1; };
    EXPECT_EQ(ProgmanCreateGroup("G", nullptr, 0, 0), 0x8000);
    EXPECT_EQ(fake::Executed(), (Calls{"[ShowGroup(G, 8,0)]", "[CreateGroup(G,0)]"}));
}

// The commands are cut as wsprintfA cuts them (1023 characters and the NUL), and their whole
// length is told, so that a checker can say what was lost; the icon field wraps at 32 bits.
TEST(ProgmanFormats, CommandsAreBoundedAndTheIconFieldWraps) {
    const std::string big(2000, 'x');
    const struct {
        const char *name;
        int32_t index;
        size_t length;
        const char *text;  // null: only its first 1023 characters are kept
    } cases[] = {
        {"n", -1, 23, "[AddItem(c, n, i, 665)]"},
        {"n", INT32_MAX, 31, "[AddItem(c, n, i, -2147482983)]"},
        {big.c_str(), 0, 2000 + 22, nullptr},
    };
    for (const auto &c : cases) {
        char out[1100];
        EXPECT_EQ(FormatAddItem(nullptr, 0, "c", c.name, "i", c.index), c.length);
        EXPECT_EQ(FormatAddItem(out, sizeof out, "c", c.name, "i", c.index), c.length);
        if (c.text != nullptr) {
            EXPECT_STREQ(out, c.text);
        } else {
            EXPECT_EQ(std::strlen(out), kMaxProgmanCommand);
        }
    }
}

// A description reads back as it was written, whatever its names hold short of a quote
// before a comma; text of another shape is refused, naming the line.
TEST(ProgmanGroupInfo, DescriptionsReadBackAndOtherTextIsRefused) {
    const GroupItemInfo items[] = {
        {"Notes", "notepad.exe readme.txt", "C:\\work", "notepad.exe", 10, 20, 2, 1345, true},
        {"Odd, \"name\"", "\"C:\\Program Files\\x.exe\" /s,/t", "", "C:\\a,b.ico", -1, -1, 666, 0, false},
    };
    GroupInfo group{"My, group", "C:\\groups\\a,b.grp", 2, {items[0], items[1]}};
    GroupInfo back;
    std::string error;
    ASSERT_TRUE(ParseGroupInfo(FormatGroupInfo(group), &back, &error)) << error;
    EXPECT_EQ(back.name, group.name);
    EXPECT_EQ(back.path, group.path);
    EXPECT_EQ(back.itemCount, 2);
    ASSERT_EQ(back.items.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        const GroupItemInfo &a = items[i], &b = back.items[i];
        EXPECT_EQ(std::tie(a.name, a.commandLine, a.defaultDir, a.iconPath, a.x, a.y, a.iconIndex, a.hotKey, a.minimize),
                  std::tie(b.name, b.commandLine, b.defaultDir, b.iconPath, b.x, b.y, b.iconIndex, b.hotKey, b.minimize));
    }
    const struct {
        const char *text;
        const char *error;
    } refused[] = {
        {"", "line 1"},
        {"Tools,C:\\t.grp,1\r\n", "line 1"},                          // the name is not quoted
        {"\"Tools\",C:\\t.grp,many\r\n", "line 1"},
        {"\"Tools\",C:\\t.grp,1\r\n\"A\",\"a.exe\",,a.exe,0,0,0,0\r\n", "line 2"},  // a field short
        {"\"Tools\",C:\\t.grp,1\r\n\"A\",\"a.exe\",,a.exe,0,0,x,0,0\r\n", "line 2"},
        {"\"Tools\",C:\\t.grp,2\r\n\"A\",\"a.exe\",,a.exe,0,0,0,0,0\nA,a.exe\n", "line 3"},
    };
    for (const auto &r : refused) {
        EXPECT_FALSE(ParseGroupInfo(r.text, &back, &error)) << r.text;
        EXPECT_NE(error.find(r.error), std::string::npos) << r.text << ": " << error;
    }
    EXPECT_EQ(ParseGroupList("Main\r\nAccessories\r\n\r\nGames"),
              (std::vector<std::string>{"Main", "Accessories", "Games"}));
}

// A restore file is one command a line, each field as the item has it, quoted where a
// separator would cut it; a command past what the Program Manager takes is refused.
TEST(ProgmanGroupInfo, RestoreFilesPutEveryFieldBack) {
    const struct {
        GroupInfo group;
        bool ok;
        const char *text;
    } cases[] = {
        {{"Tools", "C:\\t.grp", 1, {{"Notes", "n.exe r.txt", "C:\\w", "n.exe", 10, 20, 2, 1345, true}}},
         true,
         "[CreateGroup(Tools,C:\\t.grp,0)]\n[AddItem(n.exe r.txt,Notes,n.exe,2,10,20,C:\\w,1345,1)]\n"},
        {{"A, B", "", 1, {{"x(1)", "\"C:\\a b\\x.exe\" /s", "", "x.exe", -1, -1, 666, 0, false}}},
         true,
         "[CreateGroup(\"A, B\",0)]\n[AddItem(\"C:\\a b\\x.exe\" /s,\"x(1)\",x.exe,666,-1,-1,,0,0)]\n"},
        {{"Big", "", 1, {{"Big", std::string(1100, 'c'), "", "b.exe", -1, -1, 0, 0, false}}}, false, ""},
    };
    for (const auto &c : cases) {
        std::string out, error;
        EXPECT_EQ(FormatRestore(c.group, &out, &error), c.ok) << c.group.name << ": " << error;
        if (c.ok) {
            EXPECT_EQ(out, c.text);
        }
    }
}

// The pass's delete takes the first item of a name (any case), its add goes after the
// others: two items of one name are judged one after the other, as the Program Manager
// would change them.
TEST(ProgmanItemJudge, ItemsOfOneNameAreTakenInTurn) {
    HeldItems held = HoldItems({{"Calc", "c.exe", "", "c.exe", -1, -1, 0, 0, false},
                                {"calc", "c.exe", "", "c.exe", -1, -1, 0, 5, false}});
    const struct {
        const char *name;
        bool accepted;
        const char *action;
        bool existed;
    } steps[] = {
        {"CALC", true, "replace", true},  // the first: its name's case differs
        {"calc", true, "re-add", true},   // the second: its hot key is lost
        {"CALC", true, "unchanged", true},  // the first step's add, now first of the name
        {"New", true, "add", false},
        {"new", false, "fail", true},  // deleted, not added back
        {"NEW", true, "add", false},
    };
    for (const auto &s : steps) {
        ItemChange change = JudgeItem(&held, {s.name, "c.exe", "", "c.exe", -1, -1, 0, 0, false}, s.accepted);
        EXPECT_EQ(change.action, s.action) << s.name;
        EXPECT_EQ(change.existed, s.existed) << s.name;
    }
}

}  // namespace
