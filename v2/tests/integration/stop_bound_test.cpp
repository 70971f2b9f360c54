// No peer can hold a stop: a peer that never reads its reply, a next hop
// that takes a relayed request and says nothing, a peer waiting while a
// start fails. Each of these used to hold stop (and, through the runtime
// lock, every getter) for as long as the peer chose; now each stop ends at
// once, and each job the stop cut ends once, with its own outcome.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "observe/runtime_health.h"
#include "platform/thread.h"
#include "runtime/ingress.h"
#include "runtime/lifecycle.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "support/waiting.h"
#include "tcp/tcp_adapter.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {
namespace {

using test::eventually;
using test::FlatSnapshot;
using test::FrameBytes;
using test::ms_since;
using test::PeerClient;
using test::PeerStep;
using test::RequestSpec;
using test::ScriptedServer;
using test::str;
using test::TestRuntime;
using Clock = std::chrono::steady_clock;

// Frames of up to 16 MiB, so that a request larger than every socket buffer
// on the way is still one the runtime takes.
constexpr int32_t kLargeFramesHint = 16384;
constexpr uint64_t kLarge = 8u << 20;
// The longest frame timeout a peer can ask for: about 49 days.
constexpr uint32_t kForever = 0xFFFFFFFFu;
constexpr char kCutText[] = "remote exchange cut by runtime stop";
// Generous for a loaded machine; the measured times are printed.
constexpr uint32_t kStopLimitMs = 3000;

// Runs call on a thread of its own and returns how long it took in ms. When
// it has not returned after limit_ms, unblock runs (so that a stop that
// hangs fails the test instead of hanging it), and the call is waited for.
uint64_t timed(const std::function<void()>& call, uint32_t limit_ms, const std::function<void()>& unblock) {
  std::atomic<bool> done{false};
  const auto start = Clock::now();
  std::atomic<uint64_t> took{0};
  std::thread t([&] {
    call();
    took.store(ms_since(start));
    done.store(true);
  });
  if (!eventually([&] { return done.load(); }, limit_ms)) unblock();
  t.join();
  return took.load();
}

// Calls a getter that takes the runtime lock, again and again, on a thread
// of its own, and keeps the longest call.
class LockedGetterProbe {
 public:
  explicit LockedGetterProbe(Runtime* rt)
      : thread_([this, rt] {
          while (!done_.load()) {
            const auto start = Clock::now();
            RuntimeHealth health{};
            health.struct_size = sizeof health;
            runtime_health_get(rt, &health);
            const uint64_t took = ms_since(start);
            if (took > longest_.load()) longest_.store(took);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }) {}
  ~LockedGetterProbe() { finish(); }
  LockedGetterProbe(const LockedGetterProbe&) = delete;
  LockedGetterProbe& operator=(const LockedGetterProbe&) = delete;

  // Ends the probe; the longest call in ms.
  uint64_t finish() {
    done_.store(true);
    if (thread_.joinable()) thread_.join();
    return longest_.load();
  }

 private:
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> longest_{0};
  std::thread thread_;
};

uint64_t frame_length_prefix(const test::Bytes& b) {
  uint64_t v = 0;
  for (int i = 7; i >= 0 && b.size() >= 8; --i) v = v << 8 | b[static_cast<size_t>(i)];
  return v;
}

// Sends request to the listener on port with the longest frame timeout, on
// a fresh connection each time, until taken() says the runtime has it: a
// loaded machine may keep the listener from reading a large request within
// its one-second bound, and the listener then turns it away.
bool offer_large_request(PeerClient* peer, uint16_t port, const std::string& request,
                         const std::function<bool()>& taken) {
  const test::Bytes frame = test::wire_frame(test::wire_request_body(kForever, request));
  for (int attempt = 0; attempt < 5; ++attempt) {
    peer->close();
    if (peer->connect(port) && peer->send(frame) && eventually(taken, 5000)) return true;
  }
  return false;
}

// A peer asks for a large envelope to a target nobody serves, with the
// longest frame timeout, and never reads: the deadletter that answers it
// carries the request back and fills every buffer on the way. Neither stop
// nor destroy waits for the peer, and getters stay free meanwhile.
TEST(StopBound, APeerThatNeverReadsItsReplyHoldsNeitherStopNorTheGetters) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroy" : "stop");
    TestRuntime fx(kLargeFramesHint);
    ASSERT_TRUE(fx.bring_up());
    const std::string request =
        test::request_envelope(RequestSpec{"never-reads", "svc.unknown", false, 60000, kLarge});
    PeerClient peer;
    ASSERT_TRUE(offer_large_request(&peer, fx.listen_port(), request,
                                    [&] { return fx.counter(Counter::route_misses) == 1; }));
    ASSERT_TRUE(eventually([&] { return peer.unread_bytes() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the listener now waits for room

    uint64_t took = 0;
    uint64_t longest_getter = 0;
    if (destroy) {
      took = timed([&] { runtime_destroy(fx.rt); }, kStopLimitMs, [&] { peer.reset(); });
      fx.rt = nullptr;
    } else {
      LockedGetterProbe getters(fx.rt);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      Status stopped = Status::io;
      took = timed([&] { stopped = fx.stop(); }, kStopLimitMs, [&] { peer.reset(); });
      longest_getter = getters.finish();
      EXPECT_EQ(stopped, Status::ok);
      EXPECT_LT(longest_getter, 1000u);
    }
    EXPECT_LT(took, kStopLimitMs);

    // The peer: the first part of its reply frame, then the end of the
    // connection.
    const test::ClientOutcome got = peer.read_to_end(5000);
    EXPECT_EQ(got.status, Status::closed);
    ASSERT_GE(got.body.size(), 8u);
    const uint64_t declared = frame_length_prefix(got.body);
    EXPECT_GT(declared, kLarge);
    EXPECT_LT(got.body.size(), declared + 8);
    std::printf("%s under a peer that never reads: %llu ms (longest getter %llu ms); the peer got %zu of its "
                "%llu-byte reply frame, then the close\n",
                destroy ? "destroy" : "stop", static_cast<unsigned long long>(took),
                static_cast<unsigned long long>(longest_getter), got.body.size(),
                static_cast<unsigned long long>(declared + 8));

    // The host: nothing, the deadletter was the peer's.
    std::vector<FrameBytes> frames;
    EXPECT_EQ(fx.read_until_eof(HostPipe::deadletter, &frames), Status::ok);
    EXPECT_TRUE(frames.empty());
  }
}

// A route whose next hop takes the request and says nothing, or reads none
// of a large one: stop cuts the exchange at once, and the job ends once,
// with reason 8, the cut's own detail and the cut attempt counted, without
// failover. A job relayed for a peer answers that peer through its reply
// slot; one of the host's own goes to the deadletter pipe.
TEST(StopBound, ASilentNextHopOfARelayHoldsNoStop) {
  const struct Row {
    const char* name;
    bool from_peer;
    PeerStep next_hop;
    uint64_t payload;
  } rows[] = {
      {"the host's request; the next hop reads it and says nothing", false, PeerStep::stay_silent(), 16},
      {"a peer's request; the next hop reads it and says nothing", true, PeerStep::stay_silent(), 16},
      {"the host's large request; the next hop reads none of it", false, PeerStep::hold_unread(), kLarge},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer next_hop({row.next_hop});
    ASSERT_TRUE(next_hop.listening());
    TestRuntime fx(kLargeFramesHint);
    ASSERT_EQ(fx.take_handles(), Status::ok);
    FlatSnapshot routes(1);
    const uint16_t own_port = test::free_loopback_port();
    test::add_local_route(&routes, own_port);
    routes.route("svc.next", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", next_hop.port()}});
    ASSERT_EQ(fx.apply(routes), Status::ok);
    ASSERT_EQ(fx.start(), Status::ok);

    const std::string request = test::request_envelope(RequestSpec{"relayed", "svc.next", false, 60000, row.payload});
    PeerClient peer;
    if (row.from_peer) {
      ASSERT_TRUE(peer.connect(own_port));
      ASSERT_TRUE(peer.send(test::wire_frame(test::wire_request_body(60000, request))));
    } else {
      ASSERT_EQ(ingress_submit_envelope(fx.rt, request.data(), request.size()), Status::ok);
    }
    ASSERT_TRUE(eventually([&] { return next_hop.served() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the exchange now waits

    // The host reads its deadletters all along, as stop needs it to.
    std::vector<FrameBytes> host_deadletters;
    Status host_read = Status::io;
    std::thread host([&] { host_read = fx.read_until_eof(HostPipe::deadletter, &host_deadletters, 20000); });
    Status stopped = Status::io;
    // The next hop lets go by itself after 10 s: a stop that waits for it
    // fails the bound without hanging the test.
    const uint64_t took = timed([&] { stopped = fx.stop(); }, kStopLimitMs, [] {});
    host.join();
    EXPECT_EQ(stopped, Status::ok);
    EXPECT_LT(took, kStopLimitMs);
    ASSERT_EQ(host_read, Status::ok);

    transport::Deadletter dl;
    std::string peer_got;
    if (row.from_peer) {
      EXPECT_TRUE(host_deadletters.empty());
      const test::ClientOutcome got = peer.read_frame(3000);
      ASSERT_EQ(got.status, Status::ok);
      const test::WireReply reply = test::wire_parse_reply(got.body);
      ASSERT_TRUE(reply.valid);
      EXPECT_EQ(reply.kind, 2u);
      EXPECT_EQ(reply.reason, 8u);
      EXPECT_EQ(reply.text, kCutText);
      ASSERT_TRUE(dl.ParseFromString(reply.payload));
      peer_got = "a reply of kind " + std::to_string(reply.kind) + ", reason " + std::to_string(reply.reason) +
                 ", text \"" + reply.text + "\", carrying ";
      EXPECT_EQ(fx.rt->reply_registry->count, 0u);
    } else {
      ASSERT_EQ(host_deadletters.size(), 1u);
      ASSERT_TRUE(dl.ParseFromString(str(host_deadletters[0])));
    }
    EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_RUNTIME_STOPPED);
    EXPECT_EQ(dl.detail(), kCutText);
    EXPECT_EQ(dl.endpoint_attempt_count(), 1u);
    EXPECT_EQ(dl.original_envelope().message_id(), "relayed");
    EXPECT_EQ(dl.resolved_port(), next_hop.port());
    std::printf("stop under a silent next hop (%s): %llu ms; the next hop %s; %s got %sa deadletter of reason %d, "
                "detail \"%s\", %u attempt(s)\n",
                row.name, static_cast<unsigned long long>(took),
                row.next_hop.action == PeerStep::Action::hold_unread ? "read nothing" : "read the whole request",
                row.from_peer ? "the peer" : "the host's deadletter pipe", peer_got.c_str(),
                static_cast<int>(dl.reason()), dl.detail().c_str(), dl.endpoint_attempt_count());

    // One attempt, one outcome: no failover, no other counter.
    EXPECT_EQ(next_hop.accepted(), 1);
    EXPECT_EQ(fx.counter(Counter::deadletters_emitted), 1u);
    EXPECT_EQ(fx.counter(Counter::failover_retries), 0u);
    EXPECT_EQ(fx.counter(Counter::failover_exhausted), 0u);
    EXPECT_EQ(fx.counter(Counter::remote_transport_failures), 0u);
    EXPECT_EQ(fx.counter(Counter::remote_reply_timeouts), 0u);
    TcpAdapterStats transport{};
    tcp_adapter_stats(fx.rt->tcp_adapter, &transport);
    EXPECT_EQ(transport.exchanges, 1u);
    EXPECT_EQ(transport.connections, 1u);
    EXPECT_EQ(transport.connect_failures, 0u);
  }
}

// Thread creation that first runs a step (with the runtime lock held, as
// start holds it) and then fails.
std::function<void()> g_before_failing;
bool fail_after_step(std::thread*, platform::ThreadProc, void*) {
  g_before_failing();
  return false;
}

// A start that fails while a peer's large request waits in the ingress ring:
// the unwinding answers it (reason 8) and the peer reads nothing of the
// answer. The failed start returns at once all the same, and the next start
// serves.
TEST(StopBound, AFailedStartIsNotHeldByAPeerThatNeverReads) {
  TestRuntime fx(kLargeFramesHint);
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot routes(1);
  const uint16_t port = test::free_loopback_port();
  test::add_local_route(&routes, port);
  ASSERT_EQ(fx.apply(routes), Status::ok);

  PeerClient peer;
  Runtime* rt = fx.rt;
  Clock::time_point unwinding;
  g_before_failing = [&] {
    const std::string request = test::request_envelope(RequestSpec{"waits", test::kLocalTarget, false, 60000, kLarge});
    EXPECT_TRUE(offer_large_request(&peer, port, request, [&] { return rt->ingress_ring.write_index.load() == 1; }));
    unwinding = Clock::now();
  };
  rt->start_thread = fail_after_step;
  Status started = Status::ok;
  // The bound is on the unwinding, from the failed step on; the watchdog
  // also leaves room for the offer of the request.
  Clock::time_point returned;
  (void)timed(
      [&] {
        started = fx.start();
        returned = Clock::now();
      },
      5 * 5000 + kStopLimitMs, [&] { peer.reset(); });
  const uint64_t took =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(returned - unwinding).count());
  EXPECT_EQ(started, Status::io);
  EXPECT_LT(took, kStopLimitMs);
  EXPECT_EQ(rt->state, RuntimeState::created);
  const test::ClientOutcome got = peer.read_to_end(5000);
  EXPECT_EQ(got.status, Status::closed);
  std::printf("failed start under a peer that never reads: %llu ms; the peer got %zu bytes of its reply frame\n",
              static_cast<unsigned long long>(took), got.body.size());

  rt->start_thread = platform::start_thread;
  ASSERT_EQ(fx.start(), Status::ok);
  const std::string question = test::request_envelope(RequestSpec{"after", test::kLocalTarget, false, 5000});
  test::ClientOutcome served;
  std::thread client([&] {
    served = test::client_exchange(port, test::wire_frame(test::wire_request_body(5000, question)), 8000);
  });
  FrameBytes delivered;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &delivered), Status::ok);
  EXPECT_EQ(str(delivered), question);
  const std::string answer = test::response_for(question);
  ASSERT_EQ(ingress_submit_envelope(rt, answer.data(), answer.size()), Status::ok);
  client.join();
  ASSERT_EQ(served.status, Status::ok);
  EXPECT_EQ(test::wire_parse_reply(served.body).payload, answer);
  ASSERT_EQ(fx.stop(), Status::ok);
}

}  // namespace
}  // namespace vorlet::v2
