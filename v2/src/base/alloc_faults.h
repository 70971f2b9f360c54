// Allocation failures on demand, for the allocation-failure sweep build
// (VORLET_ALLOC_FAULTS) only; the normal build compiles none of it.
//
// While armed, every allocation made on the arming thread or on one of the
// library's own threads is counted: the shims of alloc.h ask before they
// allocate, and so does the sweep binary's operator new (protobuf's and the
// standard library's allocations). The fail_at-th counted allocation fails;
// every other one goes ahead. Allocations on other threads (a test's peer
// or drain) are neither counted nor failed. With `from_then_on` every
// counted allocation from the fail_at-th on fails: memory that stays short.
#pragma once

#if defined(VORLET_ALLOC_FAULTS)

#include <cstdint>

namespace vorlet::v2::alloc_faults {

// Starts counting from 0 on this thread and the library's threads; the
// fail_at-th allocation fails, and with from_then_on every later one too
// (fail_at 0: count only).
void arm(uint64_t fail_at, bool from_then_on = false) noexcept;
// Stops counting; the number of allocations counted since arm.
uint64_t disarm() noexcept;
// Whether the armed failure has happened.
bool fired() noexcept;

// Asked by every allocation entry before it allocates: counts the
// allocation and says whether it must fail.
bool fail_next() noexcept;

// Called with each counted allocation's number and whether it failed, on
// the allocating thread (NULL: none); what the observer itself allocates is
// not counted. For tracing where allocations come from.
using Observer = void (*)(uint64_t number, bool failed);
void set_observer(Observer observer) noexcept;

}  // namespace vorlet::v2::alloc_faults

#endif
