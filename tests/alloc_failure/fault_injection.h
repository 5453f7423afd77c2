// Test-only allocator hook: this executable replaces malloc, calloc, realloc
// and free, can make exactly one chosen allocation fail, and records the
// blocks allocated inside a tracking scope so that leaks can be counted.
#ifndef TWRELAY_TESTS_FAULT_INJECTION_H
#define TWRELAY_TESTS_FAULT_INJECTION_H

#include <cstddef>

namespace fault {

// Makes the allocation with index `n` (0 = the next one) fail, once.
void fail_nth(long n);
// Cancels a pending failure.
void disarm();
// True when the armed failure has been delivered since the last fail_nth.
bool failure_delivered();

// Starts recording blocks; `leaked()` counts those still live.
void start_tracking();
size_t leaked();
void stop_tracking();

}  // namespace fault

#endif
