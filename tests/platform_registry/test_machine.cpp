#include "test_machine.h"

#include "platform/posix/registry/registry_hooks.h"

#include <cstdlib>

TestMachine::TestMachine() {
    EXPECT_FALSE(dir().empty());
    setenv("PELLOR_MACHINE", dir().c_str(), 1);
    RegistryUseMachineDir(dir());
    RegistrySetBusyTimeout(5000);
}

// The registry lets go of the directory before the TempDir removes it.
TestMachine::~TestMachine() { RegistryUseMachineDir(""); }

std::string SzBytes(const std::u16string &s) {
    return std::string(reinterpret_cast<const char *>(s.c_str()), (s.size() + 1) * sizeof(char16_t));
}

HKEY CreateKey(HKEY root, const std::u16string &path) {
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS);
    return key;
}

ValueRead ReadValue(HKEY key, const std::u16string &name) {
    ValueRead r;
    DWORD size = 0;
    r.status = RegQueryValueExW(key, name.c_str(), nullptr, &r.type, nullptr, &size);
    if (r.status != ERROR_SUCCESS) return r;
    r.data.assign(size, '\0');
    r.status = RegQueryValueExW(key, name.c_str(), nullptr, &r.type, reinterpret_cast<LPBYTE>(r.data.data()), &size);
    r.data.resize(size);
    return r;
}
