#include "platform/posix/machine.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

bool MakeDirs(const std::string &dir, unsigned mode) {
    if (dir.empty()) return false;
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::string::size_type slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash), mode)) return false;
    if (mkdir(dir.c_str(), mode) == 0 || errno == EEXIST) return true;
    return false;
}

const std::string &MachineDir() {
    static const std::string dir = [] {
        std::string d;
        if (const char *m = std::getenv("PELLOR_MACHINE"); m != nullptr && m[0] != '\0') {
            d = m;
        } else if (const char *x = std::getenv("XDG_DATA_HOME"); x != nullptr && x[0] == '/') {
            d = std::string(x) + "/pellor/machine";
        } else if (const char *h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
            d = std::string(h) + "/.local/share/pellor/machine";
        } else {
            return std::string();
        }
        while (d.size() > 1 && d.back() == '/') d.pop_back();
        return MakeDirs(d, 0700) ? d : std::string();
    }();
    return dir;
}

std::string MachinePath(const std::string &relative) {
    const std::string &root = MachineDir();
    if (root.empty()) return std::string();
    std::string path = root + "/" + relative;
    std::string::size_type slash = path.find_last_of('/');
    MakeDirs(path.substr(0, slash), 0700);
    return path;
}
