// Registry names: UTF-16 to the hive's text encoding and back, the
// case-insensitive comparison form, and the splitting of key paths.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

// Windows limits: a key name component of 255 units, a value name of 16383.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
// and a tree 512 levels deep below its hive's root.
constexpr int64_t kMaxKeyDepth = 512;

// UTF-16 to UTF-8, unpaired surrogates encoded as three-byte sequences (WTF-8),
// so that every 16-bit name round-trips through the hive's TEXT columns.
std::string NameToText(const std::u16string &name);
// The reverse of NameToText; a byte that is not part of a sequence stands for itself.
std::u16string NameFromText(const std::string &text);

// The uppercase of one UTF-16 unit (ASCII and the BMP's simple mappings), as
// Windows compares registry names.
WCHAR FoldUnit(WCHAR c);
// NameToText of the name with every unit folded: the lookup form.
std::string FoldedText(const std::u16string &name);

// A null or 16-bit string as a u16string (null is empty).
std::u16string WideString(LPCWSTR s);

// Splits a relative key path at backslashes as Windows' object manager does:
// a leading backslash is ERROR_BAD_PATHNAME, repeated and trailing backslashes
// are dropped, a component longer than 255 units is ERROR_INVALID_PARAMETER.
LSTATUS SplitKeyPath(const std::u16string &path, std::vector<std::u16string> *parts);
