// Backups on the real file calls: names, whole writes, replacing, the default directory
// and its rotation, and the directories that cannot take a backup.
#include "backup/backup.h"

#include "run.h"  // TempDir, ReadWholeFile, WriteWholeFile

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Listing = std::map<std::string, std::string>;

// Each entry of dir: a file by its bytes, a link as "-> target", a directory as "/".
Listing List(const std::string &dir) {
    Listing found;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(dir, error)) {
        std::string name = entry.path().filename();
        if (entry.is_symlink())
            found[name] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            found[name] = "/";
        else
            found[name] = ReadWholeFile(entry.path());
    }
    return found;
}

// The old runs' files a default directory may hold: run n at 2026-01-<n> 10:00:00.
Listing OldRuns(int count) {
    Listing files;
    for (int n = 1; n <= count; n++) {
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "202601%02dT100000-%d", n, 100 + n);
        files[std::string("keys-") + stamp + ".reg"] = "k";
        if (n % 2 == 0) files[std::string("icons-") + stamp + ".pmc"] = "i";
    }
    return files;
}

// Names a backup of ours never has, which no rotation may touch.
const Listing Foreign = {
    {"notes.txt", "n"},
    {"keys-20200101T000000-1.reg.tmp", "t"},
    {"Keys-20200101T000000-1.reg", "K"},
    {"keys-2020-1.reg", "s"},
    {"keys-20190101T000000-9.reg", "/"},
};

void Plant(const std::string &dir, const Listing &files) {
    fs::create_directories(dir);
    for (const auto &[name, content] : files) {
        if (content == "/")
            fs::create_directory(dir + "/" + name);
        else
            WriteWholeFile(dir + "/" + name, content);
    }
}

struct Write {
    const char *kind, *extension, *bytes;
};

