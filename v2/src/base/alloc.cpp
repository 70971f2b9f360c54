#include "base/alloc.h"

#include <cstdlib>
#include <cstring>

#include "base/alloc_faults.h"

#if defined(VORLET_ALLOC_FAULTS)
#include <atomic>

#include "base/library_thread.h"
#endif

namespace vorlet::v2 {

#if defined(VORLET_ALLOC_FAULTS)
namespace alloc_faults {
namespace {

std::atomic<bool> g_armed{false};
std::atomic<bool> g_fired{false};
std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_fail_at{0};
std::atomic<bool> g_from_then_on{false};
std::atomic<Observer> g_observer{nullptr};
thread_local bool t_arming_thread = false;
thread_local bool t_in_observer = false;  // what the observer allocates is not counted

}  // namespace

void arm(uint64_t fail_at, bool from_then_on) noexcept {
  g_count.store(0);
  g_fired.store(false);
  g_fail_at.store(fail_at);
  g_from_then_on.store(from_then_on);
  t_arming_thread = true;
  g_armed.store(true);
}

uint64_t disarm() noexcept {
  g_armed.store(false);
  t_arming_thread = false;
  return g_count.load();
}

bool fired() noexcept { return g_fired.load(); }

bool fail_next() noexcept {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  if (t_in_observer || (!t_arming_thread && !on_library_thread())) return false;
  const uint64_t number = g_count.fetch_add(1) + 1;
  const uint64_t fail_at = g_fail_at.load();
  const bool fail = fail_at != 0 && (number == fail_at || (number > fail_at && g_from_then_on.load()));
  if (fail) g_fired.store(true);
  if (Observer observer = g_observer.load()) {
    t_in_observer = true;
    observer(number, fail);
    t_in_observer = false;
  }
  return fail;
}

void set_observer(Observer observer) noexcept { g_observer.store(observer); }

}  // namespace alloc_faults
#endif

namespace {

bool mul_overflows(uint64_t a, uint64_t b, uint64_t* out) noexcept {
  return __builtin_mul_overflow(a, b, out);
}

// An allocation the sweep build was told to fail; never in the normal build.
#if defined(VORLET_ALLOC_FAULTS)
bool injected_failure() noexcept { return alloc_faults::fail_next(); }
#else
constexpr bool injected_failure() noexcept { return false; }
#endif

}  // namespace

void* rt_malloc(uint64_t n) noexcept {
  if (injected_failure()) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}

void* rt_realloc(void* p, uint64_t n) noexcept {
  if (injected_failure()) return nullptr;
  return std::realloc(p, n == 0 ? 1 : n);
}

void* rt_calloc(uint64_t count, uint64_t size) noexcept {
  if (injected_failure()) return nullptr;
  uint64_t total = 0;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  if (mul_overflows(count, size, &total)) return nullptr;
  return std::calloc(1, total);
}

void rt_free(void* p) noexcept { std::free(p); }

void* rt_aligned_calloc(uint64_t alignment, uint64_t count, uint64_t size) noexcept {
  if (alignment < 8 || (alignment & (alignment - 1)) != 0) return nullptr;
  uint64_t total = 1;
  if (count != 0 && size != 0 && mul_overflows(count, size, &total)) return nullptr;
  uint64_t raw_size = 0;
  if (__builtin_add_overflow(alignment + 7, total, &raw_size)) return nullptr;
  auto* raw = static_cast<unsigned char*>(rt_malloc(raw_size));
  if (raw == nullptr) return nullptr;
  const uintptr_t base = reinterpret_cast<uintptr_t>(raw) + 8;
  const uintptr_t aligned = (base + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
  auto* user = reinterpret_cast<unsigned char*>(aligned);
  std::memcpy(user - 8, &raw, sizeof raw);
  std::memset(user, 0, total);
  return user;
}

void rt_aligned_free(void* p) noexcept {
  if (p == nullptr) return;
  void* raw = nullptr;
  std::memcpy(&raw, static_cast<unsigned char*>(p) - 8, sizeof raw);
  rt_free(raw);
}

}  // namespace vorlet::v2
