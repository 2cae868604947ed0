// The product library's setup values over an in-memory registry.
#include "platform/productreg/productreg.h"

#include "fake_registry.h"

#include <gtest/gtest.h>

namespace {

const std::u16string SetupKey = u"SOFTWARE\\Pellor\\Setup";
const ULONG Untouched = 0xDEADBEEF;

struct Seed {
    const char16_t *name;
    DWORD type;
    std::vector<BYTE> data;
};

TEST(ProductReg, ReadsTheSetupKeysDwords) {
    const std::vector<BYTE> one = {1, 0, 0, 0}, two = {2, 0, 0, 0}, zero = {0, 0, 0, 0};
    struct Case {
        const char *name;
        std::vector<Seed> seeds;  // values of the Setup key; none: no key at all
        BOOLEAN appServer, versionRead;
        ULONG version;
    } cases[] = {
        {"no Setup key", {}, FALSE, FALSE, Untouched},
        {"an application server of version 2", {{u"AppServer", REG_DWORD, one}, {u"SystemVersion", REG_DWORD, two}},
         TRUE, TRUE, 2},
        {"names ignore case", {{u"APPSERVER", REG_DWORD, one}, {u"systemversion", REG_DWORD, two}}, TRUE, TRUE, 2},
        {"AppServer zero", {{u"AppServer", REG_DWORD, zero}, {u"SystemVersion", REG_DWORD, zero}}, FALSE, TRUE, 0},
        {"any non-zero AppServer", {{u"AppServer", REG_DWORD, {0, 0, 0, 0x80}}}, TRUE, FALSE, Untouched},
        {"AppServer as text", {{u"AppServer", REG_SZ, {'1', 0, 0, 0}}}, FALSE, FALSE, Untouched},
        {"values as binary", {{u"AppServer", REG_BINARY, one}, {u"SystemVersion", REG_BINARY, two}}, FALSE, FALSE,
         Untouched},
        {"an empty SetupKey key", {{u"Other", REG_DWORD, one}}, FALSE, FALSE, Untouched},
        {"a short DWORD", {{u"AppServer", REG_DWORD, {1, 0}}, {u"SystemVersion", REG_DWORD, {2, 0}}}, FALSE, FALSE,
         Untouched},
        {"a long version", {{u"SystemVersion", REG_DWORD, {2, 0, 0, 0, 0, 0, 0, 0}}}, FALSE, FALSE, Untouched},
        {"a QWORD version", {{u"SystemVersion", REG_QWORD, {2, 0, 0, 0, 0, 0, 0, 0}}}, FALSE, FALSE, Untouched},
        {"the largest version", {{u"SystemVersion", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}}, FALSE, TRUE, 0xFFFFFFFF},
        {"a version with bytes in order", {{u"SystemVersion", REG_DWORD, {4, 3, 2, 1}}}, FALSE, TRUE, 0x01020304},
    };
    for (const Case &c : cases) {
        fakereg::Reset();
        for (const Seed &seed : c.seeds) fakereg::SetValue(HKEY_LOCAL_MACHINE, SetupKey, seed.name, seed.type, seed.data);
        EXPECT_EQ(RegSetupIsPellorAppServer(nullptr), c.appServer) << c.name;
        ULONG version = Untouched;
        EXPECT_EQ(RegGetPellorVersion(nullptr, &version), c.versionRead) << c.name;
        EXPECT_EQ(version, c.version) << c.name;
        EXPECT_EQ(fakereg::OpenHandles(), 0) << c.name;
    }
}

TEST(ProductReg, ReadsTheMachineRootItIsGiven) {
    fakereg::Reset();
    fakereg::SetDword(HKEY_LOCAL_MACHINE, SetupKey, u"AppServer", 0);
    fakereg::SetDword(HKEY_LOCAL_MACHINE, SetupKey, u"SystemVersion", 2);
    fakereg::SetDword(HKEY_USERS, u"Other\\" + SetupKey, u"AppServer", 1);
    fakereg::SetDword(HKEY_USERS, u"Other\\" + SetupKey, u"SystemVersion", 3);
    HKEY other = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"Other", 0, KEY_READ, &other), ERROR_SUCCESS);
    ULONG version = 0;
    EXPECT_TRUE(RegSetupIsPellorAppServer(other));
    EXPECT_TRUE(RegGetPellorVersion(other, &version));
    EXPECT_EQ(version, 3u);
    RegCloseKey(other);
}

TEST(ProductReg, AVersionNeedsAPlaceToGo) {
    fakereg::Reset();
    fakereg::SetDword(HKEY_LOCAL_MACHINE, SetupKey, u"SystemVersion", 2);
    EXPECT_FALSE(RegGetPellorVersion(nullptr, nullptr));
}

}  // namespace
