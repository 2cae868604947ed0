#include "support.h"

#include <ftw.h>
#include <unistd.h>

namespace {

std::string dir;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

void RemoveScratch() {
    if (!dir.empty()) nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string &ScratchDir() {
    if (dir.empty()) {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string templ = base + "/pellor-fuzz-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = templ;
        std::atexit(RemoveScratch);
    }
    return dir;
}
