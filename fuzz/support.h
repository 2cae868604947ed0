// Small helpers shared by the fuzz targets: cutting an input into strings, a
// scratch directory made once per process, and the one way a target reports a
// broken property (an abort, which libFuzzer records as a finding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Fails the run with a message when a checked property does not hold.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

// The input cut at every NUL byte; the last piece need not end in one.
inline std::vector<std::string> SplitAtNul(const uint8_t *data, size_t size) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0)
            out.emplace_back();
        else
            out.back() += static_cast<char>(data[i]);
    }
    return out;
}

// A private directory made once per process under /dev/shm (else /tmp), removed at exit.
const std::string &ScratchDir();
