// The Program Manager's commands against a group store in a temporary
// directory, without a server: acknowledge and refuse rules, files on disk.
#include "commands.h"
#include "helpers.h"
#include "logfile.h"
#include "store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

bool Exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

class CommandsTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(store.Open(&error)) << error;
    }
    bool Run(const std::string &text) {
        std::string why;
        return ProgmanRunExecute(store, session, text, &why);
    }
    std::string Personal(const std::string &rest) { return dir.path() + "/Personal/" + rest; }
    std::string Common(const std::string &rest) { return dir.path() + "/Common/" + rest; }
    TempDir dir;
    GroupStore store{dir.path()};
    ProgmanSession session;
};

TEST_F(CommandsTest, AcknowledgesAndRefusesByTheRules) {
    const struct {
        const char *command;
        bool ack;
    } steps[] = {
        {"[AddItem(edit.exe, Editor)]", false},  // no active group
        {"[DeleteItem(Editor)]", false},
        {"[ShowGroup(Tools, 8,0)]", false},  // no such group
        {"[CreateGroup()]", false},
        {"[CreateGroup(,0)]", false},
        {"[CreateGroup(Tools,0)]", true},
        {"[ShowGroup(tools, 8,0)]", true},
        {"[ShowGroup(Tools, 8,1)]", false},  // the common group of that name does not exist
        {"[ShowGroup(Tools)]", false},
        {"[ShowGroup(Tools, x)]", false},
        {"[CreateGroup(TOOLS,0)]", true},  // activates the existing group, keeps its spelling
        {"[AddItem(edit.exe, Editor, edit.exe, 666)]", true},
        {"[AddItem(notepad.exe, EDITOR, notepad.exe, 667)]", true},  // replaces Editor
        {"[AddItem(x.exe, X, x.exe, seven)]", false},
        {"[DeleteItem(editor)]", true},
        {"[DeleteItem(editor)]", false},
        {"[createGROUP(Tools)][AddItem(a.exe, A)][Bogus(1)][AddItem(b.exe, B)]", false},  // stops at Bogus
        {"[CreateGroup(Tools,tools.grp,1)]", true},  // a common group, apart from the personal one
        {"[AddItem(c.exe, C)]", true},
        {"[DeleteGroup(TOOLS,1)]", true},
        {"[AddItem(d.exe, D)]", false},  // its active group is gone
        {"[DeleteGroup(Tools,1)]", false},
        {"[CreateGroup(a/b)][AddItem(C:\\PROGRA~1\\p.exe %1, \"p/q\")]", true},
        {"[AddItem(x.exe, \"tab\there\")]", false},  // control characters make no names
        {"[CreateGroup(Tools,abc)]", true},          // a non-number second argument is the group file
        {"[CreateGroup(Tools,x,y)]", false},
        {"[AddItem(\"\")]", false},
        {"[CreateGroup(Tools)][AddItem(\"C:\\bin\\Calc.EXE\")]", true},  // name and icon from the program
        {"[CreateGroup(x)", false},
        {"[AddItem(f.exe, F, f.exe, 0, 10, 20, C:\\w, 1345, 1)]", true},  // every field kept
        {"[AddItem(g.exe, G, g.exe, 0, -1, -1)]", true},                    // -1,-1: no place of its own
        {"[AddItem(h.exe, H, h.exe, 0, , , C:\\h)]", true},                // empty: 0,0
        {"[AddItem(i.exe, I, i.exe, 0, left, 20)]", false},
        {"[AddItem(i.exe, I, i.exe, 0, 1, 2, d, ctrl)]", false},
        {"[ExitProgman(1)]", true},
    };
    for (const auto &s : steps) EXPECT_EQ(Run(s.command), s.ack) << s.command;

    EXPECT_TRUE(session.exitRequested);
    EXPECT_TRUE(Exists(Personal("Tools/EDITOR.desktop")) == false);
    EXPECT_TRUE(Exists(Personal("Tools/A.desktop")));
    EXPECT_FALSE(Exists(Personal("Tools/B.desktop")));
    EXPECT_FALSE(Exists(Common("Tools")));
    EXPECT_TRUE(Exists(Personal("a%2Fb/p%2Fq.desktop")));
    EXPECT_FALSE(Exists(Personal("TOOLS")));

    std::vector<StoredGroup> groups = StoreList(dir.path(), SCOPE_PERSONAL);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].name, "a/b");
    ASSERT_EQ(groups[0].items.size(), 1u);
    EXPECT_EQ(groups[0].items[0].name, "p/q");
    EXPECT_EQ(groups[0].items[0].commandLine, "C:\\PROGRA~1\\p.exe %1");
    EXPECT_EQ(groups[1].name, "Tools");
    ASSERT_EQ(groups[1].items.size(), 5u);
    EXPECT_EQ(groups[1].items[0].name, "A");
    EXPECT_EQ(groups[1].items[1].name, "Calc");
    EXPECT_EQ(groups[1].items[1].iconFile, "C:\\bin\\Calc.EXE");
    const struct {
        bool placed;
        int x, y, hotKey;
        bool minimize;
        const char *dir;
    } kept[] = {{true, 10, 20, 1345, true, "C:\\w"}, {false, 0, 0, 0, false, ""}, {true, 0, 0, 0, false, "C:\\h"}};
    for (size_t k = 0; k < 3; k++) {
        const ProgramItem &item = groups[1].items[2 + k];
        EXPECT_EQ(item.placed, kept[k].placed) << item.name;
        EXPECT_EQ(item.x, kept[k].x) << item.name;
        EXPECT_EQ(item.y, kept[k].y) << item.name;
        EXPECT_EQ(item.hotKey, kept[k].hotKey) << item.name;
        EXPECT_EQ(item.minimize, kept[k].minimize) << item.name;
        EXPECT_EQ(item.workingDir, kept[k].dir) << item.name;
    }
}

