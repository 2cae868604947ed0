// errno to Win32 error code, for the posix layer's SetLastError calls.
#pragma once

#include "platform/win32.h"

#include <cerrno>

inline DWORD Win32ErrorFromErrno(int e) {
    switch (e) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EBUSY: return ERROR_BUSY;
        case ETIMEDOUT: return ERROR_TIMEOUT;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case EFBIG: return ERROR_FILE_TOO_LARGE;
        case EROFS: return ERROR_WRITE_PROTECT;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case EIO: return ERROR_WRITE_FAULT;
        default: return ERROR_INVALID_PARAMETER;
    }
}
