// The ask client's create, its lanes' wait and begin: what it refuses, and
// what a begin leaves pending.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "client/ask_support.h"

namespace vorlet::v2::test {
namespace {

using namespace ask;

// ---- create ----

TEST(AskClientCreate, RefusesWhatItCannotWorkWith) {
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);  // created, not started: allowed
  const size_t threads = baseline_thread_count();
  const vorlet_v2_HostHandles good = fx.handles;

  struct Case {
    const char* name;
    bool null_runtime;
    bool null_handles;
    uint64_t size;
    int32_t response_fd, deadletter_fd, delivered_fd;
    bool accepted;
  };
  const int32_t r = good.response_read_fd, d = good.deadletter_read_fd, q = good.delivered_read_fd;
  const Case cases[] = {
      {"null runtime", true, false, 40, r, d, q, false},
      {"null handles", false, true, 40, r, d, q, false},
      {"size 35 misses the delivered fd", false, false, 35, r, d, q, false},
      {"size 1", false, false, 1, r, d, q, false},
      {"no delivered-request pipe", false, false, 40, r, d, -1, false},
      {"no response fd", false, false, 40, -1, d, q, false},
      {"no deadletter fd", false, false, 40, r, -1, q, false},
      {"size 0 is the whole record", false, false, 0, r, d, q, true},
      {"size 36 covers the delivered fd", false, false, 36, r, d, q, true},
      {"size 48 is the whole record", false, false, 48, r, d, q, true},
  };
  for (const Case& c : cases) {
    vorlet_v2_HostHandles h = good;
    h.struct_size = c.size;
    h.response_read_fd = c.response_fd;
    h.deadletter_read_fd = c.deadletter_fd;
    h.delivered_read_fd = c.delivered_fd;
    vorlet_v2_AskClientHandle* client =
        vorlet_v2_ask_client_create(c.null_runtime ? nullptr : to_handle(fx.rt), c.null_handles ? nullptr : &h);
    EXPECT_EQ(client != nullptr, c.accepted) << c.name;
    if (client != nullptr) {
      EXPECT_EQ(thread_count(), threads + 2) << c.name;
    }
    vorlet_v2_ask_client_destroy(client);
    EXPECT_EQ(thread_count(), threads) << c.name;
  }
  vorlet_v2_ask_client_destroy(nullptr);
}

bool refuse_thread(std::thread*, platform::ThreadProc, void*) { return false; }

TEST(AskClientCreate, AFailedStartLeavesNoLaneRunning) {
  TestPipe a, b;
  const size_t threads = baseline_thread_count();
  auto no_lanes = AskClientImpl::make(nullptr, a.read_fd, b.read_fd, 65536);
  EXPECT_FALSE(no_lanes->start(refuse_thread));

  // The second lane cannot start: the first is stopped and joined.
  static std::atomic<int> starts{0};
  auto second_fails = [](std::thread* t, platform::ThreadProc proc, void* arg) {
    return starts++ == 0 && platform::start_thread(t, proc, arg);
  };
  auto one_lane = AskClientImpl::make(nullptr, a.read_fd, b.read_fd, 65536);
  EXPECT_FALSE(one_lane->start(second_fails));
  EXPECT_EQ(thread_count(), threads);

  // A reader that could not be made (a bad descriptor) refuses too.
  auto no_reader = AskClientImpl::make(nullptr, -1, b.read_fd, 65536);
  EXPECT_FALSE(no_reader->start());
  EXPECT_EQ(thread_count(), threads);
}

// ---- begin ----

TEST(AskRequestPrepare, FillsAnEmptyCorrelationIdInACopy) {
  const std::string caller = request("m");
  const std::string before = caller;
  std::string id;
  HeapBlock bytes;
  uint64_t length = 0;
  ASSERT_EQ(ask_request_prepare(caller.data(), caller.size(), &id, &bytes, &length), Status::ok);
  EXPECT_EQ(id, "m");
  EXPECT_EQ(caller, before);
  transport::Envelope submitted;
  ASSERT_TRUE(submitted.ParseFromArray(bytes.get(), static_cast<int>(length)));
  EXPECT_EQ(submitted.correlation_id(), "m");
  EXPECT_EQ(submitted.message_id(), "m");
  EXPECT_EQ(submitted.payload(), "question");

  const std::string own = request("m2", "c2");
  ASSERT_EQ(ask_request_prepare(own.data(), own.size(), &id, &bytes, &length), Status::ok);
  ASSERT_TRUE(submitted.ParseFromArray(bytes.get(), static_cast<int>(length)));
  EXPECT_EQ(submitted.correlation_id(), "c2");
}

TEST_F(AskOverOwnPipes, BeginRefusesBadArgumentsAndRequests) {
  const std::string good = request("ok");
  constexpr int64_t kWhole = -1;
  struct Case {
    const char* name;
    std::string bytes;
    int64_t length;  // kWhole: bytes.size()
    bool null_request;
  };
  const Case cases[] = {
      {"null request", good, kWhole, true},
      {"length 0", good, 0, false},
      {"length 2^31", good, int64_t{1} << 31, false},
      {"one-way", request("a", "", transport::MESSAGE_KIND_REQUEST, true), kWhole, false},
      {"event", request("a", "", transport::MESSAGE_KIND_EVENT), kWhole, false},
      {"response", request("a", "", transport::MESSAGE_KIND_RESPONSE), kWhole, false},
      {"no kind", request("a", "", transport::MESSAGE_KIND_UNSPECIFIED), kWhole, false},
      {"empty message id", request(""), kWhole, false},
      {"message id led by a NUL", request(std::string("\0m", 2)), kWhole, false},
      {"message id with a NUL inside", request(std::string("m\0n", 3)), kWhole, false},
      {"garbage", std::string("\x0A\x05" "a", 3), kWhole, false},
  };
  for (const Case& c : cases) {
    vorlet_v2_AskTicket* t = reinterpret_cast<vorlet_v2_AskTicket*>(1);
    const uint64_t length = c.length == kWhole ? c.bytes.size() : static_cast<uint64_t>(c.length);
    EXPECT_EQ(vorlet_v2_ask_client_begin(client, c.null_request ? nullptr : c.bytes.data(), length, &t), -1)
        << c.name;
    EXPECT_EQ(t, nullptr) << c.name;
  }
  vorlet_v2_AskTicket* t = nullptr;
  EXPECT_EQ(vorlet_v2_ask_client_begin(nullptr, good.data(), good.size(), &t), -1);
  EXPECT_EQ(vorlet_v2_ask_client_begin(client, good.data(), good.size(), nullptr), -1);
  EXPECT_EQ(impl().pending_count(), 0u);
}

TEST(AskClientBegin, BeforeStartTheSubmissionRefusesAndNothingStays) {
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(to_handle(fx.rt), &fx.handles);
  ASSERT_NE(client, nullptr);
  const std::string bytes = request("early");
  vorlet_v2_AskTicket* t = reinterpret_cast<vorlet_v2_AskTicket*>(1);
  EXPECT_EQ(vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), &t), -3);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(from_handle(client)->client->pending_count(), 0u);

  FlatSnapshot snapshot(1);
  add_local_route(&snapshot, free_loopback_port());
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);
  EXPECT_EQ(vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), &t), 0);
  vorlet_v2_ask_ticket_destroy(t);
  vorlet_v2_ask_client_destroy(client);
}

