// The clean-up against a scripted product library and class library.
#include "regclean/regclean.h"

#include "fakes.h"
#include "runlog/runlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

const std::u16string Control = u"SYSTEM\\CurrentControlSet\\Control";

fake::Removal Key(const std::u16string &parent, const std::u16string &name) {
    return {"DeleteKey", 2, parent, u"Pellor", u"CLASS", 0, false, name, true};
}

fake::Removal Value(const std::u16string &name) {
    return {"DeleteValueEntry", 2, Control, u"Pellor", u"CLASS", 0, false, name, true};
}

// The sixteen deletions of a run, in their order.
const std::vector<fake::Removal> AllRemovals = {
    Key(Control, u"DefaultUserConfiguration"),
    Key(Control, u"DefaultWinStationSecurity"),
    Key(Control, u"Dos"),
    Key(Control, u"Pds"),
    Key(Control, u"UserConfig"),
    Key(Control, u"Wds"),
    Key(Control, u"WinStations"),
    Key(u"SOFTWARE", u"Compatibility"),
    Value(u"FirstCountMsgQPeeksSleepBadApp"),
    Value(u"MsgQBadAppSleepTimeInMillisec"),
    Value(u"NthCountMsgQPeeksSleepBadApp"),
    Value(u"OemId"),
    Value(u"OemName"),
    Value(u"ProductName"),
    Value(u"ProductVersion"),
    Value(u"Version"),
};

class RegClean : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override { fake::Reset(); }
};

TEST_F(RegClean, MakesTheSixteenDeletionsInOrderThroughHeapObjects) {
    EXPECT_EQ(RemoveObsoleteRegistryEntries(), 0);
    EXPECT_EQ(fake::record.removals, AllRemovals);

    // Each deletion: four strings, set in the order parent, product key, entry, class.
    ASSERT_EQ(fake::record.stringInits.size(), 64u);
    const std::pair<std::u16string, LONG> firstStrings[] = {
        {Control, -1}, {u"Pellor", -1}, {u"DefaultUserConfiguration", -1}, {u"CLASS", -1}};
    for (size_t i = 0; i < 4; i++) EXPECT_EQ(fake::record.stringInits[i], firstStrings[i]) << i;
    for (const auto &init : fake::record.stringInits) EXPECT_EQ(init.second, TO_END);

    // Five objects per deletion from the process heap, kept: nothing freed or destroyed.
    ASSERT_EQ(fake::record.heapCalls.size(), 80u);
    for (size_t i = 0; i < 80; i++) {
        const fake::HeapCall &call = fake::record.heapCalls[i];
        SIZE_T size = i % 5 == 4 ? sizeof(REGISTRY_KEY_INFO) : sizeof(DSTRING);
        EXPECT_TRUE(call.processHeap && call.flags == 0 && call.bytes == size) << "allocation " << i;
    }
    EXPECT_EQ(fake::record.heapFrees, 0);
    EXPECT_EQ(fake::record.stringsDestroyed, 0);
    EXPECT_EQ(fake::record.keyInfosDestroyed, 0);
    EXPECT_EQ(fake::record.registriesBuilt, 16);
    EXPECT_EQ(fake::record.registriesDestroyed, 16);
    EXPECT_TRUE(fake::record.registryInitArgsSound);
}

TEST_F(RegClean, DeletesOnlyOnAnApplicationServerUpToVersionTwo) {
    struct Case {
        const char *name;
        BOOLEAN appServer, versionRead;
        ULONG version;
        int result;
        int versionCalls;
        size_t messageBoxes, removals;
        const char *reason;  // the run log's end line
    } cases[] = {
        {"not an application server", FALSE, TRUE, 2, 0, 0, 0, 0, "not an application server: nothing to remove"},
        {"version 2", TRUE, TRUE, 2, 0, 1, 0, 16, "all 16 obsolete entries removed or already absent"},
        {"version 0", TRUE, TRUE, 0, 0, 1, 0, 16, "all 16 obsolete entries removed or already absent"},
        {"version 3", TRUE, TRUE, 3, 0, 1, 0, 0, "system version 3 keeps its entries"},
        {"version 0xFFFFFFFF is above 2", TRUE, TRUE, 0xFFFFFFFFu, 0, 1, 0, 0, "system version 4294967295 keeps its entries"},
        {"version unreadable", TRUE, FALSE, 0, 2, 1, 1, 0,
         "could not get the system version number: SystemVersion is absent"},
    };
    for (const Case &c : cases) {
        fake::Reset();
        fake::script.appServer = c.appServer;
        fake::script.versionRead = c.versionRead;
        fake::script.version = c.version;
        EXPECT_EQ(RemoveObsoleteRegistryEntries(), c.result) << c.name;
        EXPECT_EQ(fake::record.appServerCalls, 1) << c.name;
        EXPECT_TRUE(fake::record.appServerArgNull) << c.name;
        EXPECT_EQ(fake::record.versionCalls, c.versionCalls) << c.name;
        EXPECT_TRUE(fake::record.versionArgsSound) << c.name;
        EXPECT_EQ(fake::record.messageBoxes.size(), c.messageBoxes) << c.name;
        EXPECT_EQ(fake::record.removals.size(), c.removals) << c.name;
        EXPECT_STREQ(RunLogExitReason(), c.reason) << c.name;
        if (c.removals == 0) {
            EXPECT_EQ(fake::record.registriesBuilt, 0) << c.name;
        }
    }
}

