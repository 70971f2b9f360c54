// The ask client over a started runtime's own pipes, with the test as the
// host that serves the local route.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/ask_support.h"

namespace vorlet::v2::test {
namespace {

using namespace ask;

// ---- on a started runtime, which answers itself ----

// A client over the runtime's own pipes; the test is the host that serves
// the local route by reading the delivered-request pipe.
class AskOnARuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fx.bring_up());
    client = vorlet_v2_ask_client_create(to_handle(fx.rt), &fx.handles);
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override { vorlet_v2_ask_client_destroy(client); }

  vorlet_v2_AskTicket* begin_ok(const std::string& bytes) {
    vorlet_v2_AskTicket* t = nullptr;
    EXPECT_EQ(vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), &t), 0);
    return t;
  }
  transport::Envelope delivered(FrameBytes* frame) {
    transport::Envelope e;
    EXPECT_EQ(fx.read_frame(HostPipe::delivered, frame), Status::ok);
    EXPECT_TRUE(e.ParseFromArray(frame->data(), static_cast<int>(frame->size())));
    return e;
  }

  TestRuntime fx;
  vorlet_v2_AskClientHandle* client = nullptr;
};

TEST_F(AskOnARuntime, TheHostAnswersARequestWithTheRawReplyBuilder) {
  const std::string caller = request("m");  // no correlation id of its own
  const std::string before = caller;
  vorlet_v2_AskTicket* t = begin_ok(caller);
  EXPECT_EQ(caller, before);

  FrameBytes frame;
  const transport::Envelope got = delivered(&frame);
  EXPECT_EQ(got.message_id(), "m");
  EXPECT_EQ(got.correlation_id(), "m");
  EXPECT_EQ(got.payload(), "question");

  vorlet_v2_RawReplyOptions o{};
  o.struct_size = sizeof o;
  o.request = frame.data();
  o.request_len = frame.size();
  o.source = kLocalTarget;
  o.payload = "answer";
  o.payload_len = 6;
  void* reply = nullptr;
  uint64_t reply_len = 0;
  ASSERT_EQ(vorlet_v2_client_build_raw_reply(&o, &reply, &reply_len), 0);
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(to_handle(fx.rt), reply, reply_len), 0);
  vorlet_v2_client_bytes_release(reply);

  const Outcome answer = await(t);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.kind, VORLET_V2_REPLY_KIND_RESPONSE);
  transport::Envelope e;
  ASSERT_TRUE(e.ParseFromString(answer.bytes));
  EXPECT_EQ(e.kind(), transport::MESSAGE_KIND_RESPONSE);
  EXPECT_EQ(e.message_id(), "m.reply");
  EXPECT_EQ(e.correlation_id(), "m");
  EXPECT_EQ(e.payload(), "answer");
  vorlet_v2_ask_ticket_destroy(t);
}

// The pipe readers and the lanes sleep on their pipes and on the event that
// stop sets, not in slices: an idle runtime with a client wakes no thread.
TEST_F(AskOnARuntime, AnIdleRuntimeAndItsClientDoNotWakeUp) {
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const uint64_t before = test::voluntary_switches();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // The test's own sleep, the listener's quarter-second look at its
  // socket and a sanitizer's background thread stay far below this.
  EXPECT_LT(test::voluntary_switches() - before, 25u);
}

TEST_F(AskOnARuntime, AnUnroutedTargetComesBackAsADeadletter) {
  transport::Envelope e;
  ASSERT_TRUE(e.ParseFromString(request("lost")));
  e.set_target("svc.nowhere");
  vorlet_v2_AskTicket* t = begin_ok(e.SerializeAsString());
  const Outcome o = await(t);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.kind, VORLET_V2_REPLY_KIND_DEADLETTER);
  transport::Deadletter d;
  ASSERT_TRUE(d.ParseFromString(o.bytes));
  EXPECT_EQ(d.reason(), transport::DEADLETTER_REASON_ROUTE_MISS);
  EXPECT_EQ(d.original_envelope().message_id(), "lost");
  vorlet_v2_ask_ticket_destroy(t);
}

TEST_F(AskOnARuntime, StopFailsAnAskThatWasDeliveredButNotAnswered) {
  const std::string bytes = request("unanswered");
  vorlet_v2_AskTicket* t = begin_ok(bytes);
  FrameBytes frame;
  EXPECT_EQ(delivered(&frame).message_id(), "unanswered");
  ASSERT_EQ(fx.stop(), Status::ok);
  const Outcome o = await(t);
  EXPECT_EQ(o.status, -7);
  EXPECT_EQ(o.kind, 0);
  EXPECT_FALSE(o.had_bytes);
  vorlet_v2_AskTicket* u = reinterpret_cast<vorlet_v2_AskTicket*>(1);
  EXPECT_EQ(vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), &u), -7);
  EXPECT_EQ(u, nullptr);
  vorlet_v2_ask_ticket_destroy(t);
}

TEST_F(AskOnARuntime, AsksStillQueuedAtStopGetTheirDeadletters) {
  // Large requests, so that the delivered-request pipe and its queue fill
  // while the host does not read: the rest waits inside the runtime.
  constexpr int kAsks = 40;
  std::vector<vorlet_v2_AskTicket*> asks;
  for (int i = 0; i < kAsks; ++i) {
    transport::Envelope e;
    ASSERT_TRUE(e.ParseFromString(request("q" + std::to_string(i))));
    e.set_payload(std::string(8192, 'p'));
    asks.push_back(begin_ok(e.SerializeAsString()));
  }
  // Until the local worker is stuck behind the full pipe with work still
  // queued: the local ring stays non-empty. Not an ASSERT: the pipe must be
  // drained whatever happened, or the runtime could not be stopped.
  const auto start = Clock::now();
  int held_ms = 0;
  while (held_ms < 50 && ms_since(start) < 10000) {
    held_ms = fx.rt->local_ring.count() > 0 ? held_ms + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(held_ms, 50);

  // Stop turns what is still queued into deadletters once the host reads
  // the delivered-request pipe again.
  std::thread stopper([&] { EXPECT_EQ(fx.stop(), Status::ok); });
  while (fx.rt->stopping.load() == 0) std::this_thread::yield();
  std::vector<FrameBytes> handed;
  EXPECT_EQ(fx.read_until_eof(HostPipe::delivered, &handed), Status::ok);
  stopper.join();

  int failed = 0, deadlettered = 0;
  for (vorlet_v2_AskTicket* t : asks) {
    const Outcome o = await(t);
    if (o.status == -7) {
      ++failed;
    } else {
      EXPECT_EQ(o.status, 0);
      EXPECT_EQ(o.kind, VORLET_V2_REPLY_KIND_DEADLETTER);
      transport::Deadletter d;
      ASSERT_TRUE(d.ParseFromString(o.bytes));
      EXPECT_EQ(d.reason(), transport::DEADLETTER_REASON_RUNTIME_STOPPED);
      ++deadlettered;
    }
    vorlet_v2_ask_ticket_destroy(t);
  }
  // Delivered and unanswered: closed; still queued: its deadletter.
  EXPECT_EQ(failed, static_cast<int>(handed.size()));
  EXPECT_EQ(failed + deadlettered, kAsks);
  EXPECT_GT(deadlettered, 0);
}

}  // namespace
}  // namespace vorlet::v2::test
