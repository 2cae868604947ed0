// Runs the tests on a private machine directory and runtime directory whose
// paths are longer than a unix socket address can hold, so every DDE test also
// proves that the rendezvous works from such a machine.
#include "helpers.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {
std::string machine;
}

const std::string &TestMachine() { return machine; }

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    char pattern[] = "/tmp/pellor-dde-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    std::string base = pattern;
    machine = base + "/a-machine-directory-whose-path-is-longer-than-any-unix-socket-address-can-hold/machine";
    setenv("PELLOR_MACHINE", machine.c_str(), 1);
    // The rendezvous goes to the runtime directory: a private one, as long.
    std::string runtime = base + "/a-runtime-directory-whose-path-is-longer-than-any-unix-socket-address-can-hold";
    if (mkdir(runtime.c_str(), 0700) != 0) return 1;
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    unsetenv("DISPLAY");  // no test may put up a real dialog
    unsetenv("WAYLAND_DISPLAY");
    int rc = RUN_ALL_TESTS();
    RemoveTree(base);
    return rc;
}
