// KERNEL32 basics: last-error, string lengths, the process heap, time.
#include "platform/win32.h"
#include "platform/failalloc.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {
thread_local DWORD lastError = 0;
int heapToken;  // GetProcessHeap's handle: any stable non-null address
}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

int WINAPI lstrlenA(LPCSTR s) {
    if (s == nullptr) return 0;  // Windows returns 0 for a null pointer
    int n = 0;
    while (s[n] != '\0') n++;
    return n;
}

HANDLE WINAPI GetProcessHeap(void) { return &heapToken; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap == nullptr) return nullptr;
    if (AllocationFails()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void *p = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID block) {
    if (heap == nullptr) return FALSE;
    std::free(block);
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

DWORD WINAPI GetTickCount(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(ts.tv_sec * 1000ULL + ts.tv_nsec / 1000000);
}

}  // extern "C"
