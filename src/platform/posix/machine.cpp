#include "platform/posix/machine.h"
#include "platform/win32.h"

#include <cerrno>
#include <cstdlib>
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
        } else if (!MakeDirs(d, 0700)) {
            m.problem = "cannot create the machine directory " + d;
            m.error = ERROR_PATH_NOT_FOUND;
        } else {
            m.problem = PrivateDirProblem(d, &m.error);
            if (m.problem.empty()) m.dir = d;
        }
        return m;
    }();
    return machine;
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
        return dir + " is writable by group or others; refusing to use it (chmod go-w " + dir + ")";
    *error = ERROR_SUCCESS;
    return std::string();
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