TEST_F(RegClean, AnUnreadableVersionIsReportedInOneMessageBox) {
    fake::script.versionRead = FALSE;
    EXPECT_EQ(RemoveObsoleteRegistryEntries(), 2);
    ASSERT_EQ(fake::record.messageBoxes.size(), 1u);
    const fake::MessageBoxCall &box = fake::record.messageBoxes[0];
    EXPECT_FALSE(box.owner);
    EXPECT_EQ(box.text, "Could not get System Version Number");
    EXPECT_EQ(box.caption, "Setup Error");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
}

TEST_F(RegClean, AnyFailedDeletionFailsTheRunAndTheRestStillRun) {
    typedef std::set<int> fake::Script::*Calls;
    struct Case {
        const char *name;
        Calls fails;  // the kind of call that fails, or null
        int call;     // which of them
        int result;
        size_t removals;  // of the sixteen, the ones that reached the library
    } cases[] = {
        {"all succeed", nullptr, 0, 0, 16},
        {"the first fails", &fake::Script::removeFails, 0, 2, 16},
        {"only the last fails", &fake::Script::removeFails, 15, 2, 16},
        {"the software key fails", &fake::Script::removeFails, 7, 2, 16},
        {"the registry cannot start", &fake::Script::registryInitFails, 0, 2, 15},
        {"a string cannot be allocated", &fake::Script::heapFails, 2, 2, 15},
        {"the key info cannot be allocated", &fake::Script::heapFails, 79, 2, 15},
        {"the key info cannot be set", &fake::Script::keyInfoInitFails, 15, 2, 15},
        {"an entry name cannot be set", &fake::Script::stringInitFails, 62, 2, 15},
    };
    for (const Case &c : cases) {
        fake::Reset();
        if (c.fails != nullptr) (fake::script.*c.fails).insert(c.call);
        EXPECT_EQ(RemoveObsoleteRegistryEntries(), c.result) << c.name;
        EXPECT_EQ(fake::record.removals.size(), c.removals) << c.name;
        EXPECT_EQ(fake::record.registriesBuilt, 16) << c.name;
        EXPECT_EQ(fake::record.registriesDestroyed, 16) << c.name;
        EXPECT_TRUE(fake::record.messageBoxes.empty()) << c.name;
    }
}

std::vector<std::string> LogLines;
void CaptureLine(const char *line) { LogLines.push_back(line); }

// Only a record asks whether an entry is there, and tells "removed" from "already absent".
TEST_F(RegClean, TheRunLogTellsEachEntrysOutcome) {
    const std::string dos = "registry key HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\Dos: ";
    const std::string oemId = "registry value HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor OemId: ";
    struct Case {
        const char *name;
        bool recording;
        std::set<std::u16string> absent;
        std::set<int> removeFails;
        std::string dosLine, oemIdLine;  // the lines of the third and the twelfth entry
        unsigned removed, gone, notRemoved;
        const char *reason;
    } cases[] = {
        {"all there", true, {}, {}, dos + "removed", oemId + "removed", 16, 0, 0,
         "all 16 obsolete entries removed or already absent"},
        {"a key and a value gone", true, {u"Dos", u"OemId"}, {}, dos + "already absent", oemId + "already absent", 14,
         2, 0, "all 16 obsolete entries removed or already absent"},
        {"a deletion refused", true, {}, {2}, dos + "could not remove (error 5: text of 5)", oemId + "removed", 15, 0,
         1, "1 of 16 obsolete entries could not be removed"},
        {"no record", false, {u"Dos"}, {}, "", "", 16, 0, 0, "all 16 obsolete entries removed or already absent"},
    };
    for (const Case &c : cases) {
        fake::Reset();
        LogLines.clear();
        RunLogBegin(c.recording ? CaptureLine : nullptr);
        fake::script.absent = c.absent;
        fake::script.removeFails = c.removeFails;
        RemoveObsoleteRegistryEntries();
        EXPECT_EQ(fake::record.probes, c.recording ? 16 : 0) << c.name;
        ASSERT_EQ(LogLines.size(), c.recording ? 16u : 0u) << c.name;
        if (c.recording) {
            EXPECT_EQ(LogLines[2], c.dosLine) << c.name;
            EXPECT_EQ(LogLines[11], c.oemIdLine) << c.name;
        }
        const RunLogTally &t = RunLogTallies();
        EXPECT_EQ(t.entries, 16u) << c.name;
        EXPECT_EQ(t.removed, c.removed) << c.name;
        EXPECT_EQ(t.absent, c.gone) << c.name;
        EXPECT_EQ(t.notRemoved, c.notRemoved) << c.name;
        EXPECT_STREQ(RunLogExitReason(), c.reason) << c.name;
    }
}

