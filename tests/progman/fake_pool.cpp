#include "fake_pool.h"

#include "script/pool.h"

#include <cstdlib>

namespace fakepool {
std::function<bool(int32_t)> Fail;
int Outstanding;
}  // namespace fakepool

void *PoolAlloc(int32_t n) {
    if (fakepool::Fail && fakepool::Fail(n)) return nullptr;
    fakepool::Outstanding++;
    return std::malloc(static_cast<size_t>(n) + 1);
}

void PoolFree(void *block) {
    fakepool::Outstanding--;
    std::free(block);
}

void *PoolRealloc(void *block, int32_t) { return block; }
