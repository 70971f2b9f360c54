// The lifecycle calls under allocation failure: create, host handles,
// start, stop and destroy each meet a failing allocation at every one of
// their allocations, and each time return what their contract says, leak
// nothing and leave a runtime that can still be stopped and destroyed.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "platform/pipe.h"
#include "support/delivery_ledger.h"
#include "support/envelopes.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "sweep/sweep_support.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test {
namespace {

void close_host_ends(vorlet_v2_HostHandles* h) {
  for (int32_t* fd : {&h->request_write_fd, &h->response_read_fd, &h->deadletter_read_fd, &h->control_write_fd,
                      &h->monitor_read_fd, &h->delivered_read_fd}) {
    platform::fd_close(*fd);
    *fd = -1;
  }
}

TEST(LifecycleSweep, CreateFailsWhole) {
  const size_t fds = open_descriptor_count();
  const vorlet_v2_RuntimeOptions options{"sweep", "create", 1, 0};
  const uint64_t points = sweep("create", [&](const Fault& fault) {
    FailingAllocations window(fault);
    vorlet_v2_Runtime* rt = across_c_interface([&] { return vorlet_v2_runtime_create(&options); });
    window.close();
    EXPECT_EQ(rt == nullptr, window.fired()) << fault;
    vorlet_v2_runtime_destroy(rt);
    return window.fired();
  });
  EXPECT_GT(points, 0u);
  EXPECT_EQ(open_descriptor_count(), fds);
}

TEST(LifecycleSweep, HostHandlesFailWithNomemAndCanBeTakenAgain) {
  const uint64_t points = sweep("get_host_handles", [&](const Fault& fault) {
    TestRuntime runtime;
    const size_t fds = open_descriptor_count();
    vorlet_v2_HostHandles h{};
    h.struct_size = sizeof h;
    h.flags = VORLET_V2_HOST_HANDLE_MONITOR_PIPE | VORLET_V2_HOST_HANDLE_DELIVERED_PIPE;
    FailingAllocations window(fault);
    int32_t s = across_c_interface([&] { return vorlet_v2_runtime_get_host_handles(runtime.handle(), &h); });
    window.close();
    if (window.fired()) {
      EXPECT_EQ(s, VORLET_V2_NOMEM) << fault;
      EXPECT_EQ(open_descriptor_count(), fds) << fault;
      s = vorlet_v2_runtime_get_host_handles(runtime.handle(), &h);
    }
    EXPECT_EQ(s, VORLET_V2_OK) << fault;
    if (s == VORLET_V2_OK) close_host_ends(&h);
    return window.fired();
  });
  EXPECT_GT(points, 0u);
}

TEST(LifecycleSweep, StartFailsWithIoAndCanBeStartedAgain) {
  const size_t threads = baseline_thread_count();
  sweep("start", [&](const Fault& fault) {
    TestRuntime fx;
    FlatSnapshot snapshot;
    add_local_route(&snapshot, free_loopback_port());
    EXPECT_EQ(fx.take_handles(), Status::ok);
    EXPECT_EQ(fx.apply(snapshot), Status::ok);
    FailingAllocations window(fault);
    int32_t s = across_c_interface([&] { return vorlet_v2_runtime_start(to_handle(fx.rt)); });
    window.close();
    if (window.fired()) {
      EXPECT_EQ(s, VORLET_V2_IO) << fault;
      EXPECT_EQ(fx.rt->state, RuntimeState::created) << fault;
      s = vorlet_v2_runtime_start(to_handle(fx.rt));
    }
    EXPECT_EQ(s, VORLET_V2_OK) << fault;
    EXPECT_EQ(vorlet_v2_runtime_stop(to_handle(fx.rt)), VORLET_V2_OK) << fault;
    return window.fired();
  });
  EXPECT_EQ(thread_count(), threads);
}

// A started runtime whose local delivery is jammed: the host does not read
// the delivered-request pipe, so the pipe, its queue and the local ring are
// full and the local worker waits to hand on a job. Stop and destroy then
// have work to do: write out what is queued and turn the jobs still in the
// ring into deadletters.
class JammedRuntime {
 public:
  JammedRuntime() : fx_(1) {}

  bool bring_up() {
    if (fx_.take_handles() != Status::ok) return false;
    FlatSnapshot snapshot;
    add_local_route(&snapshot, free_loopback_port());
    if (fx_.apply(snapshot) != Status::ok || fx_.start() != Status::ok) return false;
    for (int i = 0; i < 40; ++i) {
      if (stuck()) return true;
      const std::string id = "jam-" + std::to_string(i);
      const std::string bytes = envelope(id);
      if (vorlet_v2_runtime_submit_envelope(to_handle(fx_.rt), bytes.data(), bytes.size()) != 0) return false;
      ledger_.accepted(id);
      if (!dispatcher_idle()) return false;
    }
    return false;
  }