TEST_F(CommandsTest, ReplacingKeepsOneItemInTheNewSpelling) {
    ASSERT_TRUE(Run("[CreateGroup(G)][AddItem(a.exe, editor, a.exe, 1)]"));
    ASSERT_TRUE(Run("[AddItem(b.exe /a /long /tail, Editor, b.exe, 2)]"));
    std::vector<StoredGroup> groups = StoreList(dir.path(), SCOPE_PERSONAL);
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].items.size(), 1u);
    EXPECT_EQ(groups[0].items[0].name, "Editor");
    EXPECT_EQ(groups[0].items[0].commandLine, "b.exe /a /long /tail");
    EXPECT_EQ(groups[0].items[0].iconIndex, 2);
    EXPECT_FALSE(Exists(Personal("G/editor.desktop")));
    // Deleted and added again, shorter: the new entry whole, nothing of the old one after it.
    ASSERT_TRUE(Run("[DeleteItem(EDITOR)][AddItem(c.exe, EDITOR, c.exe, 3)]"));
    EXPECT_EQ(ReadWholeFile(Personal("G/EDITOR.desktop")),
              FormatDesktopEntry(ProgramItem{"EDITOR", "c.exe", "c.exe", 3}));
}

// A written item's data is synced before its rename, so that a power cut
// leaves the old version or the new one; an item deleted and added again
// unchanged gets its own file back, and nothing is written or synced.
TEST_F(CommandsTest, ItemDataIsSyncedBeforeTheRenameUnlessUnchanged) {
    struct Sync {
        ino_t synced, named;  // the file synced, and the one named A.desktop then
        std::string content;
    };
    std::vector<Sync> syncs;
    store.syncData = [&](int fd) {
        struct stat st {}, named {};
        fstat(fd, &st);
        stat(Personal("G/A.desktop").c_str(), &named);
        syncs.push_back({st.st_ino, named.st_ino, ReadWholeFile("/proc/self/fd/" + std::to_string(fd))});
        return 0;
    };
    ASSERT_TRUE(Run("[CreateGroup(G)]"));
    const struct {
        const char *command;
        size_t syncs;
        bool sameFile;  // A.desktop is the file it was before
    } steps[] = {
        {"[AddItem(a.exe, A)]", 1, false},
        {"[DeleteItem(A)][AddItem(a.exe, A)]", 0, true},
        {"[DeleteItem(A)][AddItem(a2.exe /longer, A)]", 1, false},
        {"[DeleteItem(A)][AddItem(a.exe, A)]", 1, false},  // shorter: never written over in place
        {"[AddItem(a.exe, A)]", 1, false},
        {"[DeleteItem(A)][AddItem(x.exe, A)][DeleteItem(A)][AddItem(a.exe, A)]", 2, false},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.command);
        struct stat before {}, after {};
        stat(Personal("G/A.desktop").c_str(), &before);
        syncs.clear();
        ASSERT_TRUE(Run(s.command));
        ASSERT_EQ(stat(Personal("G/A.desktop").c_str(), &after), 0);
        EXPECT_EQ(syncs.size(), s.syncs);
        EXPECT_EQ(after.st_ino == before.st_ino, s.sameFile);
        for (const Sync &sync : syncs) EXPECT_NE(sync.synced, sync.named);  // not yet renamed into place
        if (!syncs.empty()) {
            EXPECT_EQ(syncs.back().synced, after.st_ino);
            EXPECT_EQ(syncs.back().content, ReadWholeFile(Personal("G/A.desktop")));
        }
    }
}

