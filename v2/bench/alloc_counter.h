// Counts the heap allocations of the whole process (the library's and
// protobuf's included) while a window is open. Built only where the
// benchmark may replace the allocator's entry points (not under the
// sanitizers, which bring their own); elsewhere available() is false.
#pragma once

#include <cstdint>

namespace bench {

bool alloc_counter_available();
void alloc_counter_open();
// Allocations (malloc, calloc, realloc, aligned) since the window opened;
// closes it.
uint64_t alloc_counter_close();

}  // namespace bench
