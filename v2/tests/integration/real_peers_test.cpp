// The serial remote road under peers as they come: one that leaves while
// its request waits, one whose relayed request's requester leaves, one that
// does not read its reply (or reads it slowly), and a crowd arriving at
// once. The road stays serial; what these tests hold is that a peer the
// runtime can no longer serve costs nobody else their service.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/ingress.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "support/waiting.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {
namespace {

using test::Bytes;
using test::eventually;
using test::FrameBytes;
using test::kLocalTarget;
using test::ms_since;
using test::PeerClient;
using test::PeerStep;
using test::ScriptedServer;
using test::str;
using test::TestRuntime;
using Clock = std::chrono::steady_clock;

// The longest frame timeout a peer can ask for: about 49.7 days.
constexpr uint32_t kForever = 0xFFFFFFFFu;
// The longest envelope timeout.
constexpr int32_t kEnvelopeForever = 2147483647;
// How soon the road is free again once a peer has left. The measured
// figures are printed.
constexpr uint64_t kReleaseMs = 100;

// A request frame for the runtime's own local route.
Bytes request_frame(const std::string& id, uint32_t frame_timeout_ms, const std::string& target = kLocalTarget,
                    int32_t envelope_timeout_ms = 0) {
  const transport::Envelope env = test::envelope({.message_id = id,
                                                  .correlation_id = "c-" + id,
                                                  .target = target,
                                                  .timeout_ms = envelope_timeout_ms,
                                                  .payload = "from a peer"});
  return test::wire_frame(test::wire_request_body(frame_timeout_ms, env.SerializeAsString()));
}

// The host's response to the request id, with a payload of its own.
std::string response_to(const std::string& id, const std::string& payload = "answered") {
  return test::envelope({.message_id = "r-" + id,
                         .correlation_id = id,
                         .target = "peer",
                         .kind = transport::MESSAGE_KIND_RESPONSE,
                         .payload = payload})
      .SerializeAsString();
}

void answer(Runtime* rt, const std::string& id, const std::string& payload = "answered") {
  const std::string bytes = response_to(id, payload);
  ASSERT_EQ(ingress_submit_envelope(rt, bytes.data(), bytes.size()), Status::ok);
}

// The message id of the next request delivered to the host.
std::string next_delivered(TestRuntime& fx, uint32_t timeout_ms = 10000) {
  FrameBytes body;
  if (fx.read_frame(HostPipe::delivered, &body, timeout_ms) != Status::ok) return "";
  transport::Envelope env;
  return env.ParseFromArray(body.data(), static_cast<int>(body.size())) ? env.message_id() : "";
}

// The envelope a peer's reply carries (kind 1), or an empty one.
transport::Envelope reply_envelope(const test::ClientOutcome& out) {
  transport::Envelope env;
  const test::WireReply r = test::wire_parse_reply(out.body);
  if (out.status == Status::ok && r.valid && r.kind == 1) (void)env.ParseFromString(r.payload);
  return env;
}

bool has_event(const std::vector<MonitorEvent>& events, MonitorEventKind kind, uint64_t value2) {
  return std::any_of(events.begin(), events.end(), [&](const MonitorEvent& e) {
    return e.kind == static_cast<uint32_t>(kind) && e.value2 == value2;
  });
}

// A peer asks with the longest budget, the host has read the request and
// not answered, and a second peer waits behind it. The first one leaves:
// by a close, a reset or a shutdown of its sending side. The second is
// served at once; nothing is sent to the first; the host's late answer to
// it is dropped as late; the giving up counts no timeout.
TEST(RealPeers, APeerThatLeavesReleasesTheListenerAtOnce) {
  enum class Leave { close, reset, shut_down_sending };
  const struct Case {
    const char* name;
    Leave leave;
  } cases[] = {{"a close", Leave::close}, {"a reset", Leave::reset}, {"a half-close", Leave::shut_down_sending}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRuntime fx;
    ASSERT_TRUE(fx.bring_up());
    PeerClient gone;
    ASSERT_TRUE(gone.connect(fx.listen_port()));
    ASSERT_TRUE(gone.send(request_frame("gone", kForever)));
    ASSERT_EQ(next_delivered(fx), "gone");  // the listener now waits for the host's answer

    PeerClient next;
    ASSERT_TRUE(next.connect(fx.listen_port()));
    ASSERT_TRUE(next.send(request_frame("next", kForever)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto left = Clock::now();
    switch (c.leave) {
      case Leave::close:
        gone.close();
        break;
      case Leave::reset:
        gone.reset();
        break;
      case Leave::shut_down_sending:
        gone.shutdown_send();
        break;
    }
    ASSERT_EQ(next_delivered(fx), "next");
    const uint64_t waited = ms_since(left);
    std::printf("after %s, the next peer was served %llu ms later\n", c.name, static_cast<unsigned long long>(waited));
    EXPECT_LT(waited, kReleaseMs);
    answer(fx.rt, "next");
    EXPECT_EQ(reply_envelope(next.read_frame(5000)).correlation_id(), "next");

    if (c.leave == Leave::shut_down_sending) {
      // It can still read: nothing was sent, the connection just ended.
      const test::ClientOutcome rest = gone.read_to_end(5000);
      EXPECT_EQ(rest.status, Status::closed);
      EXPECT_TRUE(rest.body.empty());
    }
    answer(fx.rt, "gone");
    EXPECT_TRUE(eventually([&] { return fx.counter(Counter::late_remote_replies_dropped) == 1; }));
    EXPECT_TRUE(has_event(fx.events(), MonitorEventKind::late_remote_reply_dropped, 0));
    EXPECT_EQ(fx.counter(Counter::remote_reply_timeouts), 0u);
    ASSERT_EQ(fx.stop(), Status::ok);
    std::vector<FrameBytes> frames;
    ASSERT_EQ(fx.read_until_eof(HostPipe::response, &frames), Status::ok);
    EXPECT_TRUE(frames.empty());  // the late answer reached nobody
  }
}

// A half-close after a request that is not complete is no departure: the
// request does not decode, and the peer is told so at once, as before.
TEST(RealPeers, ATruncatedRequestFollowedByAHalfCloseIsAnsweredAtOnce) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  const Bytes whole = request_frame("cut", kForever);
  PeerClient peer;
  ASSERT_TRUE(peer.connect(fx.listen_port()));
  ASSERT_TRUE(peer.send(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2))));
  peer.shutdown_send();
  const test::ClientOutcome out = peer.read_frame(5000);
  ASSERT_EQ(out.status, Status::ok);
  const test::WireReply r = test::wire_parse_reply(out.body);
  ASSERT_TRUE(r.valid);
  EXPECT_EQ(r.kind, 0u);
  EXPECT_EQ(r.reason, 7u);
  EXPECT_EQ(r.text, "tcp request decode failed");
  std::printf("a truncated request with a half-close was answered after %llu ms\n",
              static_cast<unsigned long long>(out.elapsed_ms));
  EXPECT_LT(out.elapsed_ms, 500u);
  ASSERT_EQ(fx.stop(), Status::ok);
}

