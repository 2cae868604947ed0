// The registry calls against their Windows semantics.
#include "platform/posix/registry/registry_hooks.h"
#include "test_machine.h"

#include <sqlite3.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD length = 256;
        LSTATUS status = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, length);
    }
}

std::vector<std::u16string> ValueNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD length = 256;
        LSTATUS status = RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, length);
    }
}

LSTATUS SetBytes(HKEY key, const std::u16string &name, DWORD type, const std::string &data) {
    return RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                          static_cast<DWORD>(data.size()));
}

std::string Dword(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

// A key path of depth components, each named name.
std::u16string Chain(const std::u16string &name, int depth) {
    std::u16string path = name;
    for (int i = 1; i < depth; i++) path += u"\\" + name;
    return path;
}

TEST_F(RegistryTest, CreateKeyPathsAsWindows) {
    struct Case {
        std::u16string path;
        LSTATUS status;
        DWORD disposition;
    } cases[] = {
        {u"Software\\Pellor\\UPGRADE", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
        {u"Software\\Pellor\\UPGRADE", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {u"software\\PELLOR\\upgrade", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {u"Software\\Pellor\\UPGRADE\\", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {u"Software\\\\Pellor\\UPGRADE", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {u"", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {u"Software\\Caf\u00E9\\\u0416", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
        {u"SOFTWARE\\CAF\u00C9\\\u0436", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {u"Software\\a/b", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
        {u"\\Software", ERROR_BAD_PATHNAME, 0},
        {u"Software\\" + std::u16string(256, u'x'), ERROR_INVALID_PARAMETER, 0},
        {Chain(u"Deep", 512), ERROR_SUCCESS, REG_CREATED_NEW_KEY},  // as deep as Windows lets a tree grow
        {Chain(u"Deep", 513), ERROR_INVALID_PARAMETER, 0},          // one level more is refused
    };
    for (const Case &c : cases) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, c.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &key, &disposition);
        EXPECT_EQ(status, c.status) << std::string(c.path.begin(), c.path.end());
        if (status == ERROR_SUCCESS) {
            EXPECT_EQ(disposition, c.disposition) << std::string(c.path.begin(), c.path.end());
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        } else {
            EXPECT_EQ(key, nullptr);
        }
    }
    HKEY software = CreateKey(HKEY_CURRENT_USER, u"Software");
    // A slash is part of a name, and the first spelling of a name is kept.
    EXPECT_EQ(SubkeyNames(software), (std::vector<std::u16string>{u"a/b", u"Caf\u00E9", u"Pellor"}));
    RegCloseKey(software);
}

TEST_F(RegistryTest, CreateKeyExAWritesTheIconVersionMark) {
    // The version mark's exact calls.
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pellor\\UPGRADE", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetBytes(key, u"IconVersion", REG_SZ, SzBytes(u"old")), ERROR_SUCCESS);
    DWORD version = 2;
    EXPECT_EQ(RegSetValueExA(key, "IconVersion", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&version), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY check = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\pellor\\Upgrade", 0, KEY_READ, &check), ERROR_SUCCESS);
    ValueRead v = ReadValue(check, u"iconversion");
    EXPECT_EQ(v.status, ERROR_SUCCESS);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));  // overwritten with the new type
    EXPECT_EQ(v.data, Dword(2));
    RegCloseKey(check);
}

TEST_F(RegistryTest, OpenKeyResults) {
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Pellor"));
    struct Case {
        HKEY root;
        std::u16string path;
        LSTATUS status;
    } cases[] = {
        {HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Pellor", ERROR_SUCCESS},
        {HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\control\\PELLOR\\", ERROR_SUCCESS},
        {HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Missing", ERROR_FILE_NOT_FOUND},
        {HKEY_CURRENT_USER, u"SYSTEM\\CurrentControlSet", ERROR_FILE_NOT_FOUND},  // the hives are apart
        {HKEY_LOCAL_MACHINE, u"\\SYSTEM", ERROR_BAD_PATHNAME},
        {HKEY_CLASSES_ROOT, u"SYSTEM", ERROR_INVALID_HANDLE},
        {HKEY_USERS, u"", ERROR_INVALID_HANDLE},
        {reinterpret_cast<HKEY>(0x1234), u"SYSTEM", ERROR_INVALID_HANDLE},
        {nullptr, u"SYSTEM", ERROR_INVALID_HANDLE},
    };
    for (const Case &c : cases) {
        HKEY key = reinterpret_cast<HKEY>(1);
        EXPECT_EQ(RegOpenKeyExW(c.root, c.path.c_str(), 0, KEY_READ, &key), c.status)
            << std::string(c.path.begin(), c.path.end());
        if (c.status == ERROR_SUCCESS) {
            RegCloseKey(key);
        } else {
            EXPECT_EQ(key, nullptr);
        }
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, EveryValueTypeRoundTrips) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Types");
    struct Case {
        std::u16string name;
        DWORD type;
        std::string data;
    } cases[] = {
        {u"Sz", REG_SZ, SzBytes(u"Hello, World")},
        {u"EmptySz", REG_SZ, SzBytes(u"")},
        {u"Unterminated", REG_SZ, std::string("a\0b", 3)},
        {u"Expand", REG_EXPAND_SZ, SzBytes(u"%PATH%;C:\\bin")},
        {u"Multi", REG_MULTI_SZ, std::string("a\0\0\0b\0c\0\0\0\0\0", 12)},
        {u"Dword", REG_DWORD, Dword(0x12345678)},
        {u"BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\x12\x34\x56\x78", 4)},
        {u"Qword", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {u"Binary", REG_BINARY, std::string("\x00\xff\x10\x00\x7f", 5)},
        {u"EmptyBinary", REG_BINARY, std::string()},
        {u"None", REG_NONE, std::string()},
        {u"Link", REG_LINK, SzBytes(u"\\Registry\\Machine")},
        {u"Odd type", 0x12345, std::string("xyz")},
        {u"", REG_SZ, SzBytes(u"default")},
        {u"Name/with\tcontrol\x01" u"chars\u00E9", REG_SZ, SzBytes(u"x")},
        {u"Big", REG_BINARY, std::string(100000, '\x5a')},
    };
    for (const Case &c : cases) EXPECT_EQ(SetBytes(key, c.name, c.type, c.data), ERROR_SUCCESS);
    for (const Case &c : cases) {
        ValueRead v = ReadValue(key, c.name);
        EXPECT_EQ(v.status, ERROR_SUCCESS) << std::string(c.name.begin(), c.name.end());
        EXPECT_EQ(v.type, c.type) << std::string(c.name.begin(), c.name.end());
        EXPECT_EQ(v.data, c.data) << std::string(c.name.begin(), c.name.end());
    }
    std::vector<std::u16string> expected;
    for (const Case &c : cases) expected.push_back(c.name);
    EXPECT_EQ(ValueNames(key), expected);  // creation order
    RegCloseKey(key);
}

TEST_F(RegistryTest, QueryValueBufferRules) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Buffers");
    ASSERT_EQ(SetBytes(key, u"Str", REG_SZ, SzBytes(u"abcdef")), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, u"Raw", REG_SZ, std::string("a\0b\0", 4)), ERROR_SUCCESS);  // no terminator

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Str", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    BYTE small[4];
    size = sizeof small;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Str", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    BYTE buffer[16];
    std::memset(buffer, 0xdd, sizeof buffer);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(key, u"Raw", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 6), std::string("a\0b\0\0\0", 6));  // NT adds a terminator

    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Str", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"Str", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"Str", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);  // exists
    EXPECT_EQ(RegSetValueExW(key, u"Null", 0, REG_BINARY, nullptr, 4), 998);                       // ERROR_NOACCESS
    EXPECT_EQ(RegSetValueExW(key, u"Null", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, AnsiCallsConvertStringData) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Ansi");
    EXPECT_EQ(RegSetValueExA(key, "Str", 0, REG_SZ, reinterpret_cast<const BYTE *>("hello"), 6), ERROR_SUCCESS);
    ValueRead v = ReadValue(key, u"Str");
    EXPECT_EQ(v.data, SzBytes(u"hello"));  // stored as UTF-16

    ASSERT_EQ(SetBytes(key, u"Multi", REG_MULTI_SZ, std::string("a\0\0\0b\0c\0\0\0\0\0", 12)), ERROR_SUCCESS);
    char buffer[32];
    DWORD size = sizeof buffer, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "multi", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::string(buffer, size), std::string("a\0bc\0\0", 6));

    size = 3;
    EXPECT_EQ(RegQueryValueExA(key, "Multi", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Str", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);

    DWORD dword = 7;
    EXPECT_EQ(RegSetValueExA(key, "Dword", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dword), 4), ERROR_SUCCESS);
    DWORD read = 0;
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "DWORD", nullptr, &type, reinterpret_cast<LPBYTE>(&read), &size), ERROR_SUCCESS);
    EXPECT_EQ(read, 7u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    // A narrow string with bytes above ASCII comes back as it went in.
    const char latin[] = "caf\xe9";
    EXPECT_EQ(RegSetValueExA(key, latin, 0, REG_SZ, reinterpret_cast<const BYTE *>(latin), 5), ERROR_SUCCESS);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, latin, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), std::string(latin, 5));
    RegCloseKey(key);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndCasePreserving) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Case");
    ASSERT_EQ(SetBytes(key, u"IconVersion", REG_DWORD, Dword(1)), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, u"Other", REG_DWORD, Dword(5)), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, u"ICONVERSION", REG_DWORD, Dword(2)), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(key, u"iconversion").data, Dword(2));
    EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u"IconVersion", u"Other"}));  // place and spelling kept
    ASSERT_EQ(SetBytes(key, u"\u00C9t\u00E9", REG_DWORD, Dword(3)), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(key, u"\u00C9T\u00C9").data, Dword(3));
    EXPECT_EQ(ReadValue(key, u"\u00E9t\u00E9").data, Dword(3));
    EXPECT_EQ(ReadValue(key, u"Ete").status, ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DefaultValueHasAnEmptyName) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Default");
    EXPECT_EQ(ReadValue(key, u"").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(u"d"), 4), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(key, u"").data, SzBytes(u"d"));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(ValueNames(key), std::vector<std::u16string>{u""});
    EXPECT_EQ(RegDeleteValueW(key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u""), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteKeyRefusesKeysWithSubkeys) {
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pellor\\Compatibility\\Apps\\One"));
    struct Case {
        LPCWSTR path;
        LSTATUS status;
    } cases[] = {
        {u"SOFTWARE\\Pellor\\Compatibility", ERROR_ACCESS_DENIED},  // has a subkey, as NT refuses
        {u"SOFTWARE\\Pellor\\Compatibility\\Apps\\One", ERROR_SUCCESS},
        {u"SOFTWARE\\Pellor\\Compatibility\\Apps\\One", ERROR_FILE_NOT_FOUND},
        {u"software\\pellor\\compatibility\\apps", ERROR_SUCCESS},
        {u"SOFTWARE\\Pellor\\Compatibility", ERROR_SUCCESS},
        {u"SOFTWARE\\Pellor\\Missing", ERROR_FILE_NOT_FOUND},
        {u"\\SOFTWARE", ERROR_BAD_PATHNAME},
        {u"", ERROR_ACCESS_DENIED},  // the hive's root
        {nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, c.path), c.status);
    HKEY pellor = CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pellor");
    EXPECT_TRUE(SubkeyNames(pellor).empty());
    // An empty subkey name deletes the key of the handle itself.
    HKEY leaf = CreateKey(pellor, u"Leaf");
    ASSERT_EQ(SetBytes(leaf, u"v", REG_DWORD, Dword(1)), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(leaf, u""), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(leaf, u"v").status, ERROR_KEY_DELETED);
    RegCloseKey(leaf);
    RegCloseKey(pellor);
}

