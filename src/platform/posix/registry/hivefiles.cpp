#include "platform/posix/registry/hivefiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::string ModeText(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string DirOf(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Why what (a kind of file, named by path) may not be used: a link, not a
// plain file, or another user's; empty when it is a plain file of ours.
std::string ForeignProblem(const char *what, const std::string &path, const struct stat &st) {
    std::string name = std::string("registry: ") + what + " " + path;
    if (S_ISLNK(st.st_mode)) return name + " is a symbolic link; refusing to use it";
    if (!S_ISREG(st.st_mode)) return name + " is not a regular file; refusing to use it";
    if (st.st_uid != geteuid()) return name + " belongs to another user; refusing to use it";
    return std::string();
}

// True when this process may write path, as the kernel would decide (root included).
bool Writable(const std::string &path) { return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0; }

}  // namespace

LSTATUS PrepareHiveFile(const std::string &hive, mode_t *mode, std::string *why) {
    for (int attempt = 0; attempt < 2; attempt++) {
        struct stat st {};
        if (lstat(hive.c_str(), &st) == 0) {
            *why = ForeignProblem("hive", hive, st);
            if (!why->empty()) return ERROR_ACCESS_DENIED;
            *mode = st.st_mode & 07777;
            // Tightening never adds a bit: a read-only hive stays read-only.
            if ((st.st_mode & 077) != 0) {
                if (chmod(hive.c_str(), st.st_mode & 0700) != 0) {
                    *why = "registry: hive " + hive + " cannot be made private: " + std::strerror(errno);
                    return ERROR_ACCESS_DENIED;
                }
                *mode = st.st_mode & 0700;
            }
            return ERROR_SUCCESS;
        }
        if (errno != ENOENT) {
            *why = "registry: hive " + hive + " cannot be read: " + std::strerror(errno);
            return ERROR_CANTOPEN;
        }
        int fd = open(hive.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            *mode = 0600;
            return ERROR_SUCCESS;
        }
        if (errno != EEXIST) {  // else made meanwhile by another process: check it
            int error = errno;
            *why = WhyHiveNotWritable(hive);
            if (why->empty()) *why = "registry: hive " + hive + " cannot be created: " + std::strerror(error);
            return ERROR_CANTOPEN;
        }
    }
    *why = "registry: hive " + hive + " keeps changing under us";
    return ERROR_CANTOPEN;
}

LSTATUS PrepareHiveCompanions(const std::string &hive, mode_t hiveMode, std::string *why) {
    for (const char *suffix : {"-wal", "-shm"}) {
        std::string path = hive + suffix;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            *why = "registry: " + path + " cannot be read: " + std::strerror(errno);
            return ERROR_CANTOPEN;
        }
        *why = ForeignProblem("file", path, st);
        if (!why->empty()) return ERROR_ACCESS_DENIED;
        // SQLite made it with the hive's mode at the time: a read of a read-only
        // hive leaves it read-only, and then no later writer could use it.
        mode_t wanted = (st.st_mode & 0700) | (hiveMode & 0600);
        if ((st.st_mode & 07777) == wanted) continue;
        if (chmod(path.c_str(), wanted) != 0) {
            *why = "registry: " + path + " has mode " + ModeText(st.st_mode) + " where the hive has " +
                   ModeText(hiveMode) + ", and cannot be given it: " + std::strerror(errno);
            return ERROR_ACCESS_DENIED;
        }
    }
    return ERROR_SUCCESS;
}

std::string WhyHiveNotWritable(const std::string &hive) {
    std::string dir = DirOf(hive);
    struct statvfs fs {};
    if (statvfs(dir.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0)
        return "registry: directory " + dir + " is on a read-only file system";
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0 && !Writable(dir))
        return "registry: directory " + dir + " is read-only (mode " + ModeText(st.st_mode) + ")";
    const char *kinds[] = {"hive", "file", "file"};
    const std::string paths[] = {hive, hive + "-wal", hive + "-shm"};
    for (size_t i = 0; i < 3; i++) {
        if (lstat(paths[i].c_str(), &st) == 0 && !Writable(paths[i]))
            return std::string("registry: ") + kinds[i] + " " + paths[i] + " is read-only (mode " +
                   ModeText(st.st_mode) + ")";
    }
    return std::string();
}

std::string WaitText(unsigned milliseconds) {
    if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
    return std::to_string(milliseconds) + " ms";
}
