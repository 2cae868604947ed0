// "upgrade /upgrade_keys" against the SQLite registry of a throw-away machine,
// seeded and inspected with the reg tool.
#include "run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string Control = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Pellor";
const std::string Software = "HKLM\\SOFTWARE\\Pellor";
const std::string SetupKey = Software + "\\Setup";

// The sixteen entries: keys (with something below them) and values of Control itself.
const std::vector<std::string> ObsoleteKeys = {
    Control + "\\DefaultUserConfiguration", Control + "\\DefaultWinStationSecurity", Control + "\\Dos",
    Control + "\\Pds", Control + "\\UserConfig", Control + "\\Wds", Control + "\\WinStations",
    Software + "\\Compatibility",
};
const std::vector<std::string> ObsoleteValues = {
    "FirstCountMsgQPeeksSleepBadApp", "MsgQBadAppSleepTimeInMillisec", "NthCountMsgQPeeksSleepBadApp",
    "OemId", "OemName", "ProductName", "ProductVersion", "Version",
};

// Neighbours that every run must leave: {key, value name or "" for the key itself}.
const std::vector<std::pair<std::string, std::string>> Neighbours = {
    {Control, "Kept"},
    {Control + "\\KeptKey", "OemId"},  // the same names one level down
    {Control + "\\KeptKey", "Version"},
    {Control + "\\WinStationsKept", ""},  // a name that starts like an obsolete one
    {Software, "Version"},                // an obsolete value name in the other branch
    {Software + "\\Kept", ""},
    {"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Other\\Dos", ""},
    {"HKCU\\SYSTEM\\CurrentControlSet\\Control\\Pellor\\Dos", ""},
    {"HKCU\\SYSTEM\\CurrentControlSet\\Control\\Pellor", "OemId"},
};

// Keys below obsolete keys, which go with them.
const std::vector<std::string> DeepKeys = {
    Control + "\\WinStations\\RDP-Tcp\\Modules",
    Control + "\\DefaultUserConfiguration\\Profiles",
    Software + "\\Compatibility\\Applications\\Editor",
};

