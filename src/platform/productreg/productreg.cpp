// The product's setup values over the Win32 registry calls.
#include "platform/productreg/productreg.h"

#include <cstring>

namespace {

const WCHAR SetupKeyPath[] = WIDE("SOFTWARE\\Pellor\\Setup");
const WCHAR AppServerName[] = WIDE("AppServer");
const WCHAR SystemVersionName[] = WIDE("SystemVersion");

// Reads the REG_DWORD name of the Setup key below root; false when the key or the
// value is missing, the value has another type, or its data is not 4 bytes.
bool ReadSetupDword(HKEY machineRoot, const WCHAR *name, ULONG *result) {
    HKEY setup = nullptr;
    if (RegOpenKeyExW(machineRoot != nullptr ? machineRoot : HKEY_LOCAL_MACHINE, SetupKeyPath, 0, KEY_QUERY_VALUE,
                      &setup) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    BYTE data[4] = {};
    DWORD size = sizeof(data);
    LONG status = RegQueryValueExW(setup, name, nullptr, &type, data, &size);
    RegCloseKey(setup);
    // Larger data answers ERROR_MORE_DATA, shorter a size below 4: neither is a DWORD.
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data)) return false;
    DWORD value = 0;
    std::memcpy(&value, data, sizeof(value));  // registry DWORDs are little-endian, as both hosts are
    *result = value;
    return true;
}

}  // namespace

BOOLEAN RegSetupIsPellorAppServer(HKEY machineRoot) {
    ULONG appServer = 0;
    return ReadSetupDword(machineRoot, AppServerName, &appServer) && appServer != 0;
}

BOOLEAN RegGetPellorVersion(HKEY machineRoot, ULONG *version) {
    if (version == nullptr) return FALSE;
    return ReadSetupDword(machineRoot, SystemVersionName, version);
}