// A peer's request is relayed to a next hop that never answers, with the
// longest budgets, and the host's own five requests to a healthy endpoint
// queue behind it. The peer leaves: the relay's exchange ends at once, as
// its budget's end would end it (a reply timeout, counted and announced,
// its deadletter going to the slot nobody waits on), and the host's
// requests go out and are answered.
TEST(RealPeers, ARelayWhoseRequesterLeavesFreesTheRemoteWorkerAtOnce) {
  constexpr int kHostRequests = 5;
  ScriptedServer silent({PeerStep::stay_silent()});
  std::vector<PeerStep> answers;
  for (int i = 0; i < kHostRequests; ++i) {
    answers.push_back(PeerStep::reply(1, 0, "", response_to("host-" + std::to_string(i))));
  }
  ScriptedServer healthy(answers);
  ASSERT_TRUE(silent.listening());
  ASSERT_TRUE(healthy.listening());
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  test::FlatSnapshot snapshot(1);
  const uint16_t listen_port = test::free_loopback_port();
  test::add_local_route(&snapshot, listen_port);
  snapshot.route("svc.silent", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", silent.port()}});
  snapshot.route("svc.healthy", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", healthy.port()}});
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);

  PeerClient requester;
  ASSERT_TRUE(requester.connect(listen_port));
  ASSERT_TRUE(requester.send(request_frame("relayed", kForever, "svc.silent", kEnvelopeForever)));
  ASSERT_TRUE(eventually([&] { return silent.served() == 1; }));  // the relay's exchange waits
  for (int i = 0; i < kHostRequests; ++i) {
    const std::string bytes = test::request_envelope({"host-" + std::to_string(i), "svc.healthy", false, 10000});
    ASSERT_EQ(ingress_submit_envelope(fx.rt, bytes.data(), bytes.size()), Status::ok);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(healthy.accepted(), 0);  // held behind the relay

  const auto left = Clock::now();
  requester.close();
  ASSERT_TRUE(eventually([&] { return healthy.served() >= 1; }, 10000));
  const uint64_t freed = ms_since(left);
  std::vector<std::string> answered;
  for (int i = 0; i < kHostRequests; ++i) {
    FrameBytes body;
    ASSERT_EQ(fx.read_frame(HostPipe::response, &body, 10000), Status::ok);
    transport::Envelope env;
    ASSERT_TRUE(env.ParseFromArray(body.data(), static_cast<int>(body.size())));
    answered.push_back(env.correlation_id());
  }
  const uint64_t all = ms_since(left);
  std::printf("after the relay's requester left, the host's first request went out %llu ms later, all %d were "
              "answered after %llu ms\n",
              static_cast<unsigned long long>(freed), kHostRequests, static_cast<unsigned long long>(all));
  EXPECT_LT(freed, kReleaseMs);
  for (int i = 0; i < kHostRequests; ++i) EXPECT_EQ(answered[static_cast<size_t>(i)], "host-" + std::to_string(i));

  // The relay ended once, as a reply timeout after its one attempt; its
  // deadletter went to its requester's slot, and the host saw none.
  EXPECT_TRUE(eventually([&] { return fx.counter(Counter::deadletters_emitted) == 1; }));
  EXPECT_EQ(fx.counter(Counter::remote_reply_timeouts), 1u);
  EXPECT_TRUE(has_event(fx.events(), MonitorEventKind::remote_reply_timeout, 1));
  EXPECT_EQ(fx.counter(Counter::remote_responses_forwarded), static_cast<uint64_t>(kHostRequests));
  EXPECT_EQ(fx.counter(Counter::failover_exhausted), 0u);
  EXPECT_EQ(fx.counter(Counter::remote_transport_failures), 0u);
  ASSERT_EQ(fx.stop(), Status::ok);
  std::vector<FrameBytes> frames;
  ASSERT_EQ(fx.read_until_eof(HostPipe::deadletter, &frames), Status::ok);
  EXPECT_TRUE(frames.empty());
}

// The host answers a peer with a reply larger than every buffer on the way.
// A peer that never reads it, with the longest budget, loses it once no
// byte has moved for a second, and the next peer is served. A peer that
// reads 1 KiB every 100 ms for three seconds, then the rest, gets all of
// it, byte for byte.
TEST(RealPeers, APeerThatDoesNotReadItsReplyLosesItAndOneThatReadsSlowlyKeepsIt) {
  constexpr int32_t kLargeFramesHint = 65536;  // frames of up to 64 MiB
  for (const bool reads : {false, true}) {
    SCOPED_TRACE(reads ? "a slow reader" : "a peer that never reads");
    TestRuntime fx(kLargeFramesHint);
    ASSERT_TRUE(fx.bring_up());
    const uint64_t size = reads ? (16u << 20) : (32u << 20);
    std::string payload(size, '\0');
    for (uint64_t i = 0; i < size; ++i) payload[i] = static_cast<char>(i * 31 + i / 65537);

    PeerClient first;
    ASSERT_TRUE(first.open(fx.listen_port()));
    if (reads) {
      ASSERT_TRUE(first.set_receive_buffer(4096));
    }
    ASSERT_TRUE(first.connect());
    ASSERT_TRUE(first.send(request_frame("large", kForever)));
    ASSERT_EQ(next_delivered(fx), "large");
    answer(fx.rt, "large", payload);
    test::ClientOutcome got;
    // Joined however the test returns (the paced read ends by itself).
    std::jthread reader;
    if (reads) reader = std::jthread([&] { got = first.read_frame_paced(1024, 100, 3000, 120000); });
    // The listener's hold counts from its first byte out: what comes before
    // is the runtime's work on the answer.
    if (!reads) {
      ASSERT_TRUE(eventually([&] { return first.unread_bytes() > 0; }));
    }
    const auto answered = Clock::now();
    PeerClient next;
    ASSERT_TRUE(next.connect(fx.listen_port()));
    ASSERT_TRUE(next.send(request_frame("next", kForever)));
    ASSERT_EQ(next_delivered(fx, 120000), "next");
    const uint64_t waited = ms_since(answered);
    answer(fx.rt, "next");
    EXPECT_EQ(reply_envelope(next.read_frame(5000)).correlation_id(), "next");
    if (reads) {
      reader.join();
      std::printf("a slow reader got its %llu-byte reply whole after %llu ms; the next peer was served after it, "
                  "%llu ms after the answer\n",
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(got.elapsed_ms),
                  static_cast<unsigned long long>(waited));
      ASSERT_EQ(got.status, Status::ok);
      const transport::Envelope env = reply_envelope(got);
      EXPECT_EQ(env.correlation_id(), "large");
      EXPECT_TRUE(env.payload() == payload);
      EXPECT_GE(waited, 3000u);  // served one at a time: after the slow reader
    } else {
      std::printf("a peer that never read its %llu-byte reply held the listener %llu ms after its first byte\n",
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(waited));
      EXPECT_LT(waited, 1500u);
      // What it finally reads: part of the frame, then the reset.
      got = first.read_to_end(10000);
      EXPECT_EQ(got.status, Status::io);
      EXPECT_LT(got.body.size(), size);
    }
    ASSERT_EQ(fx.stop(), Status::ok);
  }
}

// Two hundred peers connect at once, each with one request that the host
// answers at once: each is queued for its turn and gets its own reply.
TEST(RealPeers, ACrowdOfPeersIsQueuedNotTurnedAway) {
  constexpr int kPeers = 200;
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  std::atomic<bool> done{false};
  std::thread host([&] {
    while (!done.load()) {
      const std::string id = next_delivered(fx, 100);
      if (!id.empty()) answer(fx.rt, id);
    }
  });
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<test::ClientOutcome> outcomes(kPeers);
  std::vector<std::thread> peers;
  const auto start = Clock::now();
  for (int i = 0; i < kPeers; ++i) {
    peers.emplace_back([&, i] {
      const Bytes frame = request_frame("crowd-" + std::to_string(i), 20000);
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      outcomes[static_cast<size_t>(i)] = test::client_exchange(fx.listen_port(), frame, 30000);
    });
  }
  while (ready.load() < kPeers) std::this_thread::yield();
  go.store(true);
  for (std::thread& t : peers) t.join();
  const uint64_t took = ms_since(start);
  done.store(true);
  host.join();
  int served = 0;
  for (int i = 0; i < kPeers; ++i) {
    const transport::Envelope env = reply_envelope(outcomes[static_cast<size_t>(i)]);
    if (env.correlation_id() == "crowd-" + std::to_string(i)) ++served;
  }
  std::printf("%d of %d peers arriving at once got their reply, in %llu ms\n", served, kPeers,
              static_cast<unsigned long long>(took));
  EXPECT_EQ(served, kPeers);
  ASSERT_EQ(fx.stop(), Status::ok);
}

}  // namespace
}  // namespace vorlet::v2
