// Tickets of the ask client: poll and await report an outcome once, answers
// and deadletters find their ask, and frames that break the rules stop the
// client.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/ask_support.h"

namespace vorlet::v2::test {
namespace {

using namespace ask;

// ---- tickets ----

TEST_F(AskOverOwnPipes, PollAndAwaitReportTheOutcomeOnce) {
  vorlet_v2_AskTicket* t = begin_ok("m");
  const char* id = vorlet_v2_ask_ticket_message_id(t);
  EXPECT_STREQ(id, "m");

  int32_t kind = 7;
  void* bytes = reinterpret_cast<void*>(1);
  uint64_t length = 7;
  EXPECT_EQ(vorlet_v2_ask_ticket_poll(t, &kind, &bytes, &length), -6);
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(length, 0u);
  auto start = Clock::now();
  Outcome o = await(t, 0);
  EXPECT_EQ(o.status, -6);
  EXPECT_EQ(o.kind, 0);
  EXPECT_FALSE(o.had_bytes);
  o = await(t, 50);
  EXPECT_EQ(o.status, -6);
  EXPECT_GE(ms_since(start), 49);

  const std::string body = response("m", std::string(100, 'z'));
  answer(body);
  o = await(t);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.kind, VORLET_V2_REPLY_KIND_RESPONSE);
  EXPECT_EQ(o.bytes, body);

  // Spent: -1 and nothing written.
  kind = 7;
  bytes = reinterpret_cast<void*>(1);
  length = 7;
  EXPECT_EQ(vorlet_v2_ask_ticket_await(t, 0, &kind, &bytes, &length), -1);
  EXPECT_EQ(vorlet_v2_ask_ticket_poll(t, &kind, &bytes, &length), -1);
  EXPECT_EQ(kind, 7);
  EXPECT_EQ(bytes, reinterpret_cast<void*>(1));
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(vorlet_v2_ask_ticket_message_id(t), id);

  // NULLs.
  EXPECT_EQ(vorlet_v2_ask_ticket_await(nullptr, 0, &kind, &bytes, &length), -1);
  vorlet_v2_AskTicket* u = begin_ok("n");
  EXPECT_EQ(vorlet_v2_ask_ticket_await(u, 0, nullptr, &bytes, &length), -1);
  EXPECT_EQ(vorlet_v2_ask_ticket_await(u, 0, &kind, nullptr, &length), -1);
  EXPECT_EQ(vorlet_v2_ask_ticket_await(u, 0, &kind, &bytes, nullptr), -1);
  EXPECT_STREQ(vorlet_v2_ask_ticket_message_id(nullptr), "");
  vorlet_v2_ask_ticket_cancel(nullptr);
  vorlet_v2_ask_ticket_destroy(nullptr);

  // Cancelled: -1, twice is harmless, the id stays.
  vorlet_v2_ask_ticket_cancel(u);
  vorlet_v2_ask_ticket_cancel(u);
  EXPECT_EQ(await(u, 0).status, -1);
  EXPECT_STREQ(vorlet_v2_ask_ticket_message_id(u), "n");
}

TEST_F(AskOverOwnPipes, AwaitWakesWhenTheAnswerComes) {
  vorlet_v2_AskTicket* t = begin_ok("late");
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    answer(response("late"));
  });
  const auto start = Clock::now();
  const Outcome o = await(t, 10000);
  writer.join();
  EXPECT_EQ(o.status, 0);
  EXPECT_LT(ms_since(start), 2000);
}

TEST_F(AskOverOwnPipes, DeadlettersMatchByTheOriginalMessageId) {
  vorlet_v2_AskTicket* t = begin_ok("lost");
  const std::string body = deadletter("lost");
  deadletter_frame(body);
  Outcome o = await(t);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.kind, VORLET_V2_REPLY_KIND_DEADLETTER);
  EXPECT_EQ(o.bytes, body);

  // Answers for nobody are discarded and the lanes go on: a response for
  // an unknown id, a deadletter without an original envelope, an empty
  // frame, the second of two answers to one ask.
  vorlet_v2_AskTicket* twice = begin_ok("twice");
  answer(response("nobody"));
  deadletter_frame(deadletter("", false));
  deadletter_frame("");
  answer(response("twice"));
  o = await(twice);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.kind, VORLET_V2_REPLY_KIND_RESPONSE);
  deadletter_frame(deadletter("twice"));
  settle();
  EXPECT_EQ(impl().pending_count(), 0u);
  EXPECT_EQ(impl().refusal(), Status::ok);
}

