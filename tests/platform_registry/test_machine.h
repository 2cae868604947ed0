// A private emulated machine for one test, and small helpers over the registry calls.
#pragma once

#include "platform/win32.h"
#include "run.h"  // TempDir, ReadWholeFile, WriteWholeFile

#include <gtest/gtest.h>

#include <string>

// A fresh temporary machine directory: named by PELLOR_MACHINE for the
// programs a test starts, and given to the registry layer of this process.
// Removed, with everything in it, at the end of the test.
class TestMachine {
public:
    TestMachine();
    ~TestMachine();

    const std::string &dir() const { return dir_.path(); }
    std::string UserHive() const { return dir_ / "registry/user.db"; }
    std::string MachineHive() const { return dir_ / "registry/system.db"; }

private:
    TempDir dir_;
};

class RegistryTest : public ::testing::Test {
protected:
    TestMachine machine;
};

// Value bytes of a 16-bit string with its terminator.
std::string SzBytes(const std::u16string &s);

// Opens or creates a key with all access; fails the test (at the caller's line) otherwise.
HKEY CreateKey(HKEY root, const std::u16string &path);
// The value's type and bytes, or the error code in status.
struct ValueRead {
    LSTATUS status = ERROR_SUCCESS;
    DWORD type = 0;
    std::string data;
};
ValueRead ReadValue(HKEY key, const std::u16string &name);

// Another process holds the writers' lock file for holdMs (or until it is
// killed); returns once the lock is taken. The guard stops it by its pid.
void HoldWriteLock(const std::string &lockFile, int holdMs, ProcessGuard *guard);

// Adds a chain of depth keys, each named name, below the root of the hive file
// (which must exist), straight through SQLite: a tree as deep as an older
// version of the registry let one grow.
void PlantKeyChain(const std::string &hive, const std::string &name, int depth);
