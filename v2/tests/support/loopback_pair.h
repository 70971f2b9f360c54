// Two started runtimes in one process, joined over loopback TCP:
//
//   a: kLocalTarget  -> 127.0.0.1:a_port (local: a's own listener)
//      kRemoteTarget -> 127.0.0.1:b_port (remote: b's listener)
//   b: kRemoteTarget -> 127.0.0.1:b_port (local: b's own listener)
//
// so that what a's host sends to kRemoteTarget goes out from a's remote
// worker, is received by b's inbound handler and is delivered to b's host,
// whose response travels back the same way.
//
//   LoopbackPair pair;
//   ASSERT_TRUE(pair.bring_up());
//   submit to pair.a.rt ...; pair.b.read_frame(HostPipe::delivered, &got);
//
// Each side is a TestRuntime (support/test_runtime.h) with every
// host pipe taken; the pair destroys b, then a. stop_both() stops a first,
// so that nothing of a's waits on a b that has gone.
#pragma once

#include <cstdint>
#include <string>

#include "support/test_runtime.h"

namespace vorlet::v2::test {

inline constexpr const char* kRemoteTarget = "svc.remote";

class LoopbackPair {
 public:
  // Both created with the queue-capacity hint.
  explicit LoopbackPair(int32_t queue_capacity = 0) : a(queue_capacity), b(queue_capacity) {}

  // Free loopback ports, the snapshots above (generation 1), b started
  // first, then a. false when a step failed.
  bool bring_up();
  // Stops a, then b; ok when both stopped.
  Status stop_both();

  uint16_t a_port = 0;
  uint16_t b_port = 0;
  // Declared in this order so that b is destroyed first.
  TestRuntime a;
  TestRuntime b;
};

}  // namespace vorlet::v2::test