TEST(Backup, WritesWholeFilesWhereTheRunSays) {
    TempDir machine;
    setenv("PELLOR_MACHINE", machine.path().c_str(), 1);
    const std::string named = machine / "named", defaultDir = machine / "backup", outside = machine / "outside";
    const Listing oldRuns = OldRuns(25);
    Listing keptRuns = OldRuns(25);
    for (int n = 1; n <= 6; n++) {  // the six oldest go: 19 stay beside this run
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "202601%02dT100000-%d", n, 100 + n);
        keptRuns.erase(std::string("keys-") + stamp + ".reg");
        keptRuns.erase(std::string("icons-") + stamp + ".pmc");
    }
    auto with = [](Listing a, const Listing &b) {
        a.insert(b.begin(), b.end());
        return a;
    };

    struct Case {
        const char *label;
        const char *backup;  // PELLOR_BACKUP, null for unset
        std::function<void()> prepare;
        std::vector<Write> writes;
        bool wanted, written;  // the last write's result
        const char *error;
        std::string dir;       // where to look afterwards
        Listing files;         // "@" stands for this run's <time>-<pid>
        std::string mode = ""; // of dir, when it matters
    } cases[] = {
        {"a named directory gets the file by kind, time and id, with the bytes and nothing else",
         named.c_str(), [&] { fs::create_directory(named); }, {{"keys", ".reg", "Windows Registry Editor"}}, true, true, "", named,
         {{"keys-@.reg", "Windows Registry Editor"}}},
        {"a second write of a kind replaces the first; another kind has its own file of the same run",
         named.c_str(), [&] { fs::create_directory(named); },
         {{"icons", ".pmc", "one"}, {"keys", ".reg", "k"}, {"icons", ".pmc", "two, longer"}}, true, true, "", named,
         {{"icons-@.pmc", "two, longer"}, {"keys-@.reg", "k"}}},
        {"links planted at the file and its temporary name are replaced, not followed", named.c_str(),
         [&] {
             fs::create_directory(named);
             WriteWholeFile(outside, "theirs");
             std::string path, error;
             ASSERT_TRUE(BackupWrite("keys", ".reg", "k", 1, &path, &error)) << error;
             std::string stem = path.substr(0, path.size() - 4);  // .../keys-<stamp>
             std::string icons = named + "/icons" + stem.substr(stem.rfind('-', stem.rfind('-') - 1));
             fs::create_symlink(outside, icons + ".pmc");
             fs::create_symlink(outside, icons + ".pmc.tmp");
         },
         {{"icons", ".pmc", "ours"}}, true, true, "", named, {{"icons-@.pmc", "ours"}, {"keys-@.reg", "k"}}},
        {"off, in any case: nothing wanted and nothing written", "OFF", [&] { fs::create_directory(named); },
         {{"keys", ".reg", "k"}}, false, false, "The request is not supported.", named, {}},
        {"a named directory must exist: it is not made", named.c_str(), [] {}, {{"keys", ".reg", "k"}}, true, false,
         "The system cannot find the path specified.", machine.path(), {}},
        {"a named path that is a file", named.c_str(), [&] { WriteWholeFile(named, "file"); },
         {{"keys", ".reg", "k"}}, true, false, "The directory name is invalid.", machine.path(), {{"named", "file"}}},
        {"a write cut short by the file size limit leaves nothing behind", named.c_str(),
         [&] { fs::create_directory(named); }, {{"keys", ".reg", "more than the limit of sixteen bytes"}}, true, false,
         "The file size exceeds the limit allowed and cannot be saved.", named, {}},
        {"the default folder that cannot be made: a file is in its place", nullptr,
         [&] { WriteWholeFile(defaultDir, "file"); }, {{"keys", ".reg", "k"}}, true, false, "Access is denied.",
         machine.path(), {{"backup", "file"}}},
        {"the default folder is made private and keeps the 20 newest runs, and nothing of another form is touched",
         nullptr,
         [&] {
             Plant(defaultDir, with(oldRuns, Foreign));
             chmod(defaultDir.c_str(), 0755);
         },
         {{"keys", ".reg", "k"}}, true, true, "", defaultDir, with(with(keptRuns, Foreign), {{"keys-@.reg", "k"}}),
         "700"},
        {"a named directory is never tidied", named.c_str(), [&] { Plant(named, oldRuns); }, {{"keys", ".reg", "k"}},
         true, true, "", named, with(oldRuns, {{"keys-@.reg", "k"}})},
    };
    for (const Case &c : cases) {
        fs::remove_all(named);
        fs::remove_all(defaultDir);
        fs::remove_all(outside);
        if (c.backup != nullptr)
            setenv("PELLOR_BACKUP", c.backup, 1);
        else
            unsetenv("PELLOR_BACKUP");
        BackupForgetRun();
        c.prepare();
        EXPECT_EQ(BackupWanted(), c.wanted) << c.label;
        bool cut = std::string(c.label).find("size limit") != std::string::npos;
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        if (cut) {
            rlimit limit = saved;
            limit.rlim_cur = 16;
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        bool written = false;
        std::string path, error;
        for (const Write &w : c.writes) written = BackupWrite(w.kind, w.extension, w.bytes, std::strlen(w.bytes), &path,
                                                 &error);
        if (cut) setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(written, c.written) << c.label;
        EXPECT_EQ(error, c.error) << c.label;

        // The run's stamp, from the path: <time>-<pid> of this process.
        std::string stamp = "?";
        if (written) {
            std::string name = path.substr(path.rfind('/') + 1);
            stamp = name.substr(name.find('-') + 1, name.rfind('.') - name.find('-') - 1);
            EXPECT_EQ(path.substr(0, path.rfind('/')), c.dir) << c.label;
            EXPECT_EQ(stamp.size(), 16 + std::to_string(getpid()).size()) << c.label;
            EXPECT_EQ(stamp.substr(8, 1) + stamp.substr(15), "T-" + std::to_string(getpid())) << c.label;
        }
        Listing expected;
        for (const auto &[name, content] : c.files) {
            std::string real = name;
            if (size_t at = real.find('@'); at != std::string::npos) real.replace(at, 1, stamp);
            expected[real] = content;
        }
        if (c.dir != machine.path()) {
            EXPECT_EQ(List(c.dir), expected) << c.label;
        } else {
            Listing seen = List(c.dir);
            EXPECT_EQ(seen.count("named") + seen.count("backup"), expected.size()) << c.label;
            for (const auto &[name, content] : expected) EXPECT_EQ(seen[name], content) << c.label;
        }
        if (!c.mode.empty()) {
            struct stat st {};
            EXPECT_EQ(stat(c.dir.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u) << c.label;
        }
        if (fs::exists(outside)) {
            EXPECT_EQ(ReadWholeFile(outside), "theirs") << c.label;
        }
    }
    unsetenv("PELLOR_BACKUP");
}

}  // namespace
