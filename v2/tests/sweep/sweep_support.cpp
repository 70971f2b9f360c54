#include "sweep/sweep_support.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "pool/frame_buffer.h"

namespace vorlet::v2::test {
namespace {

constexpr uint64_t kMostPoints = 100000;  // a path that never ends its sweep

void print_failed_allocation(uint64_t number, bool failed) {
  if (!failed) return;
  std::fprintf(stderr, "sweep: allocation %llu fails here:\n", static_cast<unsigned long long>(number));
  __sanitizer_print_stack_trace();
}

// What allocations_within looks for, and what it found. Only its counting
// run touches these, on the allocating thread.
const std::vector<const char*>* g_prefixes = nullptr;
std::set<uint64_t>* g_within = nullptr;

void note_if_within(uint64_t number, bool) {
  void* frames[64];
  const int depth = backtrace(frames, 64);
  for (int i = 0; i < depth; ++i) {
    Dl_info info;
    if (dladdr(frames[i], &info) == 0 || info.dli_sname == nullptr) continue;
    for (const char* prefix : *g_prefixes) {
      if (std::strncmp(info.dli_sname, prefix, std::strlen(prefix)) == 0) {
        g_within->insert(number);
        return;
      }
    }
  }
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Fault& fault) {
  return out << "allocation " << fault.fail_at << (fault.from_then_on ? " and later" : "");
}

uint64_t sweep(const char* path, const std::function<bool(const Fault&)>& one, const std::set<uint64_t>& skip) {
  const char* trace = std::getenv("VORLET_SWEEP_TRACE");
  const bool tracing = trace != nullptr && std::strcmp(trace, "1") == 0;
  alloc_faults::set_observer(tracing ? print_failed_allocation : nullptr);
  const uint64_t last_skipped = skip.empty() ? 0 : *skip.rbegin();
  uint64_t points[2] = {0, 0};
  uint64_t skipped = 0;
  for (bool from_then_on : {false, true}) {
    uint64_t k = 1;
    for (; k < kMostPoints; ++k) {
      // Failing from k on also fails the allocations to be left alone.
      if (from_then_on ? k <= last_skipped : skip.count(k) != 0) {
        if (!from_then_on) ++skipped;
        continue;
      }
      if (!one(Fault{k, from_then_on})) break;
      ++points[from_then_on];
      if (tracing && __lsan_do_recoverable_leak_check() != 0) {
        std::fprintf(stderr, "sweep: %s: leak after failing allocation %llu%s\n", path,
                     static_cast<unsigned long long>(k), from_then_on ? " and later" : "");
      }
    }
    EXPECT_LT(k, kMostPoints) << path << ": every run had its failure fire";
  }
  alloc_faults::set_observer(nullptr);
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << path << ": memory leaked (report above)";
  std::printf("sweep: %s: %llu allocation points failed once, %llu failed from then on", path,
              static_cast<unsigned long long>(points[0]), static_cast<unsigned long long>(points[1]));
  if (skipped > 0) std::printf(" (%llu more left alone)", static_cast<unsigned long long>(skipped));
  std::printf("\n");
  return points[0];
}

std::set<uint64_t> allocations_within(const std::vector<const char*>& prefixes, const std::function<void()>& run) {
  void* warm[1];
  (void)backtrace(warm, 1);  // its first call loads the unwinder
  std::set<uint64_t> within;
  g_prefixes = &prefixes;
  g_within = &within;
  alloc_faults::set_observer(note_if_within);
  run();
  alloc_faults::set_observer(nullptr);
  g_prefixes = nullptr;
  g_within = nullptr;
  return within;
}

void report_exception_crossed() { ADD_FAILURE() << "an exception crossed the C interface"; }

bool wait_quiet(Runtime* rt, uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    // Work only flows from the dispatcher to the workers, so a dispatcher
    // seen idle stays idle while the workers are looked at. Each consumer
    // raises its sleeping flag only after its last item ended.
    const IngressRing& in = rt->ingress_ring;
    bool quiet = in.write_index.load() == in.read_index.load() && rt->dispatcher_wake.sleeping.load() == 1;
    if (quiet) quiet = rt->local_ring.count() == 0 && rt->local_wake.sleeping.load() == 1;
    if (quiet) {
      MutexLock hold(&rt->remote_outbound_lock);
      quiet = rt->remote_ring.count() == 0 && rt->remote_wake.sleeping.load() == 1;
    }
    if (quiet) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

EmptyFramePool::EmptyFramePool() { frame_pool_trim(); }

}  // namespace vorlet::v2::test
