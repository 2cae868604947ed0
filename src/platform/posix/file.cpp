// _lopen/_llseek/_lread/_lclose over POSIX descriptors, with Win32 results.
#include "platform/win32.h"
#include "platform/posix/errors.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
        SetLastError(ERROR_INVALID_PARAMETER);
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

}  // extern "C"
