// reg.exe's text: key paths, type names, the query display of value data, the
// /d data of reg add, error messages and the Yes/No prompt.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

// Command-line and console text is UTF-8 (WTF-8 for unpaired surrogates);
// bytes that are not UTF-8 stand for themselves.
std::u16string FromUtf8(const std::string &text);
std::string ToUtf8(const std::u16string &text);

struct KeyPath {
    HKEY root = nullptr;
    std::u16string sub;      // below the root, without a trailing backslash
    std::u16string display;  // long root name, as reg.exe prints it
};

// "HKCU\Software\Pellor" and the long forms, as reg.exe accepts them: a
// trailing backslash is dropped, "ROOT\" and a doubled trailing backslash are
// invalid, and only the emulated roots (HKLM, HKCU) are known.
bool ParseKeyPath(const std::u16string &text, KeyPath *out);
// A root name alone ("HKEY_CURRENT_USER", "HKLM"); null when unknown.
HKEY RootFromName(const std::u16string &name);
const char16_t *RootLongName(HKEY root);

// True when the name holds no NUL, so that its c_str() names it whole.
bool IsWholeName(const std::u16string &name);

// Registry names compared as Windows compares them (case-insensitively).
bool SameName(const std::u16string &a, const std::u16string &b);

// Where a type name is given: reg add's /t, or the /t of reg query's search.
enum class TypeUse { Add, Search };
// The type that name (REG_SZ, ..., in any case) stands for; false for a name
// that use does not take.
bool TypeFromName(const std::u16string &name, TypeUse use, DWORD *type);
// The name reg query prints for a type.
std::string TypeName(DWORD type);

// The data column of reg query: 0x2 for a DWORD, \0-joined strings for
// REG_MULTI_SZ, uppercase hex bytes for binary data.
std::string FormatData(DWORD type, const std::string &data);

// Converts reg add's /d text into value bytes by reg.exe's rules; false (with
// the error line to print) when the text does not fit the type.
bool ParseAddData(DWORD type, bool haveData, const std::u16string &text, char16_t separator, bool haveSeparator,
                  std::string *bytes, std::string *error);

// "ERROR: ..." text for a registry error code.
std::string ErrorText(LSTATUS code);

extern const char kSuccess[];   // "The operation completed successfully."
extern const char kNotFound[];  // "ERROR: The system was unable to find the specified registry key or value."

// Prints the prompt (which ends in "(Yes/No)? ") and reads answers from standard
// input until one starts with Y or N; the end of input counts as No.
bool Confirm(const std::string &prompt);

// UTF-16 code units as little-endian bytes and back (an odd last byte is dropped).
std::string UnitsToBytes(const std::u16string &units);
std::u16string BytesToUnits(const std::string &bytes);

// One value of a key, as RegEnumValueW gives it.
struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::string data;
};

// Appends every value of key, in the registry's order.
LSTATUS ListValues(HKEY key, std::vector<Value> *values);

// Appends the name of every subkey of key, in the registry's order.
LSTATUS ListSubkeys(HKEY key, std::vector<std::u16string> *names);

// Called for each key of a walk with the open key, its path and its own name
// (empty for the key the walk starts at: no subkey has an empty name).
using KeyVisitor = std::function<LSTATUS(HKEY key, const std::u16string &path, const std::u16string &name)>;

// Visits key, named path, and with below every key under it, depth first in
// the registry's order. The keys still to visit are kept on the heap, so a tree
// of any depth is walked without deep recursion. The first failure (of visit,
// or of listing or opening a key) ends the walk and is returned.
LSTATUS WalkTree(HKEY key, const std::u16string &path, bool below, const KeyVisitor &visit);
