// The class library over an in-memory registry.
#include "platform/classlib/classlib.h"

#include "fake_registry.h"

#include <gtest/gtest.h>

namespace {

const std::u16string Pellor = u"SYSTEM\\CurrentControlSet\\Control\\Pellor";

void SetText(DSTRING &s, const char16_t *text) { ASSERT_TRUE(s.Initialize(text, TO_END)); }

TEST(WString, TakesTheTextUpToItsEndOrTheGivenLength) {
    struct Case {
        const char16_t *text;
        LONG length;
        BOOLEAN result;
        std::u16string stored;
    } cases[] = {
        {u"Pellor", TO_END, TRUE, u"Pellor"},
        {u"Pellor", 3, TRUE, u"Pel"},
        {u"", TO_END, TRUE, u""},
        {nullptr, TO_END, TRUE, u""},
        {nullptr, 0, TRUE, u""},
        {nullptr, 4, FALSE, u""},
        {u"Pellor", -2, FALSE, u""},
    };
    for (const Case &c : cases) {
        DSTRING s;
        SetText(s, u"previous");
        EXPECT_EQ(s.Initialize(c.text, c.length), c.result) << c.length;
        EXPECT_EQ(std::u16string(s.GetWSTR()), c.stored) << c.length;
        EXPECT_EQ(s.QueryChCount(), c.stored.size()) << c.length;
    }
}

TEST(WString, CanBeSetFromItsOwnText) {
    DSTRING s;
    SetText(s, u"xPellor");
    EXPECT_TRUE(s.Initialize(s.GetWSTR() + 1, TO_END));
    EXPECT_EQ(std::u16string(s.GetWSTR()), u"Pellor");
}

TEST(RegistryKeyInfo, JoinsParentAndName) {
    struct Case {
        const char16_t *parent;  // null: none given
        const char16_t *name;
        BOOLEAN result;
        std::u16string path;
    } cases[] = {
        {u"SOFTWARE", u"Pellor", TRUE, u"SOFTWARE\\Pellor"},
        {u"SOFTWARE\\", u"Pellor", TRUE, u"SOFTWARE\\Pellor"},
        {u"", u"Pellor", TRUE, u"Pellor"},
        {nullptr, u"Pellor", TRUE, u"Pellor"},
        {u"SOFTWARE", u"", FALSE, u""},
    };
    for (const Case &c : cases) {
        DSTRING parent, name, cls;
        SetText(name, c.name);
        SetText(cls, u"CLASS");
        if (c.parent != nullptr) SetText(parent, c.parent);
        REGISTRY_KEY_INFO info;
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        EXPECT_EQ(info.Initialize(&name, c.parent != nullptr ? &parent : nullptr, 7, &cls, nullptr), c.result);
        EXPECT_EQ(info.IsInitialized(), c.result);
        if (c.result) {
            EXPECT_EQ(std::u16string(info.GetPath()), c.path);
            EXPECT_EQ(std::u16string(info.GetClass()), u"CLASS");
            EXPECT_EQ(info.QueryTitleIndex(), 7u);
        }
    }
}

TEST(Registry, OnlyThisMachinesRegistryCanBeOpened) {
    DSTRING empty, other;
    SetText(other, u"\\\\OTHER");
    struct Case {
        const WSTRING *machine;
        BOOLEAN result;
    } cases[] = {{nullptr, TRUE}, {&empty, TRUE}, {&other, FALSE}};
    for (const Case &c : cases) {
        REGISTRY registry;
        ULONG errorCode = 12345;
        EXPECT_EQ(registry.Initialize(c.machine, &errorCode), c.result);
        EXPECT_EQ(errorCode == ERROR_SUCCESS, c.result == TRUE);
    }
}

// The product key of a machine with obsolete entries and their neighbours.
void SeedMachine() {
    fakereg::Reset();
    fakereg::AddKey(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStations\\RDP\\Session");
    fakereg::SetDword(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStations\\RDP", u"Port", 1);
    fakereg::AddKey(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStationsKept");
    fakereg::SetDword(HKEY_LOCAL_MACHINE, Pellor, u"OemId", 1);
    fakereg::SetDword(HKEY_LOCAL_MACHINE, Pellor, u"Kept", 1);
    fakereg::SetDword(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStationsKept", u"OemId", 1);
    fakereg::AddKey(HKEY_CURRENT_USER, Pellor + u"\\WinStations");
}

struct Deletion {
    const char *name;
    PREDEFINED_KEY root;
    const char16_t *parent;
    const char16_t *entry;
    const char16_t *faultAt;  // below the product key ("" for itself), or null
    LONG fault;
    BOOLEAN result;
    ULONG errorCode;
    bool removed;  // the seeded WinStations key or OemId value of the machine is gone
    LONG entryLength = TO_END;
};

// Runs one deletion through fresh objects; the registry must hold no handle afterwards.
BOOLEAN Delete(const Deletion &d, BOOLEAN (REGISTRY::*remove)(PREDEFINED_KEY, const REGISTRY_KEY_INFO *,
                                                              const WSTRING *, ULONG *),
               ULONG *errorCode) {
    if (d.faultAt != nullptr) fakereg::FailAt(HKEY_LOCAL_MACHINE, Pellor + d.faultAt, d.fault);
    DSTRING parent, key, entry, cls;
    parent.Initialize(d.parent, TO_END);
    key.Initialize(u"Pellor", TO_END);
    entry.Initialize(d.entry, d.entryLength);
    cls.Initialize(u"CLASS", TO_END);
    REGISTRY_KEY_INFO info;
    EXPECT_TRUE(info.Initialize(&key, &parent, 0, &cls, nullptr));
    REGISTRY registry;
    EXPECT_TRUE(registry.Initialize(nullptr, errorCode));
    BOOLEAN result = (registry.*remove)(d.root, &info, &entry, errorCode);
    EXPECT_EQ(fakereg::OpenHandles(), 0) << d.name;
    return result;
}

TEST(Registry, DeleteKeyRemovesTheWholeSubkeyAndCountsAbsenceAsDone) {
    const char16_t *control = u"SYSTEM\\CurrentControlSet\\Control";
    const Deletion cases[] = {
        {"a subkey with subkeys", PREDEFINED_KEY_LOCAL_MACHINE, control, u"WinStations", nullptr, 0, TRUE, 0, true},
        {"names ignore case", PREDEFINED_KEY_LOCAL_MACHINE, control, u"winstations", nullptr, 0, TRUE, 0, true},
        {"an absent subkey", PREDEFINED_KEY_LOCAL_MACHINE, control, u"Dos", nullptr, 0, TRUE, 0, false},
        {"an absent product key", PREDEFINED_KEY_LOCAL_MACHINE, u"SOFTWARE", u"Compatibility", nullptr, 0, TRUE,
         0, false},
        {"the key cannot be opened", PREDEFINED_KEY_LOCAL_MACHINE, control, u"WinStations", u"",
         ERROR_ACCESS_DENIED, FALSE, ERROR_ACCESS_DENIED, false},
        {"the subkey cannot be deleted", PREDEFINED_KEY_LOCAL_MACHINE, control, u"WinStations", u"\\WinStations",
         ERROR_ACCESS_DENIED, FALSE, ERROR_ACCESS_DENIED, false},
        {"an empty subkey name", PREDEFINED_KEY_LOCAL_MACHINE, control, u"", nullptr, 0, FALSE,
         ERROR_INVALID_PARAMETER, false},
        {"a subkey name holding a NUL", PREDEFINED_KEY_LOCAL_MACHINE, control, u"WinStations\0Dos", nullptr, 0,
         FALSE, ERROR_INVALID_PARAMETER, false, 15},
        {"no such root", static_cast<PREDEFINED_KEY>(9), control, u"WinStations", nullptr, 0, FALSE,
         ERROR_INVALID_PARAMETER, false},
        {"another root", PREDEFINED_KEY_CURRENT_USER, control, u"WinStations", nullptr, 0, TRUE, 0, false},
    };
    for (const Deletion &d : cases) {
        SeedMachine();
        ULONG errorCode = 12345;
        EXPECT_EQ(Delete(d, &REGISTRY::DeleteKey, &errorCode), d.result) << d.name;
        EXPECT_EQ(errorCode, d.errorCode) << d.name;
        EXPECT_EQ(fakereg::HasKey(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStations"), !d.removed) << d.name;
        EXPECT_EQ(fakereg::HasKey(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStations\\RDP\\Session"), !d.removed);
        EXPECT_EQ(fakereg::HasKey(HKEY_CURRENT_USER, Pellor + u"\\WinStations"),
                  d.root != PREDEFINED_KEY_CURRENT_USER) << d.name;
        EXPECT_TRUE(fakereg::HasKey(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStationsKept")) << d.name;
        EXPECT_TRUE(fakereg::HasValue(HKEY_LOCAL_MACHINE, Pellor, u"Kept")) << d.name;
    }
}

TEST(Registry, DeleteValueEntryRemovesOnlyTheKeysOwnValue) {
    const char16_t *control = u"SYSTEM\\CurrentControlSet\\Control";
    const Deletion cases[] = {
        {"a value", PREDEFINED_KEY_LOCAL_MACHINE, control, u"OemId", nullptr, 0, TRUE, 0, true},
        {"names ignore case", PREDEFINED_KEY_LOCAL_MACHINE, control, u"OEMID", nullptr, 0, TRUE, 0, true},
        {"an absent value", PREDEFINED_KEY_LOCAL_MACHINE, control, u"OemName", nullptr, 0, TRUE, 0, false},
        {"an absent key", PREDEFINED_KEY_LOCAL_MACHINE, u"SOFTWARE", u"OemId", nullptr, 0, TRUE, 0, false},
        {"the key cannot be opened", PREDEFINED_KEY_LOCAL_MACHINE, control, u"OemId", u"", ERROR_ACCESS_DENIED,
         FALSE, ERROR_ACCESS_DENIED, false},
        {"the value cannot be deleted", PREDEFINED_KEY_LOCAL_MACHINE, control, u"OemId", u"|OemId",
         ERROR_ACCESS_DENIED, FALSE, ERROR_ACCESS_DENIED, false},
        {"a value name holding a NUL", PREDEFINED_KEY_LOCAL_MACHINE, control, u"OemId\0Name", nullptr, 0, FALSE,
         ERROR_INVALID_PARAMETER, false, 10},
    };
    for (const Deletion &d : cases) {
        SeedMachine();
        ULONG errorCode = 12345;
        EXPECT_EQ(Delete(d, &REGISTRY::DeleteValueEntry, &errorCode), d.result) << d.name;
        EXPECT_EQ(errorCode, d.errorCode) << d.name;
        EXPECT_EQ(fakereg::HasValue(HKEY_LOCAL_MACHINE, Pellor, u"OemId"), !d.removed) << d.name;
        EXPECT_TRUE(fakereg::HasValue(HKEY_LOCAL_MACHINE, Pellor + u"\\WinStationsKept", u"OemId")) << d.name;
        EXPECT_TRUE(fakereg::HasValue(HKEY_LOCAL_MACHINE, Pellor, u"Kept")) << d.name;
    }
}

}  // namespace