TEST_F(CommandsTest, ANewServerFindsWhatTheFilesHold) {
    ASSERT_TRUE(Run("[CreateGroup(Tools)][AddItem(a.exe, Alpha)][AddItem(b.exe, Beta)][CreateGroup(Old)]"));
    ASSERT_EQ(mkdir(Personal("Hand").c_str(), 0700), 0);  // made by hand while no server ran
    WriteWholeFile(Personal("Hand/Made.desktop"), "[Desktop Entry]\n");
    ASSERT_EQ(chmod(Personal("Hand/Made.desktop").c_str(), 0600), 0);
    ASSERT_EQ(link(Personal("Hand/Made.desktop").c_str(), (dir.path() + "/elsewhere").c_str()), 0);
    GroupStore again(dir.path());
    std::string error;
    ASSERT_TRUE(again.Open(&error)) << error;
    ProgmanSession fresh;
    const struct {
        const char *command;
        bool ack;
    } steps[] = {
        {"[ShowGroup(TOOLS, 1)][DeleteItem(alpha)]", true},
        {"[DeleteItem(Alpha)]", false},
        {"[AddItem(b2.exe, BETA)]", true},  // replaces Beta
        {"[ShowGroup(hand, 1)][DeleteItem(made)]", true},
        {"[AddItem(new.exe, Made)]", true},
        {"[DeleteGroup(old)][ShowGroup(Old, 1)]", false},
    };
    for (const auto &s : steps) {
        std::string why;
        EXPECT_EQ(ProgmanRunExecute(again, fresh, s.command, &why), s.ack) << s.command << ": " << why;
    }
    EXPECT_FALSE(Exists(Personal("Tools/Alpha.desktop")));
    EXPECT_FALSE(Exists(Personal("Tools/Beta.desktop")));
    EXPECT_TRUE(Exists(Personal("Tools/BETA.desktop")));
    EXPECT_NE(ReadWholeFile(Personal("Hand/Made.desktop")).find("new.exe"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(dir.path() + "/elsewhere"), "[Desktop Entry]\n");  // its other name untouched
    EXPECT_FALSE(Exists(Personal("Old")));
}

TEST_F(CommandsTest, LeftoversOfAnInterruptedChangeAreCleared) {
    ASSERT_TRUE(Run("[CreateGroup(G)][AddItem(a.exe, A)]"));
    WriteWholeFile(Personal("G/.tmp-1-1"), "half written");
    ASSERT_EQ(mkdir(Personal(".deleted-1-1").c_str(), 0700), 0);
    std::string error;
    GroupStore again(dir.path());
    ASSERT_TRUE(again.Open(&error));
    EXPECT_FALSE(Exists(Personal(".deleted-1-1")));
    // A group's folder is read, and cleared, when a command first meets the group.
    std::string stored;
    ASSERT_TRUE(again.LookUpGroup(SCOPE_PERSONAL, "g", &stored, &error)) << error;
    EXPECT_FALSE(Exists(Personal("G/.tmp-1-1")));
    EXPECT_TRUE(Exists(Personal("G/A.desktop")));
    EXPECT_FALSE(again.DeleteItem(SCOPE_PERSONAL, "G", "B", &error));
    EXPECT_TRUE(again.DeleteItem(SCOPE_PERSONAL, "G", "a", &error)) << error;  // its items came in with it
}

// A group is described as its folder holds it now. One described before any
// command met it comes into the index then, cleared of leftovers, so that its
// items are found by name as a command would have found them.
TEST_F(CommandsTest, AGroupIsDescribedAsItsFolderHoldsIt) {
    using S = const std::string;
    const struct {
        const char *what;
        bool fresh;                    // a new store, which has not read the group's items yet
        void (*change)(S &personal);   // made by hand before the request
        const char *asked;
        const char *described;         // "name=command" of each item; null when there is no such group
        const char *passedOver;        // in what the store passed over, or ""
        const char *then = nullptr;    // a command acknowledged after
    } cases[] = {
        {"met by a command before", false, [](S &) {}, "g", "A=a.exe,b=b.exe", "", "[ShowGroup(G,1)][DeleteItem(B)]"},
        {"not met before", true, [](S &) {}, "G", "A=a.exe,b=b.exe", "", "[ShowGroup(G,1)][DeleteItem(B)]"},
        {"an item made by hand since it was met", false,
         [](S &p) { WriteWholeFile(p + "/G/C.desktop", FormatDesktopEntry(ProgramItem{"C", "c.exe", "c.exe", 0}), 0600); },
         "G", "A=a.exe,b=b.exe,C=c.exe", ""},
        {"a link planted as an item", true,
         [](S &p) { ASSERT_EQ(symlink("A.desktop", (p + "/G/Evil.desktop").c_str()), 0); }, "G", "A=a.exe,b=b.exe",
         "G/Evil.desktop is a symbolic link"},
        {"a FIFO as an item", true, [](S &p) { ASSERT_EQ(mkfifo((p + "/G/F.desktop").c_str(), 0600), 0); }, "G",
         "A=a.exe,b=b.exe", ""},
        {"a leftover of an interrupted change", true, [](S &p) { WriteWholeFile(p + "/G/.tmp-1-1", "half", 0600); },
         "G", "A=a.exe,b=b.exe", ""},
        {"no such group", true, [](S &) {}, "H", nullptr, ""},
        {"the folder a link", true,
         [](S &p) { ASSERT_EQ(rename((p + "/G").c_str(), (p + "/.G").c_str()), 0);
                    ASSERT_EQ(symlink(".G", (p + "/G").c_str()), 0); },
         "G", nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        std::string error, why;
        ProgmanSession session;
        auto store = std::make_unique<GroupStore>(root.path());
        ASSERT_TRUE(store->Open(&error)) << error;
        ASSERT_TRUE(ProgmanRunExecute(*store, session, "[CreateGroup(G)][AddItem(a.exe, A)][AddItem(b.exe, b)]", &why));
        if (c.fresh) {
            store = std::make_unique<GroupStore>(root.path());
            ASSERT_TRUE(store->Open(&error)) << error;
        }
        c.change(root / "Personal");
        StoredGroup group;
        auto described = std::async(std::launch::async, [&] { return store->DescribeGroup(SCOPE_PERSONAL, c.asked, &group, &error); });
        ASSERT_EQ(described.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "waited on a FIFO";
        ASSERT_EQ(described.get(), c.described != nullptr) << error;
        if (c.described == nullptr) continue;
        EXPECT_EQ(group.name, "G");
        std::string items;
        for (const ProgramItem &i : group.items) items += (items.empty() ? "" : ",") + i.name + "=" + i.commandLine;
        EXPECT_EQ(items, c.described);
        std::string passed;
        for (const std::string &p : store->TakePassedOver()) passed += p + "\n";
        EXPECT_EQ(passed.find(c.passedOver) != std::string::npos, true) << passed;
        EXPECT_FALSE(Exists(root / "Personal/G/.tmp-1-1"));
        if (c.then != nullptr) {
            ProgmanSession fresh;
            EXPECT_TRUE(ProgmanRunExecute(*store, fresh, c.then, &why)) << why;
        }
    }
}

// Puts a FIFO in place of each hidden file in dir (the spares of deleted items).
void FifosForSpares(const std::string &dir) {
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename(), fifo = dir + "/fifo";
        if (name[0] != '.') continue;
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ASSERT_EQ(rename(fifo.c_str(), entry.path().c_str()), 0);
    }
}

// Lets go an opener that waits for a reader of any FIFO under root.
void ReleaseFifos(const std::string &root) {
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_fifo()) close(open(entry.path().c_str(), O_RDONLY | O_NONBLOCK));
}

// Links and folders planted in a store (by another user while it was loose, or
// swapped in while it serves) are never followed: commands on them are refused
// with the reason, someone else's entries are no groups or items, and nothing
// outside the store changes. What a person changed by hand while it serves is
// followed where a command meets it, and a FIFO is never waited on.
TEST(StoreTest, PlantedLinksAndOthersEntriesAreNotFollowed) {
    using S = const std::string;
    const struct {
        const char *what;
        bool needsRoot;
        void (*plant)(S &personal, S &outside);  // after setup
        bool reopen;                           // a new store reads what was planted
        const char *command;
        bool ack;
        const char *why;
        const char *gone = nullptr;  // under personal, after the command
        const char *setup = "[CreateGroup(G)][AddItem(a.exe, A)]";
    } cases[] = {
        {"the group folder swapped for a link", false, [](S &p, S &o) { SwapForLink(p + "/G", o); }, false,
         "[ShowGroup(G,1)][AddItem(evil.exe, Evil)]", false, "G is a symbolic link"},
        {"the group folder swapped for a link, deleted", false, [](S &p, S &o) { SwapForLink(p + "/G", o); },
         false, "[DeleteGroup(G)]", false, "G is a symbolic link"},
        {"links inside the group folder, deleted", false,
         [](S &p, S &o) { SwapForLink(p + "/G/out", o); SwapForLink(p + "/G/keep.desktop", o + "/keep"); },
         false, "[DeleteGroup(G)]", true, ""},
        {"a link planted as a group", false, [](S &p, S &o) { SwapForLink(p + "/Evil", o); }, true,
         "[CreateGroup(Evil)]", false, "Evil is a symbolic link"},
        {"another user's group", true,
         [](S &p, S &) { mkdir((p + "/Evil").c_str(), 0777); PlantEvilItem(p + "/Evil/Evil.desktop", p + "/Evil"); },
         true, "[ShowGroup(Evil,1)]", false, "no group"},
        {"another user's item", true, [](S &p, S &) { PlantEvilItem(p + "/G/Evil.desktop", p + "/G/Evil.desktop"); },
         true, "[ShowGroup(G,1)][DeleteItem(Evil)]", false, "no item"},
        {"a group folder removed by hand, made again", false, [](S &p, S &) { RemoveTree(p + "/G"); }, false,
         "[CreateGroup(G)][AddItem(b.exe, B)]", true, ""},
        {"a group folder removed by hand, shown", false, [](S &p, S &) { RemoveTree(p + "/G"); }, false,
         "[ShowGroup(G,1)]", false, "no group G"},
        {"a group folder removed by hand, deleted", false, [](S &p, S &) { RemoveTree(p + "/G"); }, false,
         "[DeleteGroup(G)]", false, "no group G"},
        {"a group folder removed by hand, added to", false, [](S &p, S &) { RemoveTree(p + "/G"); }, false,
         "[AddItem(b.exe, B)]", false, "group G is gone"},
        {"a group folder removed by hand, added to a while after a group command", false,
         [](S &p, S &) {
             RemoveTree(p + "/G");
             std::this_thread::sleep_for(std::chrono::milliseconds(3));  // past what a group command's look stands for
         },
         false, "[AddItem(b.exe, B)]", false, "group G is gone", nullptr,
         "[CreateGroup(G)][AddItem(a.exe, A)][CreateGroup(G)]"},
        {"a group folder made by hand", false,
         [](S &p, S &) {
             mkdir((p + "/Hand").c_str(), 0700);
             WriteWholeFile(p + "/Hand/Made.desktop", "", 0600);
         },
         false,
         "[ShowGroup(Hand,1)][DeleteItem(Made)]", true, "", "Hand/Made.desktop"},
        {"an item file made by hand", false, [](S &p, S &) { WriteWholeFile(p + "/G/Hand.desktop", "", 0600); }, false,
         "[DeleteItem(Hand)]", true, "", "G/Hand.desktop"},
        {"a FIFO made as an item file", false, [](S &p, S &) { mkfifo((p + "/G/Fifo.desktop").c_str(), 0600); },
         false, "[DeleteItem(Fifo)][AddItem(f.exe, Fifo)]", false, "no item"},
        {"a FIFO in place of an item file", false,
         [](S &p, S &) { unlink((p + "/G/A.desktop").c_str()); mkfifo((p + "/G/A.desktop").c_str(), 0600); }, false,
         "[DeleteItem(A)][AddItem(b.exe, A)]", true, ""},
        {"a FIFO in place of a deleted item's spare", false, [](S &p, S &) { FifosForSpares(p + "/G"); }, false,
         "[AddItem(b.exe, A)]", true, "", nullptr, "[CreateGroup(G)][AddItem(a.exe, A)][DeleteItem(A)]"},
    };
    bool skipped = false;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) {
            skipped = true;
            continue;
        }
        TempDir root, outside;
        WriteWholeFile(outside / "keep", "kept\n", 0600);
        std::string error, why;
        ProgmanSession session;
        auto store = std::make_unique<GroupStore>(root.path());
        ASSERT_TRUE(store->Open(&error)) << error;
        ASSERT_TRUE(ProgmanRunExecute(*store, session, c.setup, &why)) << why;
        c.plant(root / "Personal", outside.path());
        if (c.reopen) {
            store = std::make_unique<GroupStore>(root.path());
            ASSERT_TRUE(store->Open(&error)) << error;
        }
        auto run = std::async(std::launch::async, [&] { return ProgmanRunExecute(*store, session, c.command, &why); });
        bool prompt = run.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        if (!prompt) ReleaseFifos(root.path());
        EXPECT_TRUE(prompt) << "waited on a FIFO";
        EXPECT_EQ(run.get(), c.ack) << why;
        if (!c.ack) {
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
        }
        if (c.gone != nullptr) {
            EXPECT_FALSE(Exists(root / ("Personal/" + std::string(c.gone))));
        }
        EXPECT_EQ(ReadWholeFile(outside / "keep"), "kept\n");
        EXPECT_FALSE(Exists(outside / "Evil.desktop"));
        for (const StoredGroup &g : StoreList(root.path(), SCOPE_PERSONAL))
            for (const ProgramItem &i : g.items) EXPECT_NE(i.commandLine, "/tmp/evil") << g.name;
    }
    if (skipped) GTEST_SKIP() << "planting another user's files needs root";
}

