#include "script/pool.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const BlockHeader *Header(void *block) { return static_cast<BlockHeader *>(block) - 1; }

TEST(Pool, HeapBlocksRecordTheirSize) {
    for (int32_t n : {0, 1, 128, 129, 600, 4096, 20000}) {
        void *b = PoolAlloc(n);
        ASSERT_NE(b, nullptr) << n;
        EXPECT_EQ(Header(b)->size, n);
        std::memset(b, 0xAB, static_cast<size_t>(n));
        PoolFree(b);
    }
    EXPECT_EQ(PoolAlloc(-1), nullptr);
}

TEST(Pool, ReallocCopiesTheLeadingBytes) {
    auto *b = static_cast<char *>(PoolAlloc(600));
    for (int i = 0; i < 600; i++) b[i] = static_cast<char>(i);
    auto *c = static_cast<char *>(PoolRealloc(b, 100));
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, b);  // a heap block moves on every resize
    EXPECT_EQ(Header(c)->size, 100);
    for (int i = 0; i < 100; i++) ASSERT_EQ(c[i], static_cast<char>(i));
    auto *d = static_cast<char *>(PoolRealloc(c, 0));
    EXPECT_EQ(Header(d)->size, 0);
    PoolFree(d);
}

// Runs last in this file: primed lists stay primed for the rest of the process.
TEST(Pool, ClassListsAreLastInFirstOut) {
    ASSERT_EQ(PoolPrime(2), 8);
    void *a = PoolAlloc(128);  // class 1 serves 0..128
    void *b = PoolAlloc(129);  // class 2 serves 129..512
    EXPECT_NE(Header(a)->mark, 0u);
    EXPECT_NE(Header(b)->link, Header(a)->link);
    PoolFree(a);
    EXPECT_EQ(PoolAlloc(5), a);  // the block released last comes back first

    void *heap = PoolAlloc(600);  // no class between 512 and 4096
    EXPECT_EQ(Header(heap)->mark, 0u);
    EXPECT_EQ(Header(heap)->link, nullptr);
    PoolFree(heap);

    // Inside its own class a block keeps its place; outside it moves.
    std::memset(b, 'x', 129);
    EXPECT_EQ(PoolRealloc(b, 512), b);
    EXPECT_EQ(Header(b)->size, 512);
    void *moved = PoolRealloc(b, 100);
    EXPECT_NE(moved, b);
    EXPECT_EQ(std::memcmp(moved, std::string(100, 'x').data(), 100), 0);
    EXPECT_EQ(PoolAlloc(300), b);  // b went back to its own list
    PoolFree(b);
    PoolFree(moved);
    PoolFree(a);

    void *big = PoolAlloc(16384);  // class 4's largest request fits its listed block
    std::memset(big, 0, 16384);
    PoolFree(big);
}

}  // namespace
