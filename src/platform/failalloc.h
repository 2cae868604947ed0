// Allocation failure on demand, for the tests that check every allocation's
// failure path. Test builds only (PELLOR_ALLOC_FAILURES): PELLOR_FAIL_ALLOCATION=N
// in the environment makes the Nth allocation of the process fail, once. Every
// other build has no hook at all.
#pragma once

#ifdef PELLOR_ALLOC_FAILURES
// Counts one allocation; true when it is the one to fail. The variable is read
// at the first call and removed, so that programs this one starts run normally.
bool AllocationFails();
#else
inline bool AllocationFails() { return false; }
#endif
