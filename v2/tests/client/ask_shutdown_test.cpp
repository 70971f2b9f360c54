// The ask client at end of file, stop and destroy: no ask is left pending
// and no ticket dangles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/ask_support.h"

namespace vorlet::v2::test {
namespace {

using namespace ask;

// ---- end of file, stop and destroy ----

TEST_F(AskOverOwnPipes, AnswersStillWaitingOnTheOtherPipeAreReadAfterTheFirstCloses) {
  for (bool response_first : {true, false}) {
    SCOPED_TRACE(response_first ? "response pipe closes first" : "deadletter pipe closes first");
    TestPipe r, d;
    vorlet_v2_HostHandles h = hand_made();
    h.response_read_fd = r.read_fd;
    h.deadletter_read_fd = d.read_fd;
    vorlet_v2_AskClientHandle* c = vorlet_v2_ask_client_create(to_handle(fx.rt), &h);
    ASSERT_NE(c, nullptr);
    vorlet_v2_AskTicket* answered = nullptr;
    vorlet_v2_AskTicket* unanswered = nullptr;
    const std::string a = request(response_first ? "a1" : "a2"), b = request(response_first ? "b1" : "b2");
    ASSERT_EQ(vorlet_v2_ask_client_begin(c, a.data(), a.size(), &answered), 0);
    ASSERT_EQ(vorlet_v2_ask_client_begin(c, b.data(), b.size(), &unanswered), 0);
    const std::string id = vorlet_v2_ask_ticket_message_id(answered);

    (response_first ? r : d).close_write();
    const std::string body = response_first ? deadletter(id) : response(id);
    ASSERT_EQ(frame_write((response_first ? d : r).write_fd, body.data(), body.size()), Status::ok);
    Outcome o = await(answered);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.kind, response_first ? 2 : 1);
    EXPECT_EQ(await(unanswered, 0).status, -6);

    (response_first ? d : r).close_write();
    o = await(unanswered);
    EXPECT_EQ(o.status, -7);
    EXPECT_EQ(o.kind, 0);
    vorlet_v2_AskTicket* t = nullptr;
    EXPECT_EQ(vorlet_v2_ask_client_begin(c, a.data(), a.size(), &t), -7);
    vorlet_v2_ask_ticket_destroy(answered);
    vorlet_v2_ask_ticket_destroy(unanswered);
    vorlet_v2_ask_client_destroy(c);
  }
}

TEST_F(AskOverOwnPipes, NoAskIsLeftPendingWhenTheClientStopsUnderBegins) {
  std::atomic<bool> go{false};
  std::vector<std::thread> askers;
  std::vector<std::vector<vorlet_v2_AskTicket*>> taken(4);
  for (int i = 0; i < 4; ++i) {
    askers.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      // Until the client refuses (a bounded number, so that the runtime's
      // own unread pipes never fill).
      for (int n = 0; n < 100; ++n) {
        const std::string bytes = request("s" + std::to_string(i) + "." + std::to_string(n));
        vorlet_v2_AskTicket* t = nullptr;
        const int32_t s = vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), &t);
        if (s == 0) taken[i].push_back(t);
        if (s == -7) break;
      }
    });
  }
  go.store(true);
  response_pipe.close_write();
  deadletter_pipe.close_write();
  for (std::thread& t : askers) t.join();
  // Every ask that was taken ends now: none was registered after the last
  // fail-all.
  const auto start = Clock::now();
  for (auto& list : taken) {
    for (vorlet_v2_AskTicket* t : list) {
      EXPECT_EQ(await(t, 5000).status, -7);
      vorlet_v2_ask_ticket_destroy(t);
    }
  }
  EXPECT_LT(ms_since(start), 3000);
  EXPECT_EQ(impl().pending_count(), 0u);
}

TEST_F(AskOverOwnPipes, DestroyEndsAnAwaitOnAnotherThreadPromptly) {
  vorlet_v2_AskTicket* t = begin_ok("waiting");
  std::atomic<int32_t> status{99};
  std::atomic<int32_t> kind{99};
  const auto start = Clock::now();
  std::thread waiter([&] {
    const Outcome o = await(t, 60000);
    kind.store(o.kind);
    status.store(o.status);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  vorlet_v2_ask_client_destroy(client);
  client = nullptr;
  EXPECT_LT(ms_since(start), 1000);  // the lanes noticed within a few ms
  waiter.join();
  EXPECT_LT(ms_since(start), 2000);
  EXPECT_EQ(status.load(), -7);
  EXPECT_EQ(kind.load(), 0);
}

TEST_F(AskOverOwnPipes, ATicketOutlivesItsClient) {
  // The last reference goes by await, by cancel and by destroy.
  vorlet_v2_AskTicket* by_await = begin_ok("w");
  vorlet_v2_AskTicket* by_cancel = begin_ok("x");
  vorlet_v2_AskTicket* by_destroy = begin_ok("y");
  std::weak_ptr<AskClientImpl> state = from_handle(client)->client;
  vorlet_v2_ask_client_destroy(client);
  client = nullptr;

  const Outcome o = await(by_await);
  EXPECT_EQ(o.status, -7);
  EXPECT_EQ(o.kind, 0);
  EXPECT_EQ(await(by_await).status, -1);
  EXPECT_STREQ(vorlet_v2_ask_ticket_message_id(by_await), "w");
  vorlet_v2_ask_ticket_cancel(by_cancel);
  EXPECT_FALSE(state.expired());
  destroy_ticket(by_destroy);
  EXPECT_TRUE(state.expired());
}

}  // namespace
}  // namespace vorlet::v2::test
