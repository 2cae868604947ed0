// _lopen/_llseek/_lread/_lclose, CreateFileA/WriteFile over POSIX descriptors, with Win32 results.
#include "platform/win32.h"
#include "platform/posix/errors.h"
#include "platform/posix/filehandle.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file HANDLE is its descriptor above a base that process handles never reach,
// so CloseHandle can tell the two apart.
constexpr intptr_t kFileHandleBase = intptr_t{1} << 30;

HANDLE FileHandle(int fd) { return reinterpret_cast<HANDLE>(kFileHandleBase + fd); }

int FileDescriptor(HANDLE handle) {
    intptr_t value = reinterpret_cast<intptr_t>(handle) - kFileHandleBase;
    return value >= 0 && value <= INT_MAX ? static_cast<int>(value) : -1;
}

// A write to a pipe nobody reads, or past the file size limit, fails on Windows;
// here it would kill the process with SIGPIPE or SIGXFSZ, so once this layer
// hands out a file to write, those signals are ignored. Children start with
// them restored (CreateProcessA).
void IgnoreWriteSignals() {
    static const bool done = [] {
        signal(SIGPIPE, SIG_IGN);
        signal(SIGXFSZ, SIG_IGN);
        return true;
    }();
    (void)done;
}

}  // namespace

extern "C" {

HFILE WINAPI _lopen(LPCSTR path, int mode) {
    int flags = O_CLOEXEC;
    switch (mode & 3) {
        case OF_READ: flags |= O_RDONLY; break;
        case OF_WRITE: flags |= O_WRONLY; break;
        default: flags |= O_RDWR; break;
    }
    if (path == nullptr || path[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return HFILE_ERROR;
    }
    // O_NONBLOCK so that a FIFO without a writer cannot hang the open; only regular files
    // are files here (Windows cannot open a directory this way, and a FIFO or a device
    // would hang or never end a read).
    int fd = open(path, flags | O_NONBLOCK);
    if (fd < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return HFILE_ERROR;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return HFILE_ERROR;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return HFILE_ERROR;
    }
    return fd;
}

// The result is a 32-bit LONG: an offset beyond it is an error, never truncated.
LONG WINAPI _llseek(HFILE file, LONG offset, int origin) {
    int whence = origin == FILE_BEGIN ? SEEK_SET : origin == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    off_t pos = lseek(file, offset, whence);
    if (pos < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return HFILE_ERROR;
    }
    if (pos > static_cast<off_t>(INT_MAX)) {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return HFILE_ERROR;
    }
    return static_cast<LONG>(pos);
}

// Reads until the request is filled or the file ends, as ReadFile does on a disk file.
UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT bytes) {
    auto *p = static_cast<unsigned char *>(buffer);
    UINT done = 0;
    while (done < bytes) {
        ssize_t n = read(file, p + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastError(Win32ErrorFromErrno(errno));
            return static_cast<UINT>(HFILE_ERROR);
        }
        if (n == 0) break;
        done += static_cast<UINT>(n);
    }
    return done;
}

HFILE WINAPI _lclose(HFILE file) {
    if (close(file) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return HFILE_ERROR;
    }
    return 0;
}

// Only what the run log and a backup ask for: a file opened for writing (FILE_APPEND_DATA:
// every write lands at the end, whoever else appends) and created when missing
// (OPEN_ALWAYS), or a new file that must not exist yet, not even as a link (CREATE_NEW).
// Files this layer creates are the user's own (0600), as the whole machine is.
// FILE_FLAG_OPEN_REPARSE_POINT does not follow a final link (Windows would open
// the link itself; here the open fails). The descriptor is non-blocking, so a
// FIFO without a reader fails at once and a full pipe or a stopped terminal
// drops a write rather than holding the caller; what it names must be a
// regular file, a pipe or a character device (a terminal, /dev/null).
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD, struct _SECURITY_ATTRIBUTES *, DWORD disposition,
                          DWORD flagsAndAttributes, HANDLE) {
    bool createNew = disposition == CREATE_NEW;
    if ((disposition != OPEN_ALWAYS && !createNew) || (access != GENERIC_WRITE && access != FILE_APPEND_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (path == nullptr || path[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    IgnoreWriteSignals();
    int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (access == FILE_APPEND_DATA ? O_APPEND : 0) |
                (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT ? O_NOFOLLOW : 0);
    int fd = open(path, flags | O_CREAT | O_EXCL, 0600);
    DWORD created = ERROR_SUCCESS;
    if (fd < 0 && errno == EEXIST && createNew) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0 && errno == EEXIST) {
        fd = open(path, flags);
        created = ERROR_ALREADY_EXISTS;  // OPEN_ALWAYS says so on success
    }
    if (fd < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(created);
    return FileHandle(fd);
}

// A write that the descriptor cannot take now (a full pipe) fails with what it
// wrote so far, as a non-blocking pipe does on Windows.
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, struct _OVERLAPPED *) {
    int fd = FileDescriptor(file);
    const char *p = static_cast<const char *>(buffer);
    DWORD done = 0;
    while (done < bytes) {
        ssize_t n = fd < 0 ? -1 : write(fd, p + done, bytes - done);
        if (n < 0) {
            if (fd >= 0 && errno == EINTR) continue;
            SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : Win32ErrorFromErrno(errno));
            if (written != nullptr) *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) *written = done;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
    int fd = FileDescriptor(file);
    if (fd < 0 || fsync(fd) != 0) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

// rename(2) replaces a link at the target rather than following it, as Windows does.
// Without MOVEFILE_REPLACE_EXISTING an existing target is kept (ERROR_ALREADY_EXISTS);
// MOVEFILE_WRITE_THROUGH returns once the move is on disk: on Linux that is a sync
// of the target's directory.
BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    int moved = flags & MOVEFILE_REPLACE_EXISTING ? rename(from, to)
                                                   : renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (moved != 0) {
        SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        std::string dir = to;
        size_t slash = dir.rfind('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        bool synced = fd >= 0 && fsync(fd) == 0;
        int error = errno;
        if (fd >= 0) close(fd);
        if (!synced) {
            SetLastError(Win32ErrorFromErrno(error));
            return FALSE;
        }
    }
    return TRUE;
}

// A directory is not a file to delete: ERROR_ACCESS_DENIED, as on Windows.
BOOL WINAPI DeleteFileA(LPCSTR path) {
    if (unlink(path) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

// Standard error as a handle of its own when it is a pipe or a terminal: opened
// anew, non-blocking, so that a reader that stops reading cannot hold us, without
// changing the stream our parent shares.
HANDLE WINAPI GetStdHandle(DWORD which) {
    if (which != STD_ERROR_HANDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    IgnoreWriteSignals();
    static const int fd = [] {
        struct stat st {};
        if (fstat(STDERR_FILENO, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) return STDERR_FILENO;
        int own = open("/proc/self/fd/2", O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        return own >= 0 ? own : STDERR_FILENO;
    }();
    return FileHandle(fd);
}

}  // extern "C"

bool CloseFileHandle(HANDLE handle) {
    int fd = FileDescriptor(handle);
    return fd > STDERR_FILENO && close(fd) == 0;
}