// Check mode deletes and writes nothing; a backup holds what exists of the entries, is written
// before the first deletion, and one that was asked for and cannot be written stops them all.
TEST_F(RegClean, CheckModeAndTheBackupComeBeforeAnyDeletion) {
    const std::string control = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Pellor";
    const std::set<std::u16string> all = {u"DefaultUserConfiguration", u"DefaultWinStationSecurity", u"Dos", u"Pds",
                                          u"UserConfig", u"Wds", u"WinStations", u"Compatibility",
                                          u"FirstCountMsgQPeeksSleepBadApp", u"MsgQBadAppSleepTimeInMillisec",
                                          u"NthCountMsgQPeeksSleepBadApp", u"OemId", u"OemName", u"ProductName",
                                          u"ProductVersion", u"Version"};
    struct Case {
        const char *name;
        bool check, wanted, writeFails;
        std::set<std::u16string> absent;
        std::map<std::u16string, LONG> openFails;
        int result;
        size_t removals, backups;
        std::vector<std::string> held, notHeld;  // text the backup has, and has not
        const char *reason;
    } cases[] = {
        {"check mode: nothing deleted and no backup, though one is wanted", true, true, false, {u"Dos", u"OemId"}, {},
         0, 0, 0, {}, {}, "check mode: 14 of 16 obsolete entries would be removed, nothing removed"},
        {"check mode: an entry that cannot be told fails the run", true, false, false, {}, {{u"Pds", ERROR_ACCESS_DENIED}},
         2, 0, 0, {}, {}, "check mode: 15 of 16 obsolete entries would be removed, nothing removed"},
        {"the backup holds what exists, its values under one key line, and comes first", false, true, false,
         {u"Dos", u"OemId"}, {}, 0, 16, 1,
         {control + "\\Wds]\r\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellor\\Compatibility]\r\n",
          control + "]\r\n\"FirstCountMsgQPeeksSleepBadApp\"=dword:0000002a\r\n\"MsgQBadAppSleepTimeInMillisec\"=dword:0000002a",
          "\"OemName\"=dword:0000002a"},
         {control + "\\Dos]", "OemId"},
         "all 16 obsolete entries removed or already absent"},
        {"nothing there: no backup file, the deletions as before", false, true, false, all, {}, 0, 16, 0, {}, {},
         "all 16 obsolete entries removed or already absent"},
        {"off: no backup", false, false, false, {}, {}, 0, 16, 0, {}, {},
         "all 16 obsolete entries removed or already absent"},
        {"a backup that cannot be written: nothing deleted", false, true, true, {}, {}, 2, 0, 0, {}, {},
         "cannot write the backup /b/keys-1.reg: There is no room."},
        {"an entry that cannot be read for the backup: nothing deleted", false, true, false, {},
         {{u"Pds", ERROR_ACCESS_DENIED}}, 2, 0, 0, {}, {},
         "cannot write the backup HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\Pds: text of 5"},
    };
    for (const Case &c : cases) {
        fake::Reset();
        if (c.check) setenv("PELLOR_CHECK", "1", 1);
        fake::script.backupWanted = c.wanted;
        fake::script.backupFails = c.writeFails;
        fake::script.absent = c.absent;
        fake::script.openFails = c.openFails;
        EXPECT_EQ(RemoveObsoleteRegistryEntries(), c.result) << c.name;
        unsetenv("PELLOR_CHECK");
        EXPECT_EQ(fake::record.removals.size(), c.removals) << c.name;
        ASSERT_EQ(fake::record.backups.size(), c.backups) << c.name;
        EXPECT_STREQ(RunLogExitReason(), c.reason) << c.name;
        if (c.backups == 0) continue;
        const fake::Backup &backup = fake::record.backups[0];
        EXPECT_EQ(backup.kind, "keys.reg") << c.name;
        EXPECT_EQ(backup.removalsBefore, 0u) << c.name;
        EXPECT_EQ(backup.text.substr(0, 39), "\xff" "Windows Registry Editor Version 5.00\r\n") << c.name;
        for (const std::string &text : c.held) EXPECT_NE(backup.text.find(text), std::string::npos) << c.name << ": " << text;
        for (const std::string &text : c.notHeld) EXPECT_EQ(backup.text.find(text), std::string::npos) << c.name << ": " << text;
        size_t valueKeyLines = 0;
        for (size_t at = backup.text.find(control + "]"); at != std::string::npos; at = backup.text.find(control + "]", at + 1))
            valueKeyLines++;
        EXPECT_EQ(valueKeyLines, 1u) << c.name;
    }
}

TEST_F(RegClean, AFailedAllocationStillTriesTheOtherStringsOfItsDeletion) {
    fake::script.heapFails = {0};
    EXPECT_EQ(DeleteRegistryKey(u"SOFTWARE", u"Pellor", u"Compatibility"), 2);
    EXPECT_EQ(fake::record.heapCalls.size(), 4u);  // the four strings, no key info
    EXPECT_EQ(fake::record.stringsBuilt, 3);
    EXPECT_TRUE(fake::record.removals.empty());
    EXPECT_EQ(fake::record.registriesDestroyed, 1);
}

}  // namespace
