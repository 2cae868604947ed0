#include "platform/posix/machine.h"
#include "platform/win32.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Machine {
    std::string dir;
    std::string problem;
    unsigned long error = ERROR_SUCCESS;
};

// The directory the environment names for the machine; empty when it names none.
std::string ConfiguredDir() {
    std::string d;
    if (const char *m = std::getenv("PELLOR_MACHINE"); m != nullptr && m[0] != '\0') {
        d = m;
    } else if (const char *x = std::getenv("XDG_DATA_HOME"); x != nullptr && x[0] == '/') {
        d = std::string(x) + "/pellor/machine";
    } else if (const char *h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
        d = std::string(h) + "/.local/share/pellor/machine";
    }
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
}

// Found once: the machine's place and trust cannot change under a running program.
const Machine &TheMachine() {
    static const Machine machine = [] {
        Machine m;
        std::string d = ConfiguredDir();
        if (d.empty()) {
            m.problem = "no machine directory: set PELLOR_MACHINE or HOME";
            m.error = ERROR_PATH_NOT_FOUND;
        } else {
            m.problem = ResolveMachineDir(d, &m.dir, &m.error);
        }
        return m;
    }();
    return machine;
}

// Why someone else could put another directory in place of machine by
// renaming in above, an ancestor of it; empty when only we or root can.
std::string AncestorProblem(const std::string &above, const std::string &machine) {
    struct stat st {};
    if (lstat(above.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return above + " (above the machine " + machine + ") is not a directory";
    std::string risk = ", who could put another directory in place of the machine " + machine + "; refusing to use it";
    if (st.st_uid != geteuid() && st.st_uid != 0) return above + " belongs to another user" + risk;
    // The sticky bit lets only an entry's owner rename it away, as in /tmp.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
        return above + " is writable by group or others" + risk + " (chmod go-w " + ShellQuoted(above) + ")";
    return std::string();
}

// path as a private directory: made 0700 when missing, else a directory of ours
// (not a symlink) whose group and other bits are taken away. False with *problem.
bool MakePrivateDir(const std::string &path, std::string *problem) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *problem = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        struct stat st {};
        if (errno == ELOOP || errno == ENOTDIR)
            *problem = path + (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? " is a symbolic link"
                                                                                    : " is not a directory") +
                       "; refusing to use it";
        else
            *problem = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *problem = "cannot read " + path + ": " + std::strerror(errno);
    } else if (st.st_uid != geteuid()) {
        *problem = path + " belongs to another user; refusing to use it";
    } else if ((st.st_mode & 077) != 0 && fchmod(fd, st.st_mode & 0700) != 0) {
        *problem = "cannot make " + path + " private: " + std::strerror(errno);
    }
    close(fd);
    return problem->empty();
}

}  // namespace

bool MakeDirs(const std::string &dir, unsigned mode) {
    if (dir.empty()) return false;
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::string::size_type slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash), mode)) return false;
    if (mkdir(dir.c_str(), mode) == 0 || errno == EEXIST) return true;
    return false;
}

std::string ShellQuoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string PrivateDirProblem(const std::string &dir, unsigned long *error) {
    struct stat st {};
    *error = ERROR_ACCESS_DENIED;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = ERROR_PATH_NOT_FOUND;
        return dir + " is not a directory";
    }
    // Whoever may write there could replace our registry or listen in our name.
    if (st.st_uid != geteuid()) return dir + " belongs to another user; refusing to use it";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return dir + " is writable by group or others; refusing to use it (chmod go-w " + ShellQuoted(dir) + ")";
    *error = ERROR_SUCCESS;
    return std::string();
}

std::string ResolveMachineDir(const std::string &configured, std::string *real, unsigned long *error) {
    real->clear();
    *error = ERROR_PATH_NOT_FOUND;
    if (!MakeDirs(configured, 0700)) return "cannot create the machine directory " + configured;
    // Every later path starts from the real one: no link is followed again, and
    // SQLite, which opens a hive only through a path without links, can open it.
    char *resolved = realpath(configured.c_str(), nullptr);
    if (resolved == nullptr) return "cannot resolve the machine directory " + configured + ": " + std::strerror(errno);
    std::string path = resolved;
    std::free(resolved);
    *error = ERROR_ACCESS_DENIED;
    for (std::string::size_type slash = 0; slash != std::string::npos && path != "/";
         slash = path.find('/', slash + 1)) {
        std::string problem = AncestorProblem(slash == 0 ? "/" : path.substr(0, slash), path);
        if (!problem.empty()) return problem;
    }
    std::string problem = PrivateDirProblem(path, error);
    if (problem.empty()) *real = path;
    return problem;
}

std::string PrivateDirUnder(const std::string &base, const std::string &relative, std::string *problem) {
    problem->clear();
    if (base.empty()) {
        *problem = "no machine directory";
        return std::string();
    }
    std::string path = base;
    for (std::string::size_type start = 0; start <= relative.size();) {
        std::string::size_type end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        path += "/" + part;
        if (part == "..") {
            *problem = path + " leaves its directory";
            return std::string();
        }
        if (!MakePrivateDir(path, problem)) return std::string();
    }
    return path;
}

std::string MachinePrivateDir(const std::string &relative, std::string *problem) {
    if (MachineDir().empty()) {
        *problem = MachineProblem();
        return std::string();
    }
    return PrivateDirUnder(MachineDir(), relative, problem);
}

int OpenPrivateFileAt(int dirfd, const std::string &name, int flags, PrivateFileUse use, std::string *problem) {
    // O_NONBLOCK stays on: regular files ignore it, and only they are kept.
    int fd = openat(dirfd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ELOOP) *problem = name + " is a symbolic link";
        else if (errno == ENXIO || errno == EISDIR) *problem = name + " is not a regular file";
        else *problem = name + " cannot be opened: " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) *problem = name + " cannot be read: " + std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) *problem = name + " is not a regular file";
    else if (st.st_uid != geteuid()) *problem = name + " belongs to another user";
    else if (use == PRIVATE_WRITE && st.st_nlink != 1) *problem = name + " has other names (hard links)";
    else if (use == PRIVATE_WRITE && (st.st_mode & 077) != 0 && fchmod(fd, st.st_mode & 0700) != 0)
        *problem = name + " cannot be made private: " + std::strerror(errno);
    else return fd;
    close(fd);
    errno = EACCES;  // refused, whatever close left
    return -1;
}

int OpenPrivateFile(const std::string &path, int flags, PrivateFileUse use, std::string *problem) {
    return OpenPrivateFileAt(AT_FDCWD, path, flags, use, problem);
}

const std::string &MachineDir() { return TheMachine().dir; }

const std::string &MachineProblem() { return TheMachine().problem; }

unsigned long MachineError() { return TheMachine().error; }

std::string MachinePath(const std::string &relative) {
    const std::string &root = MachineDir();
    if (root.empty()) return std::string();
    std::string path = root + "/" + relative;
    std::string::size_type slash = path.find_last_of('/');
    MakeDirs(path.substr(0, slash), 0700);
    return path;
}

namespace {
std::mutex notesMutex;
std::vector<std::string> notes;
std::string lastNote;
}  // namespace

void PlatformNote(const std::string &text) {
    std::lock_guard<std::mutex> lock(notesMutex);
    if (text == lastNote) return;
    lastNote = text;
    notes.push_back(text);
}

std::vector<std::string> TakePlatformNotes() {
    std::lock_guard<std::mutex> lock(notesMutex);
    std::vector<std::string> taken;
    taken.swap(notes);
    return taken;
}
