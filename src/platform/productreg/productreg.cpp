// The product's setup values over the Win32 registry calls.
#include "platform/productreg/productreg.h"

#include <cstring>

namespace {

const WCHAR SetupKeyPath[] = WIDE("SOFTWARE\\Pellor\\Setup");
const WCHAR AppServerName[] = WIDE("AppServer");
const WCHAR SystemVersionName[] = WIDE("SystemVersion");

enum SetupRead { SETUP_FOUND, SETUP_ABSENT, SETUP_UNREADABLE };

// Reads the REG_DWORD name of the Setup key below root: SETUP_ABSENT when the key
// or the value is missing, the value has another type, or its data is not 4 bytes.
// The last error says which: ERROR_FILE_NOT_FOUND, ERROR_INVALID_DATA, or the
// registry's own error when it could not be read.
SetupRead ReadSetupDword(HKEY machineRoot, const WCHAR *name, ULONG *result) {
    HKEY setup = nullptr;
    LONG status = RegOpenKeyExW(machineRoot != nullptr ? machineRoot : HKEY_LOCAL_MACHINE, SetupKeyPath, 0,
                                KEY_QUERY_VALUE, &setup);
    if (status == ERROR_SUCCESS) {
        DWORD type = REG_NONE;
        BYTE data[4] = {};
        DWORD size = sizeof(data);
        status = RegQueryValueExW(setup, name, nullptr, &type, data, &size);
        RegCloseKey(setup);
        // Larger data answers ERROR_MORE_DATA, shorter a size below 4: neither is a DWORD.
        if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(data))))
            status = ERROR_INVALID_DATA;
        if (status == ERROR_SUCCESS) {
            DWORD value = 0;
            std::memcpy(&value, data, sizeof(value));  // registry DWORDs are little-endian, as both hosts are
            *result = value;
            return SETUP_FOUND;
        }
    }
    SetLastError(static_cast<DWORD>(status));
    return status == ERROR_FILE_NOT_FOUND || status == ERROR_INVALID_DATA ? SETUP_ABSENT : SETUP_UNREADABLE;
}

}  // namespace

BOOLEAN RegSetupIsPellorAppServer(HKEY machineRoot) {
    ULONG appServer = 0;
    SetupRead read = ReadSetupDword(machineRoot, AppServerName, &appServer);
    // An unreadable registry cannot rule the machine out: the caller goes on to
    // the version, which fails too, instead of taking it for a plain machine.
    return read == SETUP_UNREADABLE || (read == SETUP_FOUND && appServer != 0);
}

BOOLEAN RegGetPellorVersion(HKEY machineRoot, ULONG *version) {
    if (version == nullptr) return FALSE;
    ULONG appServer = 0;
    if (ReadSetupDword(machineRoot, AppServerName, &appServer) == SETUP_UNREADABLE) return FALSE;
    return ReadSetupDword(machineRoot, SystemVersionName, version) == SETUP_FOUND;
}
