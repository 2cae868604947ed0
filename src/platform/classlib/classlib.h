// The registry and string class library: the objects the registry clean-up drives
// (REGISTRY, REGISTRY_KEY_INFO, DSTRING, WSTRING), written over the Win32 registry
// calls so that the same code runs on Windows and on the posix layer. Truth values
// are one byte wide (BOOLEAN), as the clean-up expects of this library.
#pragma once

#include "platform/win32.h"

// The length that asks WSTRING::Initialize for the whole text up to its NUL.
const LONG TO_END = -1;

// A wide (16-bit) string, kept NUL-terminated in a buffer of its own.
class WSTRING {
public:
    virtual ~WSTRING();

    // Replaces the text with the first length units of text, or all of it up to its
    // NUL when length is TO_END (a null text is empty). FALSE, and the string left
    // empty, when the length is negative or memory runs out.
    BOOLEAN Initialize(const WCHAR *text, LONG length);

    // The text, never null ("" until initialized).
    const WCHAR *GetWSTR() const;
    ULONG QueryChCount() const { return count_; }

protected:
    WSTRING();

private:
    WSTRING(const WSTRING &) = delete;
    WSTRING &operator=(const WSTRING &) = delete;

    WCHAR *text_;
    ULONG count_;
};

// The string objects callers construct: a WSTRING that owns its storage.
class DSTRING : public WSTRING {
public:
    DSTRING();
    ~DSTRING() override;
};

// The roots of the registry, numbered as the Win32 predefined keys are. The fixed
// underlying type keeps a stray number a value that can be refused.
enum _PREDEFINED_KEY : LONG {
    PREDEFINED_KEY_CLASSES_ROOT = 0,
    PREDEFINED_KEY_CURRENT_USER = 1,
    PREDEFINED_KEY_LOCAL_MACHINE = 2,
    PREDEFINED_KEY_USERS = 3,
};
typedef enum _PREDEFINED_KEY PREDEFINED_KEY;

// The description of one key: its name below its parent's path (both relative to a
// root chosen when the key is used), its class and title index.
class REGISTRY_KEY_INFO {
public:
    REGISTRY_KEY_INFO();
    virtual ~REGISTRY_KEY_INFO();

    // Describes the key keyName below parentName (null or empty: directly below the
    // root). FALSE when the key name is missing or empty, or memory runs out.
    BOOLEAN Initialize(const WSTRING *keyName, const WSTRING *parentName, ULONG titleIndex,
                       const WSTRING *className, PSECURITY_ATTRIBUTES security);

    // The key's path from its root: "parent\name", or "name" directly below the root.
    const WCHAR *GetPath() const { return path_.GetWSTR(); }
    const WCHAR *GetClass() const { return class_.GetWSTR(); }
    ULONG QueryTitleIndex() const { return titleIndex_; }
    BOOLEAN IsInitialized() const { return initialized_; }

private:
    REGISTRY_KEY_INFO(const REGISTRY_KEY_INFO &) = delete;
    REGISTRY_KEY_INFO &operator=(const REGISTRY_KEY_INFO &) = delete;

    DSTRING path_;
    DSTRING class_;
    ULONG titleIndex_;
    BOOLEAN initialized_;
};

// One machine's registry. Each operation opens what it needs and closes it again,
// so an object holds no handle between calls.
class REGISTRY {
public:
    REGISTRY();
    virtual ~REGISTRY();

    // Attaches the object to the registry of the machine named (null or empty: this
    // machine). FALSE for another machine: there is no remote registry service here.
    BOOLEAN Initialize(const WSTRING *machineName, ULONG *errorCode);

    // Removes the subkey subkeyName of the key described by key, with every key and
    // value below it. A subkey (or key) that does not exist counts as removed.
    BOOLEAN DeleteKey(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, const WSTRING *subkeyName,
                      ULONG *errorCode);

    // Removes the value valueName of the key described by key (not of its subkeys).
    // A value (or key) that does not exist counts as removed.
    BOOLEAN DeleteValueEntry(PREDEFINED_KEY root, const REGISTRY_KEY_INFO *key, const WSTRING *valueName,
                             ULONG *errorCode);

private:
    REGISTRY(const REGISTRY &) = delete;
    REGISTRY &operator=(const REGISTRY &) = delete;

    BOOLEAN initialized_;
};