// A throw-away machine, seeded, run and inspected through the real programs.
class Machine {
public:
    RunResult Run(const std::string &program, const std::vector<std::string> &args) {
        // No desktop: the message box has to be a text report the test can read.
        return RunProgram(program, args, {"PELLOR_MACHINE=" + dir_.path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    }

    RunResult Upgrade() { return Run(UPGRADE_PROGRAM, {"/upgrade_keys"}); }

    std::string MachineHive() const { return dir_ / "registry/system.db"; }
    std::string RunLog() const { return ReadWholeFile(dir_ / "upgrade.log"); }

    void Reg(const std::vector<std::string> &args) {
        RunResult r = Run(REG_PROGRAM, args);
        ASSERT_EQ(r.status, 0) << "reg " << args[0] << " " << args[1] << ": " << r.err;
    }

    void AddValue(const std::string &key, const std::string &name, const std::string &type,
                  const std::string &data) {
        Reg({"add", key, "/v", name, "/t", type, "/d", data, "/f"});
    }

    // Present: reg query finds the key, or the value when one is named.
    bool Present(const std::string &key, const std::string &value = "") {
        std::vector<std::string> args = {"query", key};
        if (!value.empty()) args.insert(args.end(), {"/v", value});
        RunResult r = Run(REG_PROGRAM, args);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << "reg query " << key << " " << value << ": " << r.err;
        return r.status == 0;
    }

    // The sixteen entries, the keys below them and every neighbour.
    void SeedEntries() {
        for (const std::string &key : ObsoleteKeys) AddValue(key, "Data", "REG_SZ", "x");
        for (const std::string &key : DeepKeys) AddValue(key, "Data", "REG_DWORD", "1");
        for (const std::string &value : ObsoleteValues) AddValue(Control, value, "REG_SZ", "x");
        for (const auto &[key, value] : Neighbours) {
            if (value.empty()) {
                Reg({"add", key, "/f"});
            } else {
                AddValue(key, value, "REG_SZ", "x");
            }
        }
    }

    // Expects the sixteen entries (and what lies below the keys) present or gone,
    // and every neighbour present.
    void ExpectEntries(bool present) {
        for (const std::string &key : ObsoleteKeys) EXPECT_EQ(Present(key), present) << key;
        for (const std::string &key : DeepKeys) EXPECT_EQ(Present(key), present) << key;
        for (const std::string &value : ObsoleteValues) EXPECT_EQ(Present(Control, value), present) << value;
        for (const auto &[key, value] : Neighbours) EXPECT_TRUE(Present(key, value)) << key << " " << value;
    }

private:
    TempDir dir_;
};

TEST(UpgradeKeys, RemovesTheObsoleteEntriesOfAVersionTwoServerAndOnlyThose) {
    Machine machine;
    machine.AddValue(SetupKey, "AppServer", "REG_DWORD", "1");
    machine.AddValue(SetupKey, "SystemVersion", "REG_DWORD", "2");
    machine.SeedEntries();
    machine.ExpectEntries(true);

    RunResult r = machine.Upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    machine.ExpectEntries(false);
    EXPECT_TRUE(machine.Present(Control));
    EXPECT_TRUE(machine.Present(SetupKey, "SystemVersion"));

    // Nothing is left to delete, and that is success.
    r = machine.Upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    machine.ExpectEntries(false);
}

TEST(UpgradeKeys, TheSetupValuesDecideWhetherAnythingIsDone) {
    struct Case {
        const char *name;
        const char *appServer;  // REG_DWORD data, or null for none
        const char *versionType;
        const char *version;    // null for none
        int status;
        bool deleted;
        bool message;
    } cases[] = {
        {"version 0", "1", "REG_DWORD", "0", 0, true, false},
        {"version 3", "1", "REG_DWORD", "3", 0, false, false},
        {"AppServer 0", "0", "REG_DWORD", "2", 0, false, false},
        {"no AppServer", nullptr, "REG_DWORD", "2", 0, false, false},
        {"no SystemVersion", "1", nullptr, nullptr, 2, false, true},
        {"SystemVersion as text", "1", "REG_SZ", "2", 2, false, true},
        {"SystemVersion as a QWORD", "1", "REG_QWORD", "2", 2, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        if (c.appServer != nullptr) machine.AddValue(SetupKey, "AppServer", "REG_DWORD", c.appServer);
        if (c.version != nullptr) machine.AddValue(SetupKey, "SystemVersion", c.versionType, c.version);
        machine.SeedEntries();

        RunResult r = machine.Upgrade();
        EXPECT_EQ(r.status, c.status) << r.err;
        // Without a desktop the message box is the caption and text on standard error.
        EXPECT_EQ(r.err, c.message ? "Setup Error: Could not get System Version Number\n" : "");
        EXPECT_EQ(r.out, "");
        machine.ExpectEntries(!c.deleted);
    }
}

// A local machine hive that cannot be read is not "not an application server":
// the run fails and the hive is left exactly as it was.
TEST(UpgradeKeys, ADamagedMachineHiveFailsTheRunAndDeletesNothing) {
    struct Case {
        const char *name;
        bool truncate;  // else the pages after the first are overwritten
    } cases[] = {
        {"truncated to half", true},
        {"pages overwritten", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        machine.AddValue(SetupKey, "AppServer", "REG_DWORD", "1");
        machine.AddValue(SetupKey, "SystemVersion", "REG_DWORD", "2");
        machine.SeedEntries();
        std::string hive = ReadWholeFile(machine.MachineHive());
        ASSERT_GT(hive.size(), 8192u);
        if (c.truncate) {
            hive.resize(hive.size() / 2);
        } else {
            hive.replace(4096, hive.size() - 4096, std::string(hive.size() - 4096, '\x5a'));
        }
        WriteWholeFile(machine.MachineHive(), hive);

        RunResult r = machine.Upgrade();
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err, "Setup Error: Could not get System Version Number\n");
        EXPECT_EQ(ReadWholeFile(machine.MachineHive()), hive);
        EXPECT_EQ(ReadWholeFile(machine.MachineHive() + "-wal"), "");  // nothing written beside it either
        // The run log says which file failed and why.
        EXPECT_NE(machine.RunLog().find("registry: hive " + machine.MachineHive() + " is damaged"), std::string::npos)
            << machine.RunLog();
    }
}

}  // namespace
