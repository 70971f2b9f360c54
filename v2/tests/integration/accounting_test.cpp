// What a runtime takes from the process it gives back: once it is destroyed
// and the host has closed the ends it owns, the process holds exactly the
// descriptors and threads it held before create, whichever way the runtime
// went from create to destroy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/thread.h"
#include "runtime/ingress.h"
#include "runtime/lifecycle.h"
#include "runtime/reply_registry.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {
namespace {

using test::FlatSnapshot;
using test::kLocalTarget;
using test::RequestSpec;
using test::TestRuntime;

Status submit(Runtime* rt, const std::string& bytes) { return ingress_submit_envelope(rt, bytes.data(), bytes.size()); }

// Work in every place a runtime can hold it when it is stopped or
// destroyed: a delivery and a deadletter the host has not read, and a
// request that came in through the runtime's own listener and waits there
// for an answer the host never gives.
void leave_work_in_flight(TestRuntime& fx) {
  ASSERT_EQ(submit(fx.rt, test::request_envelope(RequestSpec{"unread", kLocalTarget})), Status::ok);
  ASSERT_EQ(submit(fx.rt, test::request_envelope(RequestSpec{"missed", "svc.none"})), Status::ok);
  ASSERT_EQ(submit(fx.rt, test::request_envelope(RequestSpec{"unanswered", kLocalTarget, false, 400, 16,
                                                             transport::DELIVERY_HINT_REQUIRE_REMOTE})),
            Status::ok);
  auto pending = [&fx] {
    MutexLock hold(&fx.rt->reply_registry->mutex);
    return fx.rt->reply_registry->count;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (pending() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(pending(), 1u);  // the relayed request waits at the listener
}

// An ask client on the started runtime, with one ask answered and one the
// host never answers; the ask client goes first, its unanswered ticket
// after it.
void ask_and_leave_one_pending(TestRuntime& fx, bool stop_first) {
  vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(to_handle(fx.rt), &fx.handles);
  ASSERT_NE(client, nullptr);
  vorlet_v2_AskTicket* answered = nullptr;
  vorlet_v2_AskTicket* pending = nullptr;
  const std::string first = test::request_envelope(RequestSpec{"asked", kLocalTarget});
  const std::string second = test::request_envelope(RequestSpec{"left", kLocalTarget});
  ASSERT_EQ(vorlet_v2_ask_client_begin(client, first.data(), first.size(), &answered), VORLET_V2_OK);
  ASSERT_EQ(vorlet_v2_ask_client_begin(client, second.data(), second.size(), &pending), VORLET_V2_OK);
  test::FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  // The host takes the second one too and leaves it unanswered: it is
  // delivered, so the stop below cannot turn it into a deadletter that
  // answers its ask.
  test::FrameBytes left;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &left), Status::ok);
  ASSERT_EQ(submit(fx.rt, test::response_for(std::string(got.begin(), got.end()))), Status::ok);
  int32_t kind = 0;
  void* bytes = nullptr;
  uint64_t length = 0;
  ASSERT_EQ(vorlet_v2_ask_ticket_await(answered, 10000, &kind, &bytes, &length), VORLET_V2_OK);
  EXPECT_EQ(kind, VORLET_V2_REPLY_KIND_RESPONSE);
  vorlet_v2_client_bytes_release(bytes);
  vorlet_v2_ask_ticket_destroy(answered);
  if (stop_first) {
    ASSERT_EQ(fx.stop(), Status::ok);
  }
  vorlet_v2_ask_client_destroy(client);
  EXPECT_EQ(vorlet_v2_ask_ticket_await(pending, 10000, &kind, &bytes, &length), VORLET_V2_CLOSED);
  vorlet_v2_ask_ticket_destroy(pending);
}

// Thread creation that fails at its n-th call from now on.
std::atomic<int> g_thread_calls{0};
std::atomic<int> g_fail_at{0};
bool failing_start_thread(std::thread* out, platform::ThreadProc proc, void* arg) noexcept {
  if (++g_thread_calls == g_fail_at.load()) return false;
  return platform::start_thread(out, proc, arg);
}

TEST(Accounting, EveryLifecyclePathGivesBackItsDescriptorsAndThreads) {
  // Holds a port, so that a start meant to fail cannot bind its listener.
  test::ScriptedServer occupant({test::PeerStep::stay_silent()});
  ASSERT_TRUE(occupant.listening());
  const uint16_t taken = occupant.port();

  auto snapshot_on = [](TestRuntime& fx, uint16_t port) {
    FlatSnapshot s(1);
    test::add_local_route(&s, port);
    ASSERT_EQ(fx.apply(s), Status::ok);
  };
  const struct Path {
    const char* name;
    std::function<void(TestRuntime&)> drive;
  } paths[] = {
      {"created only", [](TestRuntime&) {}},
      {"handles taken, no optional pipe", [](TestRuntime& fx) { ASSERT_EQ(fx.take_handles(0), Status::ok); }},
      {"handles taken, every pipe", [](TestRuntime& fx) { ASSERT_EQ(fx.take_handles(), Status::ok); }},
      {"a snapshot, no handles", [&](TestRuntime& fx) { snapshot_on(fx, test::free_loopback_port()); }},
      {"started, destroyed with work in flight",
       [](TestRuntime& fx) {
         ASSERT_TRUE(fx.bring_up());
         leave_work_in_flight(fx);
       }},
      {"started, stopped with work in flight, destroyed",
       [](TestRuntime& fx) {
         ASSERT_TRUE(fx.bring_up());
         leave_work_in_flight(fx);
         ASSERT_EQ(fx.stop(), Status::ok);
       }},
      {"started, an ask client with an ask pending destroyed, then the runtime",
       [](TestRuntime& fx) {
         ASSERT_TRUE(fx.bring_up());
         ask_and_leave_one_pending(fx, false);
       }},
      {"started, stopped under an ask client with an ask pending, the client destroyed, then the runtime",
       [](TestRuntime& fx) {
         ASSERT_TRUE(fx.bring_up());
         ask_and_leave_one_pending(fx, true);
       }},
      {"a start that cannot bind its listener",
       [&](TestRuntime& fx) {
         ASSERT_EQ(fx.take_handles(), Status::ok);
         snapshot_on(fx, taken);
         ASSERT_EQ(fx.start(), Status::io);
       }},
      {"a start whose thread cannot be created, then a start that runs and a stop",
       [&](TestRuntime& fx) {
         ASSERT_EQ(fx.take_handles(), Status::ok);
         snapshot_on(fx, test::free_loopback_port());
         g_thread_calls = 0;
         g_fail_at = 5;  // the writers and the dispatcher run by then
         fx.rt->start_thread = failing_start_thread;
         ASSERT_EQ(fx.start(), Status::io);
         fx.rt->start_thread = platform::start_thread;
         ASSERT_EQ(fx.start(), Status::ok);
         leave_work_in_flight(fx);
         ASSERT_EQ(fx.stop(), Status::ok);
       }},
  };
  for (const Path& path : paths) {
    SCOPED_TRACE(path.name);
    const size_t fds = test::open_descriptor_count();
    const size_t threads = test::baseline_thread_count();
    {
      TestRuntime fx;
      ASSERT_NE(fx.rt, nullptr);
      path.drive(fx);
    }  // destroyed, then the host's ends closed
    EXPECT_EQ(test::open_descriptor_count(), fds);
    EXPECT_EQ(test::thread_count(), threads);
  }
}

}  // namespace
}  // namespace vorlet::v2
