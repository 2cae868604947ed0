#include "platform/failalloc.h"

#ifdef PELLOR_ALLOC_FAILURES

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<long> allocations{0};
long failAt = -1;  // -1 until the environment is read, 0 when no allocation fails

long FailAt() {
    if (failAt < 0) {
        const char *text = std::getenv("PELLOR_FAIL_ALLOCATION");
        failAt = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
        if (failAt < 0) failAt = 0;
        unsetenv("PELLOR_FAIL_ALLOCATION");
    }
    return failAt;
}

}  // namespace

bool AllocationFails() {
    long n = FailAt();
    if (n == 0 || ++allocations != n) return false;
    // The sweep learns from this line that its N was reached in this run.
    std::fprintf(stderr, "allocation %ld failed on purpose\n", n);
    return true;
}

#endif
