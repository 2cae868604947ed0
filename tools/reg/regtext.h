// reg.exe's text: key paths, type names, the query display of value data, the
// /d data of reg add, error messages and the Yes/No prompt.
#pragma once

#include "platform/win32.h"
#include "regexport/regexport.h"  // UnitsToBytes, ListValues, WalkTree, IsWholeName

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
