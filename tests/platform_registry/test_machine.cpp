#include "test_machine.h"

#include "platform/posix/registry/registry_hooks.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <unistd.h>

namespace {

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

}  // namespace

TestMachine::TestMachine() {
    char pattern[] = "/tmp/pellor-registry-XXXXXX";
    const char *made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    dir_ = made ? made : "";
    setenv("PELLOR_MACHINE", dir_.c_str(), 1);
    RegistryUseMachineDir(dir_);
    RegistrySetBusyTimeout(5000);
}

TestMachine::~TestMachine() {
    RegistryUseMachineDir("");
    if (!dir_.empty()) nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

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

std::string ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
