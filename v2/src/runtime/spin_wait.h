// A bounded spin before a thread sleeps, where a hand-off between two
// threads is hot: polling a memory location for a few tens of
// microseconds costs less than the futex wake, the futex wait and the two
// context switches of a hand-off to a thread that went to sleep.
//
// The spin makes no system call: it counts iterations of the processor's
// pause, the count per window calibrated once per process against the
// monotonic clock. Callers spin only right after they handled work, never
// while idle, so an idle runtime still sleeps without a wake-up.
#pragma once

#include <cstdint>

#include "platform/cpu.h"

namespace vorlet::v2 {

// How long a ring's consumer (the dispatcher, the local and remote
// workers) polls its ring after it emptied it. In a local round trip with
// one ask in flight the dispatcher's next item comes some tens of
// microseconds after its last and the local worker's one round trip
// later; measured, a window of 10 to 25 us saved next to nothing, 100 us
// took the round trip from about 11 to 3.5 context switches and from
// 22 to 9 system calls, and 200 us bought no more.
inline constexpr uint64_t kConsumerSpinNs = 100'000;

// How long an ask's caller polls for its answer before it sleeps on the
// ticket's condition variable: about one local round trip once the
// consumers spin, so that the lane delivering the answer wakes no one.
inline constexpr uint64_t kAskSpinNs = 100'000;

// When a consumer's spins keep missing (its producers are slower than the
// window, as on the remote road, where a hand-off waits on the network),
// it stops spinning after kSpinMissLimit misses in a row and tries again
// only every kSpinRetryEvery bursts of work, so a road the spin does not
// pay for costs about a sixteenth of a spin per burst.
inline constexpr uint32_t kSpinMissLimit = 4;
inline constexpr uint32_t kSpinRetryEvery = 16;

// One consumer's record of its spins; only that consumer touches it.
struct SpinGovernor {
  uint32_t armed;   // 1 when it handled work since it last spun
  uint32_t misses;  // spins in a row that ended with nothing
  uint32_t skipped; // bursts since it last spun while missing

  // After the consumer handled an item.
  void worked() noexcept { armed = 1; }
  // Whether to spin now (once per burst of work), disarming.
  bool take_turn() noexcept {
    if (armed == 0) return false;
    armed = 0;
    if (misses < kSpinMissLimit) return true;
    if (++skipped < kSpinRetryEvery) return false;
    skipped = 0;
    return true;
  }
  void outcome(bool hit) noexcept {
    if (hit) {
      misses = 0;
      skipped = 0;
    } else if (misses < kSpinMissLimit) {
      ++misses;
    }
  }
};

// Pause iterations that take about ns nanoseconds on this machine (at
// least 1). The first call calibrates (two clock reads); later calls are
// a load.
uint64_t spin_iterations_for_ns(uint64_t ns) noexcept;

// Polls ready() with a pause between tries, at most `iterations` times:
// true as soon as ready() is, false when the budget ran out.
template <class Ready>
bool spin_until(uint64_t iterations, Ready ready) noexcept {
  for (uint64_t i = 0; i < iterations; ++i) {
    if (ready()) return true;
    platform::cpu_relax();
  }
  return ready();
}

}  // namespace vorlet::v2
