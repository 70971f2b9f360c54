// The allocation-failure sweep: a path is run once for every allocation it
// makes, with that one allocation failing, then once for every allocation
// with it and every later one failing (memory that stays short), and each
// time once more with none failing.
//
//   const uint64_t points = sweep("create", [&](const Fault& fault) {
//     ... set up (not counted) ...
//     FailingAllocations window(fault);
//     ... the path ...
//     window.close();
//     ... check the outcome, tear down (not counted) ...
//     return window.fired();
//   });
//
// Allocations are counted on the test's own thread while a window is open
// and on the library's threads (alloc_faults.h), so a helper thread of the
// test (a peer, a pipe drain) never fails. Nothing inside a window may
// allocate on the test's behalf: set everything up before opening it.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <type_traits>
#include <vector>

#include "base/alloc_faults.h"
#include "runtime/runtime.h"

namespace vorlet::v2::test {

// Which counted allocation fails (0: none), and whether every later one
// does too.
struct Fault {
  uint64_t fail_at;
  bool from_then_on;
};
std::ostream& operator<<(std::ostream& out, const Fault& fault);

// Open from construction to close(): allocations fail as `fault` says.
class FailingAllocations {
 public:
  explicit FailingAllocations(const Fault& fault) { alloc_faults::arm(fault.fail_at, fault.from_then_on); }
  ~FailingAllocations() { close(); }
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;

  // Closes the window; the allocations counted in it.
  uint64_t close() {
    if (open_) {
      counted_ = alloc_faults::disarm();
      open_ = false;
    }
    return counted_;
  }
  bool fired() const { return alloc_faults::fired(); }

 private:
  bool open_ = true;
  uint64_t counted_ = 0;
};

// Runs one(fault) for k = 1, 2, ..., first failing only the k-th
// allocation, then the k-th and every later one, each until a run's k-th
// allocation no longer happened (that run is the one without a failure);
// one() returns whether its failure fired. The number of allocation points
// swept, also printed under `path` for the record. `skip` (optional) names
// allocations never to fail; they are left out of the count. With
// VORLET_SWEEP_TRACE=1 each failed allocation prints where it was made,
// and a run after which memory leaked says so.
uint64_t sweep(const char* path, const std::function<bool(const Fault&)>& one,
               const std::set<uint64_t>& skip = {});

// The numbers of the allocations that one counting run of `run` (which
// opens its own window with fail_at 0) makes while a function whose
// mangled name begins with one of `prefixes` is on the stack. For code
// that cannot survive a failing allocation and that the library cannot
// change: the sweep leaves those allocations alone.
std::set<uint64_t> allocations_within(const std::vector<const char*>& prefixes, const std::function<void()>& run);

void report_exception_crossed();

// Runs f (a call of the C interface) and hands back its result; an
// exception that comes out of it fails the test.
template <class F>
auto across_c_interface(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    report_exception_crossed();
    if constexpr (!std::is_void_v<decltype(f())>) return decltype(f()){};
  }
}

// Until the dispatcher and both workers sleep with their rings empty: what
// was submitted before has been delivered, deadlettered or dropped, and
// what goes to the host waits in its pipe queue. false after timeout_ms.
bool wait_quiet(Runtime* rt, uint32_t timeout_ms = 10000);

// Frees the idle blocks of the frame-buffer pool's depot and of this
// thread's cache, so that the frame buffers a path takes are new
// allocations it can fail. The runtime's threads start with empty caches,
// and a stopped runtime's threads gave theirs to the depot as they exited.
class EmptyFramePool {
 public:
  EmptyFramePool();
  EmptyFramePool(const EmptyFramePool&) = delete;
  EmptyFramePool& operator=(const EmptyFramePool&) = delete;
};

}  // namespace vorlet::v2::test
