// The registry editor's .reg format, written: "Windows Registry Editor Version 5.00",
// UTF-16LE with a BOM, CR LF, each key as [HKEY_LOCAL_MACHINE\...] with its values,
// hex(...) forms for what a quoted string or dword cannot give back exactly; so that
// `reg import` here and on Windows restores what was read. The keys and values are
// read through the Win32 registry calls, so the same code runs on both systems
// (reg export, and the clean-up's backup).
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

// The first line of the format, without its line end.
extern const char16_t RegFileHeader[];

// UTF-16 code units as little-endian bytes and back (an odd last byte is dropped).
std::string UnitsToBytes(const std::u16string &units);
std::u16string BytesToUnits(const std::string &bytes);

// True when the name holds no NUL, so that its c_str() names it whole.
bool IsWholeName(const std::u16string &name);

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

// One value's line, without its line end: "name"=..., @=... for the default value.
std::u16string RegValueLine(const Value &value);

// Appends the open key hkey, named path (from its root's long name), and every key below
// it, each as its [path] line and its values' lines.
LSTATUS AppendRegKeyTree(HKEY hkey, const std::u16string &path, std::u16string *text);

// The file's bytes for text (key and value lines): the BOM and header line first.
std::string RegFileBytes(const std::u16string &text);

// The .reg file of the open key hkey, named path, and all its subkeys: the file's
// bytes, or a registry error code in *status.
std::string ExportRegFile(HKEY hkey, const std::u16string &path, LSTATUS *status);
