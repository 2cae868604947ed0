// The registry clean-up of "/upgrade_keys".
#pragma once

#include "platform/win32.h"

// 0 when there was nothing to do or every deletion succeeded, else 2.
int RemoveObsoleteRegistryEntries(void);
int DeleteRegistryKey(const WCHAR *parentPath, const WCHAR *productKeyName, const WCHAR *subkeyName);
int DeleteRegistryValue(const WCHAR *parentPath, const WCHAR *productKeyName, const WCHAR *valueName);
