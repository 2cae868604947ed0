// WSTRING and DSTRING: wide strings on the process heap.
#include "platform/classlib/classlib.h"

#include "platform/wstr.h"

#include <cstdint>
#include <cstring>

namespace {
const WCHAR EmptyText[] = {0};
}  // namespace

WSTRING::WSTRING() : text_(nullptr), count_(0) {}

WSTRING::~WSTRING() {
    if (text_ != nullptr) HeapFree(GetProcessHeap(), 0, text_);
}

BOOLEAN WSTRING::Initialize(const WCHAR *text, LONG length) {
    size_t count;
    if (length == TO_END) {
        count = text != nullptr ? WStrLen(text) : 0;
    } else if (length >= 0 && (text != nullptr || length == 0)) {
        count = static_cast<size_t>(length);
    } else {
        count = SIZE_MAX;  // refused below
    }
    // The count must fit the 32-bit length and, with its NUL, the allocation size.
    WCHAR *copy = nullptr;
    if (count < 0xFFFFFFFFu && count < SIZE_MAX / sizeof(WCHAR) - 1) {
        copy = static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, (count + 1) * sizeof(WCHAR)));
    }
    // The old text goes only after the copy is made: text may point into it.
    if (copy != nullptr) {
        if (count > 0) std::memcpy(copy, text, count * sizeof(WCHAR));
        copy[count] = 0;
    }
    if (text_ != nullptr) HeapFree(GetProcessHeap(), 0, text_);
    text_ = copy;
    count_ = copy != nullptr ? static_cast<ULONG>(count) : 0;
    return copy != nullptr;
}

const WCHAR *WSTRING::GetWSTR() const { return text_ != nullptr ? text_ : EmptyText; }

DSTRING::DSTRING() {}

DSTRING::~DSTRING() {}
