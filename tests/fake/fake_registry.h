// An in-memory registry behind the Win32 registry calls, for the class library's and
// the product library's unit tests: case-insensitive names, access rights checked as
// Windows checks them, open handles counted, and failures scripted per key.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

namespace fakereg {

void Reset();
// Creates root\path with its missing parents.
void AddKey(HKEY root, const std::u16string &path);
void SetValue(HKEY root, const std::u16string &path, const std::u16string &name, DWORD type,
              const std::vector<BYTE> &data);
void SetDword(HKEY root, const std::u16string &path, const std::u16string &name, DWORD value);
bool HasKey(HKEY root, const std::u16string &path);
bool HasValue(HKEY root, const std::u16string &path, const std::u16string &name);
// Opening or deleting the key root\path answers status; "path|name" names the value
// name of that key, whose deletion answers status.
void FailAt(HKEY root, const std::u16string &path, LONG status);
int OpenHandles();

}  // namespace fakereg
