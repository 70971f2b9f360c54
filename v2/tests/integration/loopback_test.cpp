// Two runtimes on loopback: requests from a's host reach b's host through
// a's remote worker and b's inbound handler, and what b answers (or refuses)
// comes back to a's host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/ingress.h"
#include "runtime/runtime.h"
#include "support/delivery_ledger.h"
#include "support/envelopes.h"
#include "support/loopback_pair.h"
#include "support/test_runtime.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::FrameBytes;
using test::kLocalTarget;
using test::kRemoteTarget;
using test::LoopbackPair;
using test::str;
using test::TestRuntime;
using Clock = std::chrono::steady_clock;

transport::Envelope request(const std::string& id, int32_t timeout_ms = 5000,
                            const std::string& target = kRemoteTarget) {
  return test::envelope({.message_id = id,
                         .correlation_id = "c-" + id,
                         .source = "host-a",
                         .target = target,
                         .timeout_ms = timeout_ms,
                         .payload = "question " + id});
}

// The host's answer to a request it read: correlated by its message_id.
std::string response_to(const std::string& request_bytes, const std::string& message_id = "") {
  transport::Envelope req;
  EXPECT_TRUE(req.ParseFromString(request_bytes));
  return test::envelope({.message_id = message_id.empty() ? "r-" + req.message_id() : message_id,
                         .correlation_id = req.message_id(),
                         .target = req.source(),
                         .kind = transport::MESSAGE_KIND_RESPONSE,
                         .payload = "answer to " + req.message_id()})
      .SerializeAsString();
}

Status submit(TestRuntime& side, const std::string& bytes) {
  return ingress_submit_envelope(side.rt, bytes.data(), bytes.size());
}

transport::Deadletter read_deadletter(TestRuntime& side, uint32_t timeout_ms = 10000) {
  FrameBytes got;
  transport::Deadletter dl;
  EXPECT_EQ(side.read_frame(HostPipe::deadletter, &got, timeout_ms), Status::ok);
  EXPECT_TRUE(dl.ParseFromString(str(got)));
  return dl;
}

bool has_event(TestRuntime& side, uint32_t kind, MonitorEvent* out = nullptr) {
  for (const MonitorEvent& e : side.events()) {
    if (e.kind != kind) continue;
    if (out != nullptr) *out = e;
    return true;
  }
  return false;
}

TEST(Loopback, ARequestFromAIsAnsweredByBsHost) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.bring_up());
  const std::string question = request("q-1").SerializeAsString();
  ASSERT_EQ(submit(pair.a, question), Status::ok);
  FrameBytes got;
  ASSERT_EQ(pair.b.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), question);
  const std::string answer = response_to(str(got));
  ASSERT_EQ(submit(pair.b, answer), Status::ok);
  ASSERT_EQ(pair.a.read_frame(HostPipe::response, &got), Status::ok);
  EXPECT_EQ(str(got), answer);
  MonitorEvent forwarded{};
  EXPECT_TRUE(has_event(pair.a, 7, &forwarded));
  EXPECT_EQ(forwarded.value2, 1u);
  EXPECT_EQ(pair.a.counter(Counter::remote_responses_forwarded), 1u);
  ASSERT_EQ(pair.stop_both(), Status::ok);
  EXPECT_EQ(pair.a.counter(Counter::deadletters_emitted), 0u);
  EXPECT_EQ(pair.b.counter(Counter::deadletters_emitted), 0u);
}

// b refuses events from peers; a's host gets b's deadletter with the
// attempt count re-stamped.
TEST(Loopback, AnEventRoutedToBComesBackAsBsDeadletter) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.bring_up());
  transport::Envelope event = request("ev-1");
  event.set_kind(transport::MESSAGE_KIND_EVENT);
  ASSERT_EQ(submit(pair.a, event.SerializeAsString()), Status::ok);
  const transport::Deadletter dl = read_deadletter(pair.a);
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_INVALID_ENVELOPE);
  EXPECT_EQ(dl.detail(), "remote transport accepts request envelopes only");
  EXPECT_EQ(dl.endpoint_attempt_count(), 1u);
  EXPECT_EQ(dl.original_envelope().message_id(), "ev-1");
  MonitorEvent forwarded{};
  EXPECT_TRUE(has_event(pair.a, 8, &forwarded));
  EXPECT_EQ(forwarded.value1, 9u);
  ASSERT_EQ(pair.stop_both(), Status::ok);
}

// b's host never answers: a's host learns of the timeout (0 meaning one
// second), a retry with the same id is refused by b while the first is
// still known there, and b's late answer is dropped.
TEST(Loopback, AnUnansweredRequestTimesOutAndItsRetryAndLateAnswerAreRefused) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.bring_up());
  const std::string question = request("dup", 0).SerializeAsString();
  const auto start = Clock::now();
  ASSERT_EQ(submit(pair.a, question), Status::ok);
  transport::Deadletter dl = read_deadletter(pair.a);
  const auto waited = Clock::now() - start;
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_REMOTE_REPLY_TIMEOUT);
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::seconds(5));

  ASSERT_EQ(submit(pair.a, request("dup", 5000).SerializeAsString()), Status::ok);
  dl = read_deadletter(pair.a);
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_DELIVERY_FAILED);
  EXPECT_EQ(dl.detail(), "duplicate pending remote message_id");

  FrameBytes got;
  ASSERT_EQ(pair.b.read_frame(HostPipe::delivered, &got), Status::ok);  // only the first reached b's host
  EXPECT_EQ(str(got), question);
  ASSERT_EQ(submit(pair.b, response_to(str(got))), Status::ok);
  for (int i = 0; i < 2000 && pair.b.counter(Counter::late_remote_replies_dropped) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(pair.b.counter(Counter::late_remote_replies_dropped), 1u);
  ASSERT_EQ(pair.stop_both(), Status::ok);
  std::vector<FrameBytes> rest;
  ASSERT_EQ(pair.b.read_until_eof(HostPipe::delivered, &rest), Status::ok);
  EXPECT_TRUE(rest.empty());
  ASSERT_EQ(pair.b.read_until_eof(HostPipe::response, &rest), Status::ok);
  EXPECT_TRUE(rest.empty());
}

