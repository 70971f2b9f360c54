// The one runtime fixture of the unit tests: a runtime taken through its
// lifecycle in stages, the way a host drives it.
//
//   TestRuntime fx;                         // created (queue hint 0)
//   TestRuntime fx(64, TakeHandles{0});     // created, handles taken (fx.opened)
//   ASSERT_TRUE(fx.bring_up());             // handles taken, snapshot applied, started
//   fx.push_frame(HostPipe::response, ...); // or submit, once it exists
//   ASSERT_EQ(fx.stop(), Status::ok);
//   fx.read_until_eof(HostPipe::response, &frames);
//
// Each stage can also be taken alone (take_handles, apply, start, stop), so
// a test stops at the stage it is about. The fixture owns the host's ends of
// the pipes: it destroys the runtime first (in whatever state), then closes
// every host descriptor still open. Frames on the host-bound pipes are read
// through one frame reader per pipe, made on first use.
//
// The event log and state of a runtime: support/runtime_probe.h.
// Descriptor and thread counts of the process: support/proc_probe.h.
// Byte patterns and pipes of a test's own: support/pipe_support.h.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "codec/frame_reader.h"
#include "base/status.h"
#include "runtime/host_pipes.h"
#include "runtime/runtime.h"
#include "support/pipe_support.h"

namespace vorlet::v2::test {

struct EndpointSpec {
  std::string host;
  uint16_t port;
  uint32_t weight = 1;
  uint32_t flags = 0;  // VORLET_V2_ENDPOINT_FLAG_...
};

// A flat route snapshot that owns every text and array it points to.
class FlatSnapshot {
 public:
  explicit FlatSnapshot(uint64_t generation = 1) : generation_(generation) {}
  FlatSnapshot(const FlatSnapshot&) = delete;
  FlatSnapshot& operator=(const FlatSnapshot&) = delete;

  // Adds a route; hint NULL leaves route_key_hint NULL.
  FlatSnapshot& route(const std::string& target, uint32_t strategy, std::vector<EndpointSpec> endpoints,
                      const char* hint = nullptr, uint32_t flags = 0);
  FlatSnapshot& generation(uint64_t g) {
    generation_ = g;
    return *this;
  }
  // The flat form, valid until this snapshot changes or goes.
  const RouteSnapshotDesc* desc();

 private:
  struct Route {
    std::string target;
    uint32_t strategy;
    bool has_hint;
    std::string hint;
    uint32_t flags;
    std::vector<EndpointSpec> endpoints;
    std::vector<EndpointDesc> flat;
  };
  uint64_t generation_;
  std::deque<Route> routes_;  // stable addresses for the texts
  std::vector<RouteDesc> flat_;
  RouteSnapshotDesc desc_{};
};

// The process's thread count (/proc/self/task) after one thread has come and
// gone, so that a helper thread a sanitizer starts along with the first
// thread is already in the count. Take it as the baseline of a test.
size_t baseline_thread_count();

// The target of the fixture's default snapshot.
inline constexpr const char* kLocalTarget = "svc.local";

// One route, kLocalTarget, single owner, served by this runtime's own
// endpoint 127.0.0.1:port (which is also its listen address).
void add_local_route(FlatSnapshot* snapshot, uint16_t port);

// The constructor option that takes the host's handles (with these
// HostHandles flags in) right after create.
struct TakeHandles {
  uint32_t flags;
};

class TestRuntime {
 public:
  // Creates the runtime with the queue-capacity hint; rt is NULL when
  // create failed.
  explicit TestRuntime(int32_t queue_capacity = 0);
  // Creates the runtime with these options (texts and flag of its own).
  explicit TestRuntime(const vorlet_v2_RuntimeOptions& options);
  // Creates the runtime, then takes the handles; opened says how that went.
  TestRuntime(int32_t queue_capacity, TakeHandles take);
  // Destroys the runtime (in whatever state), then closes the host ends.
  ~TestRuntime();
  TestRuntime(const TestRuntime&) = delete;
  TestRuntime& operator=(const TestRuntime&) = delete;

  static constexpr uint32_t kAllPipes = VORLET_V2_HOST_HANDLE_MONITOR_PIPE | VORLET_V2_HOST_HANDLE_DELIVERED_PIPE;

  vorlet_v2_Runtime* handle() const { return to_handle(rt); }

  // Takes the host's handles; the status is also kept in opened.
  Status take_handles(uint32_t flags = kAllPipes);
  Status apply(FlatSnapshot& snapshot);
  Status start();
  Status stop();
  // take_handles(flags), apply the default snapshot (generation 1, the
  // local route on listen_port; 0 picks a free loopback port), start.
  bool bring_up(uint32_t flags = kAllPipes, uint16_t listen_port = 0);
  // The listen port of the default snapshot bring_up applied.
  uint16_t listen_port() const { return listen_port_; }

  // ---- the host's side ----

  // The host's read end of a host-bound pipe (-1 when not made or closed).
  int32_t host_read_fd(HostPipe pipe) const;
  // One frame from a host-bound pipe within timeout_ms: ok with its body,
  // closed at end of file, would_block when none came in time.
  Status read_frame(HostPipe pipe, FrameBytes* body, uint32_t timeout_ms = 10000);
  // Every frame up to end of file: ok when end of file came, else the
  // status that ended the reading (frames read so far are kept).
  Status read_until_eof(HostPipe pipe, std::vector<FrameBytes>* frames, uint32_t timeout_ms = 10000);
  // Hands a copy of body to the pipe's queue as a producer of the runtime
  // would (its writer writes it out).
  Status push_frame(HostPipe pipe, const FrameBytes& body);
  // Closes one host end (a field of handles) and marks it -1.
  void close_host_end(int32_t* fd);

  // The events the log holds, oldest first.
  std::vector<MonitorEvent> events() const;
  uint64_t counter(Counter c) const { return rt->counters.load(c); }

  Runtime* rt = nullptr;
  vorlet_v2_HostHandles handles{};
  // What the last take_handles returned (io before any).
  Status opened = Status::io;

 private:
  bool handles_taken_ = false;  // the host ends in handles are the fixture's to close
  uint16_t listen_port_ = 0;
  FrameReader* readers_[kHostPipeCount] = {};
};

}  // namespace vorlet::v2::test