TEST_F(RegistryTest, DeleteTreeRemovesEverythingBelow) {
    HKEY control = CreateKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Pellor");
    for (const char16_t *path : {u"WinStations\\Console\\Tcp", u"WinStations\\RDP", u"Wds\\rdpwd\\Tds\\tcp"}) {
        HKEY sub = CreateKey(control, path);
        EXPECT_EQ(SetBytes(sub, u"Value", REG_SZ, SzBytes(path)), ERROR_SUCCESS);
        RegCloseKey(sub);
    }
    ASSERT_EQ(SetBytes(control, u"OemId", REG_SZ, SzBytes(u"x")), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteTreeW(control, u"winstations"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(control, u"WinStations"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SubkeyNames(control), std::vector<std::u16string>{u"Wds"});

    EXPECT_EQ(RegDeleteTreeW(control, nullptr), ERROR_SUCCESS);  // the contents go, the key stays
    EXPECT_TRUE(SubkeyNames(control).empty());
    EXPECT_TRUE(ValueNames(control).empty());
    EXPECT_EQ(ReadValue(control, u"OemId").status, ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SYSTEM"), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(control, u"OemId").status, ERROR_KEY_DELETED);
    RegCloseKey(control);

    // Trees deeper than a cascade in SQLite may go (1,000 levels), as an older version let them grow.
    PlantKeyChain(machine.MachineHive(), "Old", 2000);
    HKEY old = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Old", 0, KEY_ALL_ACCESS, &old), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(old, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(SubkeyNames(old).empty());
    RegCloseKey(old);
    PlantKeyChain(machine.MachineHive(), "Older", 2000);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Older"), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), std::vector<std::u16string>{u"Old"});
}

TEST_F(RegistryTest, EnumerationOrderAndBuffers) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Enum");
    for (const char16_t *name : {u"beta", u"Alpha", u"gamma", u"_under"}) RegCloseKey(CreateKey(key, name));
    EXPECT_EQ(SubkeyNames(key), (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma", u"_under"}));

    WCHAR name[8];
    DWORD length = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 6;
    WCHAR cls[4] = {u'x'};
    DWORD clsLength = 4;
    FILETIME written{};
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, cls, &clsLength, &written), ERROR_SUCCESS);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::u16string(name), u"Alpha");
    EXPECT_EQ(clsLength, 0u);
    EXPECT_NE(written.dwHighDateTime, 0u);
    length = 8;
    EXPECT_EQ(RegEnumKeyExW(key, 4, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExW(key, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(SetBytes(key, u"z", REG_SZ, SzBytes(u"long data")), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, u"a", REG_DWORD, Dword(1)), ERROR_SUCCESS);
    BYTE data[4];
    DWORD dataLength = sizeof data, type = 0;
    length = 8;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &length, nullptr, &type, data, &dataLength), ERROR_MORE_DATA);
    EXPECT_EQ(dataLength, 20u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    length = 8;
    dataLength = sizeof data;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &length, nullptr, &type, data, &dataLength), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"a");
    EXPECT_EQ(dataLength, 4u);
    length = 8;
    EXPECT_EQ(RegEnumValueW(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, HandlesToDeletedKeysAndBadHandles) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Gone");
    HKEY other = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Gone", 0, KEY_ALL_ACCESS, &other), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Gone"), ERROR_SUCCESS);
    WCHAR name[16];
    DWORD length = 16;
    HKEY sub = nullptr;
    EXPECT_EQ(SetBytes(other, u"v", REG_DWORD, Dword(1)), ERROR_KEY_DELETED);
    EXPECT_EQ(ReadValue(other, u"v").status, ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExW(other, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExW(other, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
    // A key created again under the same name is a new key: old handles stay dead.
    RegCloseKey(CreateKey(HKEY_CURRENT_USER, u"Software\\Gone"));
    EXPECT_EQ(ReadValue(key, u"v").status, ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x4321)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ReadValue(reinterpret_cast<HKEY>(0x4321), u"v").status, ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, AccessRightsOfAHandle) {
    RegCloseKey(CreateKey(HKEY_CURRENT_USER, u"Software\\Rights\\Existing"));
    HKEY read = nullptr, write = nullptr, sub = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Rights", 0, KEY_READ, &read), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Rights", 0, KEY_WRITE, &write), ERROR_SUCCESS);
    EXPECT_EQ(SetBytes(read, u"v", REG_DWORD, Dword(1)), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetBytes(write, u"v", REG_DWORD, Dword(1)), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(write, u"v").status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadValue(read, u"v").data, Dword(1));
    EXPECT_EQ(RegDeleteValueW(read, u"v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(read, u"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(read, u"Existing", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
    EXPECT_EQ(RegCreateKeyExW(write, u"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
    RegCloseKey(read);
    RegCloseKey(write);
}

TEST_F(RegistryTest, HivesAreFilesThatPersist) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pellor");
    ASSERT_EQ(SetBytes(key, u"Version", REG_DWORD, Dword(2)), ERROR_SUCCESS);
    RegCloseKey(key);
    RegCloseKey(CreateKey(HKEY_CURRENT_USER, u"Software\\Pellor\\UPGRADE"));
    EXPECT_FALSE(ReadWholeFile(machine.MachineHive()).empty());
    EXPECT_FALSE(ReadWholeFile(machine.UserHive()).empty());

    RegistryUseMachineDir(machine.dir());  // as a new process would see it
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pellor", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(key, u"Version").data, Dword(2));
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Pellor\\UPGRADE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

// Permission bits of path (not following a symlink), or -1 when it is missing.
int ModeOf(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// An empty hive in WAL mode, and beside it a -wal and -shm with that mode as a
// process leaves them: not empty, since SQLite gives an empty one the hive's mode itself.
void WalHiveWithLeftovers(const std::string &hive, int mode) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(hive.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "PRAGMA journal_mode = WAL; CREATE TABLE t(x); DROP TABLE t", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    WriteWholeFile(hive + "-wal", std::string(32, '\0'), mode);
    WriteWholeFile(hive + "-shm", std::string(32768, '\0'), mode);
}

// The registry directory is checked as the DDE directory is and every file in it
// is the user's alone: another local user can neither read nor replace a hive.
// Tightening takes bits away and never adds one; only a -wal or -shm narrower
// than its hive is given the hive's bits back.
TEST_F(RegistryTest, TheRegistryIsPrivate) {
    struct Case {
        const char *what;
        void (*prepare)(const std::string &registry);  // before the first call; registry is <machine>/registry
        LSTATUS create;
        bool needsRoot = false;  // read-only files: only root writes them, and they stay read-only
        int dirMode = 0700, fileMode = 0600;  // afterwards
    } cases[] = {
        {"a new machine", [](const std::string &) {}, ERROR_SUCCESS},
        {"a loose directory and hive",
         [](const std::string &r) {
             mkdir(r.c_str(), 0700);
             chmod(r.c_str(), 0777);
             WriteWholeFile(r + "/user.db", "", 0644);
         },
         ERROR_SUCCESS},
        {"the directory a symlink",
         [](const std::string &r) {
             mkdir((r + ".elsewhere").c_str(), 0700);
             ASSERT_EQ(symlink((r + ".elsewhere").c_str(), r.c_str()), 0);
         },
         ERROR_ACCESS_DENIED},
        {"the hive a symlink",
         [](const std::string &r) {
             mkdir(r.c_str(), 0700);
             WriteWholeFile(r + ".elsewhere", "");
             ASSERT_EQ(symlink((r + ".elsewhere").c_str(), (r + "/user.db").c_str()), 0);
         },
         ERROR_ACCESS_DENIED},
        {"everything read-only and loose",
         [](const std::string &r) {
             mkdir(r.c_str(), 0700);
             WalHiveWithLeftovers(r + "/user.db", 0444);
             chmod((r + "/user.db").c_str(), 0444);
             WriteWholeFile(r + "/user.db.lock", "", 0444);
             chmod(r.c_str(), 0555);
         },
         ERROR_SUCCESS, true, 0500, 0400},
        {"a -wal and -shm narrower than the hive, as a read of a read-only hive leaves them",
         [](const std::string &r) {
             mkdir(r.c_str(), 0700);
             WalHiveWithLeftovers(r + "/user.db", 0400);
         },
         ERROR_SUCCESS},
    };
    int n = 0;
    bool skipped = false;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) {
            skipped = true;
            continue;
        }
        std::string base = machine.dir() + "/m" + std::to_string(n++), registry = base + "/registry";
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
        c.prepare(registry);
        RegistryUseMachineDir(base);
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Private", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  c.create);
        if (c.create != ERROR_SUCCESS) {
            // Nothing was written through the link.
            struct stat st {};
            ASSERT_EQ(stat((registry + ".elsewhere").c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode) ? ModeOf(registry + ".elsewhere/user.db") == -1 : st.st_size == 0);
            continue;
        }
        ASSERT_EQ(SetBytes(key, u"Secret", REG_DWORD, Dword(7)), ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(ModeOf(registry), c.dirMode);
        for (const char *file : {"user.db", "user.db-wal", "user.db-shm", "user.db.lock"}) {
            EXPECT_EQ(ModeOf(registry + "/" + file), c.fileMode) << file;
        }
    }
    RegistryUseMachineDir(machine.dir());
    if (skipped) GTEST_SKIP() << "writing a read-only hive needs root";
}

}  // namespace
