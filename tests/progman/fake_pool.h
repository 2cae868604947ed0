// A pool whose allocations can be made to fail, linked in place of the real one.
#pragma once

#include <cstdint>
#include <functional>

namespace fakepool {
extern std::function<bool(int32_t)> Fail;  // true: that request returns null
extern int Outstanding;                     // blocks handed out and not yet released
}  // namespace fakepool
