// The small-block pool. Requests of a class are served from its free list when
// it holds a block, else from the general heap; the header tells the two apart.
#include "script/pool.h"
#include "platform/failalloc.h"

#include <cstdlib>
#include <cstring>

namespace {

SizeClass SizeClasses[] = {
    {nullptr, 0, 128, 2000},
    {nullptr, 128, 512, 30},
    {nullptr, 4096, 8192, 10},
    {nullptr, 8192, 16384, 6},
    {nullptr, -1, -1, -1},
};

// The identity of the class table: no heap block's mark can hold it.
const uintptr_t PoolMark = reinterpret_cast<uintptr_t>(SizeClasses);

BlockHeader *HeaderOf(void *block) { return static_cast<BlockHeader *>(block) - 1; }
void *UserArea(BlockHeader *h) { return h + 1; }

SizeClass *ChooseClass(int32_t n) {
    SizeClass *c = SizeClasses;
    while (c->count > 0 && c->maxSize < n) c++;
    return c;
}

}  // namespace

void *PoolAlloc(int32_t n) {
    if (n < 0 || AllocationFails()) return nullptr;
    SizeClass *c = ChooseClass(n);
    if (c->count > 0 && n >= c->minSize && c->freeList != nullptr) {
        auto *h = static_cast<BlockHeader *>(c->freeList);
        c->freeList = h->link;
        h->link = c;
        h->mark = PoolMark;
        h->size = n;
        return UserArea(h);
    }
    auto *h = static_cast<BlockHeader *>(std::malloc(sizeof(BlockHeader) + static_cast<size_t>(n)));
    if (h == nullptr) return nullptr;
    h->link = nullptr;
    h->mark = 0;  // a heap block: never the pool mark
    h->size = n;
    return UserArea(h);
}

void PoolFree(void *block) {
    BlockHeader *h = HeaderOf(block);
    if (h->mark == PoolMark) {
        auto *c = static_cast<SizeClass *>(h->link);
        h->link = c->freeList;
        c->freeList = h;
        return;
    }
    std::free(h);
}

void *PoolRealloc(void *block, int32_t n) {
    BlockHeader *h = HeaderOf(block);
    if (h->mark == PoolMark) {
        auto *c = static_cast<SizeClass *>(h->link);
        if (n >= c->minSize && n <= c->maxSize) {
            h->size = n;
            return block;
        }
    }
    void *fresh = PoolAlloc(n);
    if (fresh == nullptr) {
        if (n >= 0 && n <= h->size) {  // a shrink keeps the old block, which has the room
            h->size = n;
            return block;
        }
        return nullptr;  // a failed growth: the old block stays valid with its old size
    }
    std::memcpy(fresh, block, static_cast<size_t>(h->size < n ? h->size : n));
    PoolFree(block);
    HeaderOf(fresh)->size = n;
    return fresh;
}

int PoolPrime(int perClass) {
    int placed = 0;
    for (SizeClass *c = SizeClasses; c->count > 0; c++) {
        for (int i = 0; i < perClass; i++) {
            // Every listed block has room for its class's largest request.
            auto *h = static_cast<BlockHeader *>(std::malloc(sizeof(BlockHeader) + static_cast<size_t>(c->maxSize)));
            if (h == nullptr) return placed;
            h->mark = PoolMark;
            h->size = 0;
            h->link = c->freeList;
            c->freeList = h;
            placed++;
        }
    }
    return placed;
}
