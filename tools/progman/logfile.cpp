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

}  // namespace

LogFile::~LogFile() {
    Sync();
    if (fd_ >= 0) close(fd_);
}

// A symlink, a FIFO or someone else's file in the log's place is refused (problem_ says so).
bool LogFile::Reopen() {
    if (fd_ >= 0) close(fd_);
    problem_.clear();
    fd_ = OpenPrivateFile(path_, O_WRONLY | O_CREAT | O_APPEND, PRIVATE_WRITE, &problem_);
    struct stat st {};
    size_ = fd_ >= 0 && fstat(fd_, &st) == 0 ? st.st_size : 0;
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
    std::string text = LocalTimeText(true) + "\t" + line + "\n";
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

bool LogFile::TakeUnsynced() {
    bool was = unsynced_;
    unsynced_ = false;
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