TEST(Loopback, AOneWayRequestReachesBsHostAndLeavesNothingAtA) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.bring_up());
  transport::Envelope fire = request("fire");
  fire.set_one_way(true);
  fire.clear_correlation_id();
  const std::string bytes = fire.SerializeAsString();
  ASSERT_EQ(submit(pair.a, bytes), Status::ok);
  FrameBytes got;
  ASSERT_EQ(pair.b.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), bytes);
  // b's empty answer ends a's exchange; a stop before it would cut the
  // exchange and leave a deadletter at a.
  for (int i = 0; i < 5000 && pair.a.counter(Counter::remote_responses_forwarded) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(pair.a.counter(Counter::remote_responses_forwarded), 1u);
  ASSERT_EQ(pair.stop_both(), Status::ok);
  std::vector<FrameBytes> rest;
  for (HostPipe pipe : {HostPipe::response, HostPipe::deadletter}) {
    ASSERT_EQ(pair.a.read_until_eof(pipe, &rest), Status::ok);
  }
  EXPECT_TRUE(rest.empty());
  EXPECT_EQ(pair.a.counter(Counter::deadletters_emitted), 0u);
  EXPECT_EQ(pair.a.counter(Counter::remote_reply_timeouts), 0u);
}

// A host's REQUIRE_REMOTE goes out over TCP even to an endpoint flagged
// local: here a's own listener, whose relayed copy is then delivered to a's
// host instead of being sent out again.
TEST(Loopback, RequireRemoteGoesOutOverTcpAndComesBackInLocally) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.bring_up());
  transport::Envelope env = request("round", 5000, kLocalTarget);
  env.set_delivery_hint(transport::DELIVERY_HINT_REQUIRE_REMOTE);
  const std::string question = env.SerializeAsString();
  ASSERT_EQ(submit(pair.a, question), Status::ok);
  FrameBytes got;
  ASSERT_EQ(pair.a.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), question);
  EXPECT_EQ(pair.a.rt->reply_registry->count, 1u);  // the inbound request waits for the answer
  const std::string answer = response_to(str(got));
  ASSERT_EQ(submit(pair.a, answer), Status::ok);
  ASSERT_EQ(pair.a.read_frame(HostPipe::response, &got), Status::ok);
  EXPECT_EQ(str(got), answer);
  EXPECT_EQ(pair.a.counter(Counter::remote_responses_forwarded), 1u);
  ASSERT_EQ(pair.stop_both(), Status::ok);
}

// a's host keeps sending to b, whose host answers everything, while b and
// then a stop: every envelope a accepted comes back to a's host exactly
// once, as b's answer or as a deadletter; and b's stop returns although its
// listener is busy.
TEST(Loopback, EveryAcceptedRequestComesBackOnceWhileThePeerStops) {
  LoopbackPair pair(64);
  ASSERT_TRUE(pair.bring_up());
  test::DeliveryLedger ledger;
  test::HostPipeDrain drain(&ledger, {pair.a.handles.delivered_read_fd, pair.a.handles.response_read_fd},
                            pair.a.handles.deadletter_read_fd);
  // b's host: answers each request under the request's own id, so that the
  // ledger knows it.
  std::thread responder([&] {
    FrameBytes got;
    while (pair.b.read_frame(HostPipe::delivered, &got, 20000) == Status::ok) {
      transport::Envelope req;
      if (!req.ParseFromString(str(got))) continue;
      (void)submit(pair.b, response_to(str(got), req.message_id()));
    }
  });
  std::atomic<bool> done{false};
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; !done.load(); ++i) {
        const std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
        const std::string target = i % 4 == 0 ? kLocalTarget : kRemoteTarget;
        Status s;
        while ((s = submit(pair.a, request(id, 2000, target).SerializeAsString())) == Status::would_block) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (s != Status::ok) return;
        ledger.accepted(id);
      }
    });
  }
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (pair.a.counter(Counter::remote_responses_forwarded) < 20 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const auto start = Clock::now();
  ASSERT_EQ(pair.b.stop(), Status::ok);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a meets the stopped peer for a while
  ASSERT_EQ(pair.a.stop(), Status::ok);
  done.store(true);
  for (auto& t : producers) t.join();
  responder.join();
  ASSERT_TRUE(drain.wait());
  for (const std::string& problem : ledger.problems()) ADD_FAILURE() << problem;
  EXPECT_GT(ledger.accepted_count(), 0u);
  EXPECT_GE(pair.a.counter(Counter::remote_responses_forwarded), 1u);
  EXPECT_EQ(ledger.delivered_count() + ledger.deadlettered_count(), ledger.accepted_count());
}

}  // namespace
}  // namespace vorlet::v2