  // Reads the host's pipes to their end once the runtime is stopping (so
  // that the jobs still queued then become deadletters), on a thread of the
  // test; the runtime must stay alive until stopping is set.
  void drain_once_stopping() {
    Runtime* rt = fx_.rt;
    const int32_t delivered = fx_.handles.delivered_read_fd;
    const int32_t deadletter = fx_.handles.deadletter_read_fd;
    drain_ = std::thread([this, rt, delivered, deadletter] {
      while (rt->stopping.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      HostPipeDrain drain(&ledger_, {delivered}, deadletter);
      drained_ = drain.wait();
    });
  }
  bool join_drain() {
    drain_.join();
    return drained_;
  }

  // The ledger's problems; with a failure, lost or anonymous deadletters
  // are accepted (they could not be built whole), doubles never.
  std::vector<std::string> problems(bool failure) const {
    std::vector<std::string> found;
    for (const std::string& p : ledger_.problems()) {
      const bool lost = p.rfind("came out 0 times", 0) == 0 || p.rfind("a deadletter without", 0) == 0;
      if (!failure || !lost) found.push_back(p);
    }
    return found;
  }
  uint64_t deadlettered() const { return ledger_.deadlettered_count(); }

  TestRuntime& fx() { return fx_; }

 private:
  static std::string envelope(const std::string& id) {
    return test::envelope({.message_id = id,
                           .source = "sweep.host",
                           .target = kLocalTarget,
                           .one_way = true,
                           .payload = std::string(60000, 'j')})  // one fills the pipe
        .SerializeAsString();
  }

  bool dispatcher_idle() {
    for (int i = 0; i < 10000; ++i) {
      const IngressRing& in = fx_.rt->ingress_ring;
      if (in.write_index.load() == in.read_index.load() && fx_.rt->dispatcher_wake.sleeping.load() == 1) return true;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
  }

  // The local ring is full and nothing leaves it for a while.
  bool stuck() {
    const auto state = [this] {
      return std::make_pair(fx_.rt->local_ring.count(), fx_.rt->local_ring.read_index.load());
    };
    const auto before = state();
    if (before.first < fx_.rt->local_ring.capacity) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return state() == before;
  }

  TestRuntime fx_;
  DeliveryLedger ledger_;
  std::thread drain_;
  bool drained_ = false;
};

TEST(LifecycleSweep, StopOfAJammedRuntimeWritesOutAndDeadlettersWhatItCan) {
  const uint64_t points = sweep("stop", [&](const Fault& fault) {
    JammedRuntime jam;
    EXPECT_TRUE(jam.bring_up()) << fault;
    jam.drain_once_stopping();
    FailingAllocations window(fault);
    const int32_t s = across_c_interface([&] { return vorlet_v2_runtime_stop(to_handle(jam.fx().rt)); });
    window.close();
    EXPECT_EQ(s, VORLET_V2_OK) << fault;
    EXPECT_TRUE(jam.join_drain()) << fault;
    EXPECT_EQ(jam.problems(window.fired()), std::vector<std::string>{}) << fault;
    if (!window.fired()) {
      EXPECT_GT(jam.deadlettered(), 0u);  // the ring's jobs
    }
    return window.fired();
  });
  EXPECT_GT(points, 0u);
}

TEST(LifecycleSweep, DestroyOfAJammedRuntimeWritesOutAndDeadlettersWhatItCan) {
  const size_t threads = baseline_thread_count();
  const uint64_t points = sweep("destroy", [&](const Fault& fault) {
    JammedRuntime jam;
    EXPECT_TRUE(jam.bring_up()) << fault;
    jam.drain_once_stopping();
    FailingAllocations window(fault);
    across_c_interface([&] { vorlet_v2_runtime_destroy(to_handle(jam.fx().rt)); });
    window.close();
    jam.fx().rt = nullptr;  // gone
    EXPECT_TRUE(jam.join_drain()) << fault;
    EXPECT_EQ(jam.problems(window.fired()), std::vector<std::string>{}) << fault;
    if (!window.fired()) {
      EXPECT_GT(jam.deadlettered(), 0u);
    }
    return window.fired();
  });
  EXPECT_GT(points, 0u);
  EXPECT_EQ(thread_count(), threads);
}

}  // namespace
}  // namespace vorlet::v2::test