TEST_F(AskOverOwnPipes, AMessageIdIsPendingOnceAndFreeAgainWhenSettled) {
  vorlet_v2_AskTicket* first = begin_ok("dup");
  vorlet_v2_AskTicket* t = reinterpret_cast<vorlet_v2_AskTicket*>(1);
  EXPECT_EQ(begin(request("dup"), &t), -3);
  EXPECT_EQ(t, nullptr);

  // Answered: free again.
  answer(response("dup"));
  EXPECT_EQ(await(first).status, 0);
  vorlet_v2_AskTicket* second = begin_ok("dup");

  // Cancelled: free again; the old ticket's cancel leaves the new ask alone.
  vorlet_v2_ask_ticket_cancel(second);
  vorlet_v2_AskTicket* third = begin_ok("dup");
  vorlet_v2_ask_ticket_cancel(second);
  vorlet_v2_ask_ticket_cancel(first);
  destroy_ticket(second);
  EXPECT_EQ(impl().pending_count(), 1u);
  answer(response("dup"));
  const Outcome o = await(third);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.kind, 1);
}

TEST_F(AskOverOwnPipes, AFailedSubmissionErasesOnlyItsOwnAsk) {
  // An older ask's submission fails after the key went to a newer ask.
  auto older = std::make_shared<PendingAsk>();
  auto newer = std::make_shared<PendingAsk>();
  ASSERT_EQ(impl().insert_pending("k", older), Status::ok);
  impl().erase_pending_if("k", older.get());
  ASSERT_EQ(impl().insert_pending("k", newer), Status::ok);
  ASSERT_EQ(fx.stop(), Status::ok);
  const std::string bytes = request("k");
  EXPECT_EQ(impl().submit(bytes.data(), bytes.size(), "k", older.get()), Status::closed);
  EXPECT_EQ(impl().pending_count(), 1u);
  EXPECT_EQ(impl().submit(bytes.data(), bytes.size(), "k", newer.get()), Status::closed);
  EXPECT_EQ(impl().pending_count(), 0u);
}

}  // namespace
}  // namespace vorlet::v2::test