TEST_F(CommandsTest, ItemFilesPassTheDesktopEntryValidator) {
    if (system("command -v desktop-file-validate >/dev/null 2>&1") != 0) GTEST_SKIP() << "desktop-file-validate absent";
    ASSERT_TRUE(Run("[CreateGroup(G)]"
                    "[AddItem(edit.exe, Editor, edit.exe, 666)]"
                    "[AddItem(\"C:\\Program Files\\App (x86)\\a.exe\", \"Odd; name, really\", "
                    "\"C:\\icons\\a.ico\", -1)]"
                    "[AddItem(tool.exe /x 50% $HOME;rm `x` *?#~, Tool)]"
                    "[AddItem(sh -c 'echo $HOME|cat' >out, caf\xE9)]"
                    "[AddItem(x.exe, .dot)]"));
    std::vector<StoredGroup> groups = StoreList(dir.path(), SCOPE_PERSONAL);
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].items.size(), 5u);
    for (const char *file : {"Editor", "Odd; name, really", "Tool", "caf\xC3\xA9", "%2Edot"}) {
        std::string path = Personal(std::string("G/") + file + ".desktop");
        ASSERT_TRUE(Exists(path)) << path;
        std::string cmd = "desktop-file-validate '" + path + "' 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string output;
        char buffer[512];
        while (fgets(buffer, sizeof buffer, p) != nullptr) output += buffer;
        EXPECT_EQ(pclose(p), 0) << path << "\n" << output << ReadWholeFile(path);
        EXPECT_EQ(output, "") << ReadWholeFile(path);
    }
}

}  // namespace

