// KERNEL32 file calls: the 16-bit era file functions the script reader uses, the
// appending file the run log writes, the new file, flush, rename and deletion a backup
// is written with, the standard error handle, and the directory search the argument list uses.
#pragma once

#include "w32types.h"

#define HFILE_ERROR ((HFILE)-1)
#define OF_READ 0x0000
#define OF_WRITE 0x0001
#define OF_READWRITE 0x0002
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define STD_ERROR_HANDLE ((DWORD)-12)
#define GENERIC_WRITE 0x40000000
#define FILE_APPEND_DATA 0x0004
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define OPEN_ALWAYS 4
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_WRITE_THROUGH 0x00000008

#define MAX_PATH 260
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

struct _SECURITY_ATTRIBUTES;
struct _OVERLAPPED;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

extern "C" {

HFILE WINAPI _lopen(LPCSTR path, int mode);
LONG WINAPI _llseek(HFILE file, LONG offset, int origin);
UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT bytes);
HFILE WINAPI _lclose(HFILE file);
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, struct _SECURITY_ATTRIBUTES *security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, struct _OVERLAPPED *overlapped);
BOOL WINAPI FlushFileBuffers(HANDLE file);
BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
BOOL WINAPI DeleteFileA(LPCSTR path);
HANDLE WINAPI GetStdHandle(DWORD which);

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL WINAPI FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data);
BOOL WINAPI FindClose(HANDLE search);
DWORD WINAPI GetFileAttributesW(LPCWSTR path);

}  // extern "C"
