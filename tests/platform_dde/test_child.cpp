// A child for the process tests, started through CreateProcessA. What it does
// is chosen by DDE_CHILD_MODE: "ready" (report ready, wait to be stopped),
// "exit" (end at once, never ready), "slow:MS" (report ready after MS ms).
// With DDE_CHILD_OUT set it first writes there its arguments, one per line,
// then "stdio-null=0|1", "extra-fds=N" and "show=N".
#include "platform/posix/process/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsDevNull(int fd) {
    struct stat a {}, b {};
    return fstat(fd, &a) == 0 && stat("/dev/null", &b) == 0 && a.st_rdev == b.st_rdev && S_ISCHR(a.st_mode);
}

// Descriptors beyond the standard streams and the readiness pipe (3).
int ExtraDescriptors() {
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int own = dirfd(d);
    while (dirent *e = readdir(d)) {
        int fd = std::atoi(e->d_name);
        if (e->d_name[0] != '.' && fd > 3 && fd != own) count++;
    }
    closedir(d);
    return count;
}

}  // namespace

int main(int argc, char **argv) {
    if (const char *out = std::getenv("DDE_CHILD_OUT")) {
        int extra = ExtraDescriptors();  // before the output file adds one
        if (FILE *f = std::fopen(out, "w")) {
            for (int i = 0; i < argc; i++) std::fprintf(f, "%s\n", argv[i]);
            bool null = IsDevNull(0) && IsDevNull(1) && IsDevNull(2);
            std::fprintf(f, "stdio-null=%d\nextra-fds=%d\nshow=%d\n", null ? 1 : 0, extra, ProcessStartupShow());
            std::fclose(f);
        }
    }
    const char *mode = std::getenv("DDE_CHILD_MODE");
    std::string m = mode != nullptr ? mode : "exit";
    if (m == "exit") return 3;
    if (m.rfind("slow:", 0) == 0) usleep(static_cast<useconds_t>(std::atoi(m.c_str() + 5)) * 1000);
    ProcessSignalReady();
    for (;;) pause();
}