TEST_F(AskOverOwnPipes, AnAnswerNobodyCollectedGoesWithItsTicket) {
  vorlet_v2_AskTicket* cancelled = begin_ok("c");
  vorlet_v2_AskTicket* destroyed = begin_ok("d");
  answer(response("c"));
  answer(response("d"));
  settle();
  vorlet_v2_ask_ticket_cancel(cancelled);  // the stored answer is freed (the sanitizers watch)
  destroy_ticket(destroyed);
  EXPECT_EQ(impl().pending_count(), 0u);
}

// ---- frames that stop the client ----

TEST_F(AskOverOwnPipes, ALegitimateLargeAnswerIsAccepted) {
  // Beyond the runtime's request-pipe limit (4 MiB by default).
  vorlet_v2_AskTicket* t = begin_ok("big");
  const std::string body = response("big", std::string(5u << 20, 'b'));
  std::thread writer([&] { answer(body); });
  const Outcome o = await(t, 20000);
  writer.join();
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.bytes.size(), body.size());
  EXPECT_EQ(impl().refusal(), Status::ok);
}

TEST(AskClientPoison, FramesThatBreakTheRulesStopTheClientWithIo) {
  struct Case {
    const char* name;
    bool on_response_pipe;
    std::string raw;  // written as is (no frame prefix added) when prefix is false
    bool prefix;
    const char* text;
  };
  unsigned char huge[8];
  frame_prefix_encode(kMaxMessageBytes + 1, huge);
  const Case cases[] = {
      {"request on the response pipe", true, request("x"), true, "unexpected non-response frame on response lane"},
      {"event on the response pipe", true, request("x", "", transport::MESSAGE_KIND_EVENT), true,
       "unexpected non-response frame on response lane"},
      {"empty frame on the response pipe", true, "", true, "unexpected non-response frame on response lane"},
      {"garbage on the response pipe", true, std::string("\x0A\x05" "a", 3), true,
       "failed to parse response envelope"},
      {"garbage on the deadletter pipe", false, std::string("\x0A\x05" "a", 3), true, "failed to parse deadletter"},
      {"length beyond protobuf", true, std::string(reinterpret_cast<char*>(huge), 8), false, "frame_read_try failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRuntime fx;
    ASSERT_TRUE(fx.bring_up());
    TestPipe response_pipe, deadletter_pipe;
    vorlet_v2_HostHandles h = fx.handles;
    h.response_read_fd = response_pipe.read_fd;
    h.deadletter_read_fd = deadletter_pipe.read_fd;
    vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(to_handle(fx.rt), &h);
    ASSERT_NE(client, nullptr);
    std::vector<vorlet_v2_AskTicket*> pending;
    for (const char* id : {"p1", "p2"}) {
      const std::string bytes = request(id);
      vorlet_v2_AskTicket* t = nullptr;
      ASSERT_EQ(vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), &t), 0);
      pending.push_back(t);
    }
    const int32_t fd = c.on_response_pipe ? response_pipe.write_fd : deadletter_pipe.write_fd;
    if (c.prefix) {
      ASSERT_EQ(frame_write(fd, c.raw.data(), c.raw.size()), Status::ok);
    } else {
      uint64_t written = 0;
      ASSERT_EQ(platform::pipe_write(fd, c.raw.data(), c.raw.size(), nullptr, 0, &written), Status::ok);
    }
    for (vorlet_v2_AskTicket* t : pending) {
      const Outcome o = await(t);
      EXPECT_EQ(o.status, -5);
      EXPECT_EQ(o.kind, 0);
      EXPECT_FALSE(o.had_bytes);
      vorlet_v2_ask_ticket_destroy(t);
    }
    const std::string later = request("later");
    vorlet_v2_AskTicket* t = nullptr;
    EXPECT_EQ(vorlet_v2_ask_client_begin(client, later.data(), later.size(), &t), -5);
    EXPECT_STREQ(from_handle(client)->client->lane_error(), c.text);
    vorlet_v2_ask_client_destroy(client);
  }
}

TEST_F(AskOverOwnPipes, NoMemoryForAnAnswerFailsEveryAskAndStops) {
  vorlet_v2_AskTicket* t = begin_ok("m");
  // A frame of non-zero length that is not there is what a failed copy meets.
  impl().complete_pending("m", ReplyKind::response, nullptr, 10);
  const Outcome o = await(t);
  EXPECT_EQ(o.status, -2);
  EXPECT_EQ(o.kind, 0);
  EXPECT_EQ(impl().client_status(), 0);
  vorlet_v2_AskTicket* u = nullptr;
  EXPECT_EQ(begin(request("n"), &u), -7);
}

}  // namespace
}  // namespace vorlet::v2::test
