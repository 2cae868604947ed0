// Appending, flushing and rotating the Program Manager's logs.
#include "logfile.h"

#include "platform/localtime.h"
#include "platform/posix/machine.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool SyncParent(const std::string &path) {
    std::string dir = path.substr(0, path.find_last_of('/'));
    int fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// The length of the file's whole lines: up to the last line end before its
// first NUL byte, or before a last line without its end.
int64_t WholeLinesLength(int fd) {
    int64_t whole = 0, at = 0;
    char buffer[65536];
    for (;;) {
        ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? whole : -1;
        for (ssize_t i = 0; i < n; i++) {
            if (buffer[i] == '\0') return whole;
            if (buffer[i] == '\n') whole = at + i + 1;
        }
        at += n;
    }
}

}  // namespace

LogFile::~LogFile() {
    Sync();
    if (fd_ >= 0) close(fd_);
}

// A symlink, a FIFO or someone else's file in the log's place is refused
// (problem_ says so). A torn tail is cut off, and the cut made durable before
// anything follows it.
bool LogFile::Reopen() {
    if (fd_ >= 0) close(fd_);
    problem_.clear();
    fd_ = OpenPrivateFile(path_, O_RDWR | O_CREAT | O_APPEND, PRIVATE_WRITE, &problem_);
    struct stat st {};
    size_ = fd_ >= 0 && fstat(fd_, &st) == 0 ? st.st_size : 0;
    int64_t whole = fd_ >= 0 ? WholeLinesLength(fd_) : -1;
    if (whole >= 0 && whole < size_ && ftruncate(fd_, whole) == 0) {
        fdatasync(fd_);
        trimmed_ += size_ - whole;
        size_ = whole;
    }
    return fd_ >= 0;
}

// The full file becomes <path>.1 whole and on disk before a new one starts.
bool LogFile::Rotate() {
    bool ok = fdatasync(fd_) == 0 && rename(path_.c_str(), (path_ + ".1").c_str()) == 0;
    ok = Reopen() && ok;
    return SyncParent(path_) && ok;
}

bool LogFile::Open(std::string *problem) {
    if (fd_ < 0 && !Reopen()) *problem = problem_;
    return fd_ >= 0;
}

bool LogFile::Append(const std::string &line) {
    if (fd_ < 0 && !Reopen()) return false;
    if (size_ >= limit_ && !Rotate() && fd_ < 0) return false;
    std::string text;
    text.reserve(40 + line.size());
    AppendLocalTimeText(&text, true);
    text += '\t';
    text += line;
    text += '\n';
    size_t done = WriteAll(fd_, text);
    size_ += static_cast<int64_t>(done);
    unsynced_ = true;
    return done == text.size();
}

bool LogFile::Sync() {
    if (!unsynced_ || fd_ < 0) return true;
    unsynced_ = false;
    return fdatasync(fd_) == 0;
}

int LogFile::TakeUnsynced() {
    if (!unsynced_ || fd_ < 0) return -1;
    int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    unsynced_ = fd < 0;  // out of descriptors: the next batch tries again
    return fd;
}

int64_t LogFile::TakeTrimmed() {
    int64_t was = trimmed_;
    trimmed_ = 0;
    return was;
}

size_t WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}
