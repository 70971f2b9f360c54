#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/ask_client.h"
#include "client/ask_ticket.h"
#include "codec/frame_io.h"
#include "codec/message_buffer.h"
#include "platform/pipe.h"
#include "support/lifecycle_runtime.h"
#include "support/pipe_support.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2::test {
namespace {

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string request(const std::string& id, const std::string& correlation = "",
                    transport::MessageKind kind = transport::MESSAGE_KIND_REQUEST, bool one_way = false) {
  transport::Envelope e;
  e.set_message_id(id);
  e.set_correlation_id(correlation);
  e.set_source("asker");
  e.set_target(kLocalTarget);
  e.set_reply_to("asker.inbox");
  e.set_kind(kind);
  e.set_one_way(one_way);
  e.set_payload("question");
  return e.SerializeAsString();
}

std::string response(const std::string& correlation, const std::string& payload = "answer") {
  transport::Envelope e;
  e.set_message_id(correlation + ".reply");
  e.set_correlation_id(correlation);
  e.set_kind(transport::MESSAGE_KIND_RESPONSE);
  e.set_payload(payload);
  return e.SerializeAsString();
}

std::string deadletter(const std::string& original_id, bool with_original = true) {
  transport::Deadletter d;
  if (with_original) d.mutable_original_envelope()->set_message_id(original_id);
  d.set_reason(transport::DEADLETTER_REASON_ROUTE_MISS);
  d.set_detail("no route");
  return d.SerializeAsString();
}

// What one await gave.
struct Outcome {
  int32_t status = 99;
  int32_t kind = 99;
  std::string bytes;
  bool had_bytes = false;
};

Outcome await(vorlet_v2_AskTicket* t, uint32_t timeout_ms = 5000) {
  Outcome o;
  void* bytes = reinterpret_cast<void*>(1);
  uint64_t length = 99;
  o.status = vorlet_v2_ask_ticket_await(t, timeout_ms, &o.kind, &bytes, &length);
  if (o.status == 99) return o;
  o.had_bytes = bytes != nullptr && bytes != reinterpret_cast<void*>(1);
  if (o.had_bytes) o.bytes.assign(static_cast<const char*>(bytes), length);
  if (o.had_bytes) vorlet_v2_client_bytes_release(bytes);
  return o;
}

// A client over a started runtime (so that begins are submitted) whose
// response and deadletter pipes are pipes of the test: the test plays the
// runtime's side and writes the answers itself.
class AskOverOwnPipes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fx.bring_up());
    handles = hand_made();
    client = vorlet_v2_ask_client_create(to_handle(fx.rt), &handles);
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    for (vorlet_v2_AskTicket* t : tickets) vorlet_v2_ask_ticket_destroy(t);
    vorlet_v2_ask_client_destroy(client);
  }

  vorlet_v2_HostHandles hand_made() {
    vorlet_v2_HostHandles h{};
    h.struct_size = sizeof h;
    h.request_write_fd = -1;
    h.control_write_fd = -1;
    h.monitor_read_fd = -1;
    h.response_read_fd = response_pipe.read_fd;
    h.deadletter_read_fd = deadletter_pipe.read_fd;
    h.delivered_read_fd = fx.handles.delivered_read_fd;
    return h;
  }

  AskClientImpl& impl() { return *from_handle(client)->client; }

  int32_t begin(const std::string& bytes, vorlet_v2_AskTicket** out) {
    const int32_t s = vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), out);
    if (s == 0) tickets.push_back(*out);
    return s;
  }
  vorlet_v2_AskTicket* begin_ok(const std::string& id) {
    vorlet_v2_AskTicket* t = nullptr;
    EXPECT_EQ(begin(request(id), &t), 0) << id;
    return t;
  }
  // Tickets destroyed by the test itself leave the list.
  void destroy_ticket(vorlet_v2_AskTicket* t) {
    std::erase(tickets, t);
    vorlet_v2_ask_ticket_destroy(t);
  }

  static void write(int32_t fd, const std::string& body) {
    ASSERT_EQ(frame_write(fd, body.data(), body.size()), Status::ok);
  }
  void answer(const std::string& body) { write(response_pipe.write_fd, body); }
  void deadletter_frame(const std::string& body) { write(deadletter_pipe.write_fd, body); }

  // Until both lanes have read everything written so far: an answer to a
  // probe ask, written after it on each pipe, comes back.
  void settle() {
    vorlet_v2_AskTicket* by_response = begin_ok("probe." + std::to_string(probe_seq++));
    vorlet_v2_AskTicket* by_deadletter = begin_ok("probe." + std::to_string(probe_seq++));
    answer(response(vorlet_v2_ask_ticket_message_id(by_response)));
    deadletter_frame(deadletter(vorlet_v2_ask_ticket_message_id(by_deadletter)));
    EXPECT_EQ(await(by_response).kind, VORLET_V2_REPLY_KIND_RESPONSE);
    EXPECT_EQ(await(by_deadletter).kind, VORLET_V2_REPLY_KIND_DEADLETTER);
  }

  LifecycleRuntime fx;
  TestPipe response_pipe;
  TestPipe deadletter_pipe;
  vorlet_v2_HostHandles handles{};
  vorlet_v2_AskClientHandle* client = nullptr;
  std::vector<vorlet_v2_AskTicket*> tickets;
  int probe_seq = 0;
};

// ---- create ----

TEST(AskClientCreate, RefusesWhatItCannotWorkWith) {
  LifecycleRuntime fx;
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
  LifecycleRuntime fx;
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
    LifecycleRuntime fx;
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

  LifecycleRuntime fx;
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
