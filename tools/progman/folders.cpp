// Directory walks of the Program Manager's store, all through descriptors.
#include "folders.h"

#include "desktop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

const char kItemSuffix[] = ".desktop";

namespace {

bool EndsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The names in the directory open as dirfd, but "." and "..".
std::vector<std::string> Names(int dirfd) {
    std::vector<std::string> names;
    int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // its own position, unlike dup
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0) close(fd);
        return names;
    }
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

}  // namespace

unsigned OurUid() {
    static const uid_t us = geteuid();
    return us;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) close(fd_);
}

int OpenDirAt(int at, const std::string &name) {
    return openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

std::string FolderProblem(const std::string &path, bool *gone, struct stat *seen) {
    struct stat local {};
    struct stat &st = seen != nullptr ? *seen : local;
    int failed = lstat(path.c_str(), &st) != 0 ? errno : 0;
    if (gone != nullptr) *gone = failed == ENOENT;
    if (failed != 0) return path + " cannot be read: " + std::strerror(failed);
    if (S_ISLNK(st.st_mode)) return path + " is a symbolic link; refusing to use it";
    if (!S_ISDIR(st.st_mode)) return path + " is not a directory";
    if (st.st_uid != OurUid()) return path + " belongs to another user; refusing to use it";
    return std::string();
}

namespace {

// The rest of the regular file open as fd; false when a read fails.
bool ReadRest(int fd, std::string *text) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        text->append(buffer, static_cast<size_t>(n));
        // A regular file reads short only at its end: an item (a few hundred bytes) is one read.
        if (static_cast<size_t>(n) < sizeof buffer) return true;
    }
}

}  // namespace

std::vector<DiskEntry> ListEntries(int dirfd, const std::string &dir, ListKind kind,
                                   std::vector<std::string> *passedOver) {
    std::vector<DiskEntry> out;
    for (const std::string &file : Names(dirfd)) {
        if (file[0] == '.') continue;
        if (kind != LIST_FOLDERS && !EndsWith(file, kItemSuffix)) continue;
        // An item to be read is looked at through its descriptor, and by name
        // only when it cannot be opened: a symlink, someone else's, unreadable.
        UniqueFd fd(kind == READ_ITEMS ? openat(dirfd, file.c_str(),
                                                O_RDONLY | O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                       : -1);
        struct stat st {};
        if (fd.get() >= 0 ? fstat(fd.get(), &st) != 0 : fstatat(dirfd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        std::string base = file, why;
        if (kind != LIST_FOLDERS) base = file.substr(0, file.size() - std::strlen(kItemSuffix));
        if (S_ISLNK(st.st_mode)) why = " is a symbolic link";
        else if (kind == LIST_FOLDERS ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) continue;
        else if (st.st_uid != OurUid()) why = " belongs to another user";
        if (!why.empty()) {
            if (passedOver != nullptr) passedOver->push_back(dir + "/" + file + why);
            continue;
        }
        DiskEntry entry{std::string(), file};
        if (!DecodeFileName(base, &entry.name)) continue;
        entry.read = fd.get() >= 0 && ReadRest(fd.get(), &entry.text);
        out.push_back(std::move(entry));
    }
    std::sort(out.begin(), out.end(), [](const DiskEntry &a, const DiskEntry &b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return out;
}

void ClearLeftovers(int dirfd) {
    for (const std::string &n : Names(dirfd))
        if (n.rfind(".tmp-", 0) == 0 || n.rfind(".deleted-", 0) == 0) RemoveTreeAt(dirfd, n);
}

void RemoveTreeAt(int at, const std::string &name) {
    UniqueFd fd(OpenDirAt(at, name));
    if (fd.get() < 0) {
        unlinkat(at, name.c_str(), 0);  // a file, or a symlink itself
        return;
    }
    for (const std::string &n : Names(fd.get())) RemoveTreeAt(fd.get(), n);
    unlinkat(at, name.c_str(), AT_REMOVEDIR);
}