namespace {

TEST(LogFileTest, RotatesPastItsLimitKeepingOneOldFile) {
    TempDir dir;
    const std::string path = dir.path() + "/journal.log";
    const struct {
        int lines;
        bool rotated;
    } cases[] = {{2, false}, {4, true}, {12, true}};  // each line is 39 bytes; the limit is 100
    for (const auto &c : cases) {
        unlink(path.c_str());
        unlink((path + ".1").c_str());
        {
            LogFile log(path, 100);
            for (int i = 0; i < c.lines; i++) ASSERT_TRUE(log.Append("line " + std::to_string(100 + i)));
            EXPECT_TRUE(log.Sync());
        }
        std::vector<std::string> lines = ReadLines(path + ".1"), current = ReadLines(path);
        EXPECT_EQ(!lines.empty(), c.rotated) << c.lines;
        EXPECT_LE(ReadWholeFile(path).size(), 100u + 39u);
        lines.insert(lines.end(), current.begin(), current.end());
        // The newest lines survive, in order, each time-stamped.
        ASSERT_FALSE(lines.empty());
        for (size_t i = 0; i < lines.size(); i++) {
            std::string expected = "\tline " + std::to_string(100 + c.lines - lines.size() + i);
            ASSERT_GE(lines[i].size(), expected.size());
            EXPECT_EQ(lines[i].substr(lines[i].size() - expected.size()), expected);
            EXPECT_EQ(lines[i].size(), 38u) << lines[i];
        }
    }
}

// A power cut can leave a log's tail unwritten (NUL bytes) or a line cut
// short: opening it cuts back to the last whole line, so appended lines never
// follow a hole.
TEST(LogFileTest, OpeningCutsATornTailBackToTheLastWholeLine) {
    const std::string nuls(5000, '\0');
    const struct {
        std::string before, kept;
    } cases[] = {
        {"", ""},
        {"a\nb\n", "a\nb\n"},
        {"a\nb\n" + nuls, "a\nb\n"},
        {"a\nb\nhal", "a\nb\n"},
        {"a\n" + nuls + "c\n", "a\n"},
        {std::string(70000, 'x') + "\n" + nuls, std::string(70000, 'x') + "\n"},
        {nuls, ""},
    };
    for (const auto &c : cases) {
        TempDir dir;
        const std::string path = dir / "journal.log";
        WriteWholeFile(path, c.before, 0600);
        LogFile log(path);
        std::string problem;
        ASSERT_TRUE(log.Open(&problem)) << problem;
        EXPECT_EQ(log.TakeTrimmed(), static_cast<int64_t>(c.before.size() - c.kept.size()));
        ASSERT_TRUE(log.Append("next"));
        std::string text = ReadWholeFile(path);
        ASSERT_GE(text.size(), c.kept.size());
        EXPECT_EQ(text.substr(0, c.kept.size()), c.kept);
        EXPECT_EQ(text.find('\0'), std::string::npos);
        std::string added = text.substr(c.kept.size());  // one whole line
        EXPECT_EQ(added.find('\n'), added.size() - 1) << added;
        EXPECT_EQ(added.substr(added.find('\t')), "\tnext\n");
    }
}

// The flusher gets the log's lines by descriptor: the file written is the one
// flushed even when it was renamed away (rotated) before the flush.
TEST(LogFileTest, HandsItsUnsyncedLinesOverByDescriptor) {
    TempDir dir;
    LogFile log(dir / "journal.log");
    EXPECT_EQ(log.TakeUnsynced(), -1);
    ASSERT_TRUE(log.Append("line"));
    FlushBatch batch;
    batch.files.push_back({log.TakeUnsynced(), "journal.log"});
    EXPECT_EQ(log.TakeUnsynced(), -1);
    ASSERT_EQ(rename((dir / "journal.log").c_str(), (dir / "journal.log.1").c_str()), 0);
    struct stat held {}, moved {};
    ASSERT_EQ(fstat(batch.files[0].fd, &held), 0);
    ASSERT_EQ(stat((dir / "journal.log.1").c_str(), &moved), 0);
    EXPECT_EQ(held.st_ino, moved.st_ino);
    std::string error;
    EXPECT_TRUE(FlushPaths(batch, &error)) << error;
}

}  // namespace

