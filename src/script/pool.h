// The small-block pool: every variable-sized buffer of the script reader and of
// the Program Manager commands. Blocks carry a three-word header.
#pragma once

#include <cstdint>

struct SizeClass {
    void *freeList;   // head of the class's free blocks, linked through their headers
    int32_t minSize;  // smallest request served, inclusive
    int32_t maxSize;  // largest request served, inclusive
    int32_t count;    // positive in a class record; not positive ends the table
};

// The header ahead of each user area.
struct BlockHeader {
    void *link;       // in use from a list: its SizeClass; on a list: next block; heap block: null
    uintptr_t mark;   // the pool mark in a block that came from a class list
    int32_t size;     // the size last asked for
};

void *PoolAlloc(int32_t n);
void *PoolRealloc(void *block, int32_t n);
void PoolFree(void *block);

// Fills the class free lists with `perClass` blocks of their class's maxSize.
// Returns the number of blocks placed.
int PoolPrime(int perClass);
