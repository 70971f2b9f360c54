#include "runtime/spin_wait.h"

#include <atomic>

#include "base/clock.h"
#include "platform/cpu.h"

namespace vorlet::v2 {
namespace {

// Enough pauses that the two clock reads around them are noise, few
// enough that the calibration costs well under a millisecond. The fastest
// of a few tries counts, so that a thread preempted while it calibrates
// does not shrink every later window.
constexpr uint64_t kCalibrationPauses = 2048;
constexpr int kCalibrationTries = 5;

// Pauses per microsecond, scaled by 1024; 0 until calibrated.
std::atomic<uint64_t> pauses_per_us_x1024{0};

uint64_t calibrate() noexcept {
  uint64_t fastest = 0;
  for (int t = 0; t < kCalibrationTries; ++t) {
    uint64_t begin = 0, end = 0;
    if (clock_monotonic_ns(&begin) != 0) break;
    for (uint64_t i = 0; i < kCalibrationPauses; ++i) platform::cpu_relax();
    if (clock_monotonic_ns(&end) != 0 || end <= begin) break;
    if (fastest == 0 || end - begin < fastest) fastest = end - begin;
  }
  if (fastest == 0) return 1024;
  const uint64_t rate = kCalibrationPauses * 1000 * 1024 / fastest;
  return rate == 0 ? 1 : rate;
}

}  // namespace

uint64_t spin_iterations_for_ns(uint64_t ns) noexcept {
  uint64_t rate = pauses_per_us_x1024.load(std::memory_order_relaxed);
  if (rate == 0) {
    // Two threads may both calibrate: either answer is as good.
    rate = calibrate();
    pauses_per_us_x1024.store(rate, std::memory_order_relaxed);
  }
  const uint64_t n = ns * rate / (1000 * 1024);
  return n == 0 ? 1 : n;
}

}  // namespace vorlet::v2