namespace {

// The flusher opens only directories by name: a FIFO or a symlink where a
// group folder was is reported, never waited on or followed, whether the
// batch syncs each directory or (past a few) the file system whole.
TEST(FlusherTest, NeverWaitsOnAFifoOrFollowsALink) {
    const struct {
        const char *what;
        bool link, fifo;
        const char *says;
        int others = 0;  // good directories in the same batch
    } cases[] = {
        {"a FIFO", false, true, "Not a directory"},
        {"a link to a FIFO", true, true, "Not a directory"},
        {"a link to a directory", true, false, "Not a directory"},
        {"a FIFO among many", false, true, "Not a directory", 12},
        {"a link to a FIFO among many", true, true, "Not a directory", 12},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string item = dir / "G", target = c.link ? dir / "target" : item;
        if (c.fifo) ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        else ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
        if (c.link) {
            ASSERT_EQ(symlink(target.c_str(), item.c_str()), 0);
        }
        FlushBatch batch;
        for (int i = 0; i < c.others; i++) {
            batch.dirs.push_back(dir / ("other" + std::to_string(i)));
            ASSERT_EQ(mkdir(batch.dirs.back().c_str(), 0700), 0);
        }
        batch.dirs.push_back(item);
        auto flushed = std::async(std::launch::async, [&batch] {
            std::string error;
            bool ok = FlushPaths(batch, &error);
            return std::make_pair(ok, error);
        });
        bool prompt = flushed.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        if (!prompt) close(open(target.c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader stuck in open go
        auto [ok, error] = flushed.get();
        EXPECT_TRUE(prompt);
        EXPECT_FALSE(ok);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

}  // namespace
