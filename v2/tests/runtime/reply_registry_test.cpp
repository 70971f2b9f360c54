#include "runtime/reply_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/clock.h"
#include "runtime/runtime.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

// A heap payload the slot will own (a deadletter's kind), so that ASan
// reports any payload the registry or slot forgets to give back.
void* heap_payload(const char* text) {
  void* p = rt_malloc(std::strlen(text) + 1);
  std::memcpy(p, text, std::strlen(text) + 1);
  return p;
}

// One step of a registry scenario, on the slot named by id.
enum class Op { reg, take, abandon, remove, fail_all };
struct Step {
  Op op;
  const char* id;
  int expect;  // reg: status; take: 1 slot, 2 abandoned, 0 nothing; abandon: 1 found
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
  uint64_t count_after;
};

TEST(ReplyRegistry, ScenariosKeepIdsAndReferencesStraight) {
  const std::vector<Scenario> scenarios = {
      {"duplicate pending id", {{Op::reg, "A", 0}, {Op::reg, "A", -3}}, 1},
      {"empty id", {{Op::reg, "", -1}}, 0},
      {"take live, then nothing", {{Op::reg, "A", 0}, {Op::take, "A", 1}, {Op::take, "A", 0}}, 0},
      {"take without entry", {{Op::take, "B", 0}}, 0},
      {"abandoned id refuses re-registration until taken",
       {{Op::reg, "A", 0},
        {Op::abandon, "A", 1},
        {Op::reg, "A", -3},
        {Op::take, "A", 2},
        {Op::take, "A", 0},
        {Op::reg, "A", 0}},
       1},
      {"abandon twice", {{Op::reg, "A", 0}, {Op::abandon, "A", 1}, {Op::abandon, "A", 0}}, 1},
      {"remove frees the id", {{Op::reg, "A", 0}, {Op::remove, "A", 0}, {Op::reg, "A", 0}}, 1},
      {"remove after abandon keeps the abandoned id",
       {{Op::reg, "A", 0}, {Op::abandon, "A", 1}, {Op::remove, "A", 0}, {Op::reg, "A", -3}},
       1},
      {"fail all empties", {{Op::reg, "A", 0}, {Op::reg, "B", 0}, {Op::abandon, "B", 1}, {Op::fail_all, "", 0}}, 0},
  };
  for (const Scenario& sc : scenarios) {
    SCOPED_TRACE(sc.name);
    ReplyRegistry registry;
    std::map<std::string, ReplySlot*> slots;
    auto slot_of = [&](const char* id) {
      ReplySlot*& s = slots[id];
      if (s == nullptr) s = reply_slot_create();
      return s;
    };
    for (const Step& step : sc.steps) {
      switch (step.op) {
        case Op::reg:
          EXPECT_EQ(to_c(reply_registry_register(&registry, step.id, slot_of(step.id))), step.expect);
          break;
        case Op::take: {
          bool abandoned = true;
          ReplySlot* got = reply_registry_take(&registry, step.id, &abandoned);
          EXPECT_EQ(got != nullptr ? 1 : abandoned ? 2 : 0, step.expect);
          if (got != nullptr) {
            EXPECT_EQ(got, slot_of(step.id));
          }
          reply_slot_release(got);  // the registry's reference, handed over
          break;
        }
        case Op::abandon:
          EXPECT_EQ(reply_registry_abandon(&registry, slot_of(step.id)) ? 1 : 0, step.expect);
          break;
        case Op::remove:
          reply_registry_remove(&registry, slot_of(step.id));
          break;
        case Op::fail_all:
          reply_registry_fail_all(&registry, "runtime stopped");
          break;
      }
    }
    EXPECT_EQ(registry.count, sc.count_after);
    // Every slot holds the creator's reference plus one per live entry.
    for (auto& [id, slot] : slots) {
      int32_t live_entries = 0;
      for (uint64_t i = 0; i < registry.count; ++i) live_entries += registry.entries[i].slot == slot ? 1 : 0;
      EXPECT_EQ(slot->refs.load(), 1 + live_entries) << id;
    }
    reply_registry_destroy(&registry);
    for (auto& [id, slot] : slots) reply_slot_release(slot);
  }
}

TEST(ReplyRegistry, GrowsByDoublingAndKeepsInsertionOrder) {
  ReplyRegistry registry;
  ReplySlot* slots[5];
  const char* ids[5] = {"a", "b", "c", "d", "e"};
  for (int i = 0; i < 5; ++i) {
    slots[i] = reply_slot_create();
    ASSERT_EQ(reply_registry_register(&registry, ids[i], slots[i]), Status::ok);
    EXPECT_EQ(registry.capacity, i < 4 ? 4u : 8u);
  }
  reply_registry_remove(&registry, slots[1]);
  reply_registry_remove(&registry, slots[3]);
  ASSERT_EQ(registry.count, 3u);
  EXPECT_STREQ(registry.entries[0].message_id, "a");
  EXPECT_STREQ(registry.entries[1].message_id, "c");
  EXPECT_STREQ(registry.entries[2].message_id, "e");
  EXPECT_EQ(registry.capacity, 8u);
  reply_registry_destroy(&registry);
  for (ReplySlot* s : slots) reply_slot_release(s);
}

TEST(ReplyRegistry, AbandonedIdsArePurgedOldestFirst) {
  // 65 abandons in a row keep 64 abandoned ids: the oldest is gone.
  {
    ReplyRegistry registry;
    for (int i = 0; i < 65; ++i) {
      ReplySlot* slot = reply_slot_create();
      ASSERT_EQ(reply_registry_register(&registry, std::to_string(i).c_str(), slot), Status::ok);
      ASSERT_TRUE(reply_registry_abandon(&registry, slot));
      reply_slot_release(slot);
    }
    EXPECT_EQ(registry.count, 64u);
    bool abandoned = true;
    EXPECT_EQ(reply_registry_take(&registry, "0", &abandoned), nullptr);
    EXPECT_FALSE(abandoned);
    EXPECT_EQ(reply_registry_take(&registry, "1", &abandoned), nullptr);
    EXPECT_TRUE(abandoned);
  }
  // A full array of 64 abandoned entries gives up exactly one on the next
  // registration and does not grow.
  {
    ReplyRegistry registry;
    for (int i = 0; i < 64; ++i) {
      ReplySlot* slot = reply_slot_create();
      ASSERT_EQ(reply_registry_register(&registry, std::to_string(i).c_str(), slot), Status::ok);
      ASSERT_TRUE(reply_registry_abandon(&registry, slot));
      reply_slot_release(slot);
    }
    ASSERT_EQ(registry.capacity, 64u);
    ReplySlot* fresh = reply_slot_create();
    ASSERT_EQ(reply_registry_register(&registry, "new", fresh), Status::ok);
    EXPECT_EQ(registry.capacity, 64u);
    EXPECT_EQ(registry.count, 64u);
    EXPECT_STREQ(registry.entries[0].message_id, "1");
    EXPECT_EQ(reply_registry_register(&registry, "1", fresh), Status::bad_state);
    reply_registry_destroy(&registry);
    reply_slot_release(fresh);
  }
}

TEST(ReplySlot, FirstCompletionWinsAndLaterPayloadsAreReleased) {
  ReplySlot* slot = reply_slot_create();
  reply_slot_complete(slot, ReplyKind::deadletter, 4, heap_payload("first"), 6, "first message");
  reply_slot_complete(slot, ReplyKind::deadletter, 8, heap_payload("second"), 7, "second message");
  reply_slot_complete(nullptr, ReplyKind::deadletter, 8, heap_payload("nobody"), 7, nullptr);

  ReplyKind kind;
  void* payload;
  uint64_t length;
  int32_t reason;
  char text[kReplyMessageCapacity];
  ASSERT_EQ(reply_slot_wait(slot, 0, &kind, &payload, &length, &reason, text, sizeof text), Status::ok);
  EXPECT_EQ(kind, ReplyKind::deadletter);
  EXPECT_EQ(reason, 4);
  EXPECT_STREQ(static_cast<char*>(payload), "first");
  EXPECT_EQ(length, 6u);
  EXPECT_STREQ(text, "first message");
  EXPECT_FALSE(reply_slot_timed_out(slot));
  rt_free(payload);
  reply_slot_release(slot);
}

TEST(ReplySlot, WaitTimesOutOnTheMonotonicDeadline) {
  ReplySlot* slot = reply_slot_create();
  ReplyKind kind;
  void* payload;
  uint64_t length;
  int32_t reason;
  char text[kReplyMessageCapacity];
  // Timeout 0: at once.
  EXPECT_EQ(reply_slot_wait(slot, 0, &kind, &payload, &length, &reason, text, sizeof text), Status::would_block);
  EXPECT_TRUE(reply_slot_timed_out(slot));
  EXPECT_STREQ(text, "remote reply timed out");
  EXPECT_EQ(kind, ReplyKind::none);
  EXPECT_EQ(reason, 6);

  // A real timeout lasts its whole length, however the waits wake.
  uint64_t before = 0, after = 0;
  clock_monotonic_ns(&before);
  EXPECT_EQ(reply_slot_wait(slot, 40, &kind, &payload, &length, &reason, nullptr, 0), Status::would_block);
  clock_monotonic_ns(&after);
  EXPECT_GE(after - before, 40u * 1000000u);

  // A late completion is kept by the slot and given back by the last
  // release.
  reply_slot_complete(slot, ReplyKind::deadletter, 8, heap_payload("late"), 5, nullptr);
  EXPECT_EQ(reply_slot_wait(nullptr, 0, &kind, &payload, &length, &reason, nullptr, 0), Status::invalid_arg);
  reply_slot_release(slot);
}

TEST(ReplySlot, CompletionFromAnotherThreadEndsTheWait) {
  for (const bool by_fail_all : {false, true}) {
    SCOPED_TRACE(by_fail_all ? "fail all" : "complete");
    ReplyRegistry registry;
    ReplySlot* slot = reply_slot_create();
    ASSERT_EQ(reply_registry_register(&registry, "req-1", slot), Status::ok);
    std::thread completer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (by_fail_all) {
        reply_registry_fail_all(&registry, "runtime stopped");
      } else {
        ReplySlot* taken = reply_registry_take(&registry, "req-1", nullptr);
        reply_slot_complete(taken, ReplyKind::deadletter, 5, heap_payload("dl"), 3, "handoff failed");
        reply_slot_release(taken);
      }
    });
    ReplyKind kind;
    void* payload;
    uint64_t length;
    int32_t reason;
    char text[kReplyMessageCapacity];
    EXPECT_EQ(reply_slot_wait(slot, 10000, &kind, &payload, &length, &reason, text, sizeof text), Status::ok);
    completer.join();
    EXPECT_EQ(kind, by_fail_all ? ReplyKind::none : ReplyKind::deadletter);
    EXPECT_EQ(reason, by_fail_all ? 8 : 5);
    EXPECT_STREQ(text, by_fail_all ? "runtime stopped" : "handoff failed");
    EXPECT_EQ(payload != nullptr, !by_fail_all);
    rt_free(payload);
    EXPECT_EQ(registry.count, 0u);
    EXPECT_EQ(slot->refs.load(), 1);
    reply_slot_release(slot);
  }
}

// A completion from another thread, whether it comes before the waiter
// takes the slot's mutex, while it is about to sleep or once it sleeps, is
// collected once, with its payload, and the wait ends at once rather than
// at its deadline: on the condition variable alone, and on the wake event
// beside a watched connection.
TEST(ReplySlot, CompletionsAtAnyMomentOfTheWaitAreNeverLost) {
  const auto window = std::chrono::microseconds(100);  // about one round trip through a runtime and its host
  test::SocketPair pair;
  ASSERT_NE(pair.a, platform::kNoSocket);
  std::unique_ptr<platform::Event> wake(platform::Event::create());
  ASSERT_NE(wake, nullptr);
  const ReplyWatch watch{pair.a, wake.get()};
  for (int round = 0; round < 120; ++round) {
    const bool watched = round >= 60;
    ReplySlot* slot = reply_slot_create();
    reply_slot_retain(slot);  // the completer's reference, as a job holds one
    // From at once to three windows, in twentieths, more of them near the
    // window's end.
    const auto delay = round % 60 < 40 ? window * (round % 20) / 10 : window * 9 / 10 + window * (round % 20) / 100;
    std::thread completer([&] {
      const auto until = std::chrono::steady_clock::now() + delay;
      while (std::chrono::steady_clock::now() < until) {
      }
      reply_slot_complete(slot, ReplyKind::deadletter, 5, heap_payload("spun"), 5, "round");
      reply_slot_release(slot);
    });
    ReplyKind kind;
    void* payload = nullptr;
    uint64_t length = 0;
    int32_t reason = 0;
    char text[kReplyMessageCapacity];
    const auto start = std::chrono::steady_clock::now();
    const Status waited = reply_slot_wait(slot, 20000, &kind, &payload, &length, &reason, text, sizeof text,
                                          watched ? &watch : nullptr);
    const auto waited_for = std::chrono::steady_clock::now() - start;
    completer.join();
    EXPECT_EQ(waited, Status::ok) << "round " << round;
    EXPECT_LT(waited_for, std::chrono::seconds(10)) << "round " << round << ": the completion was missed";
    EXPECT_EQ(kind, ReplyKind::deadletter) << "round " << round;
    EXPECT_EQ(reason, 5) << "round " << round;
    EXPECT_STREQ(text, "round") << "round " << round;
    ASSERT_NE(payload, nullptr) << "round " << round;
    EXPECT_STREQ(static_cast<char*>(payload), "spun") << "round " << round;
    EXPECT_EQ(length, 5u);
    rt_free(payload);
    EXPECT_FALSE(reply_slot_timed_out(slot)) << "round " << round;
    reply_slot_release(slot);
  }
}

// A wait that watches its peer's connection ends when the peer leaves (a
// close, a half-close, a reset), as a timeout ends it: the slot is settled
// and a relay in flight is cut. Bytes from the peer do not end it, and a
// completion still does, the wake event sleeping beside the connection.
// After the wait, the slot no longer holds the waiter's event.
TEST(ReplySlot, AWatchedWaitEndsWhenItsPeerLeavesAndCutsItsRelay) {
  using Clock = std::chrono::steady_clock;
  enum class Peer { leaves_by_close, leaves_by_half_close, leaves_by_reset, sends_bytes, stays };
  const struct Case {
    const char* name;
    Peer peer;
    bool completed;  // from another thread, 100 ms in
    uint32_t timeout_ms;
    Status expected;
  } cases[] = {
      {"the peer closes", Peer::leaves_by_close, false, 30000, Status::closed},
      {"the peer shuts down its sending side", Peer::leaves_by_half_close, false, 30000, Status::closed},
      {"the peer resets", Peer::leaves_by_reset, false, 30000, Status::closed},
      {"the peer sends more bytes, then the result comes", Peer::sends_bytes, true, 30000, Status::ok},
      {"the result comes", Peer::stays, true, 30000, Status::ok},
      {"nothing comes", Peer::stays, false, 300, Status::would_block},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::SocketPair pair;
    ASSERT_NE(pair.a, platform::kNoSocket);
    std::unique_ptr<platform::Event> wake(platform::Event::create());
    std::unique_ptr<platform::Event> cut(platform::Event::create());
    ASSERT_NE(wake, nullptr);
    ASSERT_NE(cut, nullptr);
    ReplySlot* slot = reply_slot_create();
    reply_slot_retain(slot);  // the completer's, as a job holds one
    ASSERT_TRUE(reply_slot_relay_begin(slot, cut.get()));
    std::thread peer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      switch (c.peer) {
        case Peer::leaves_by_close:
          pair.close_b();
          break;
        case Peer::leaves_by_half_close:
          pair.shutdown_b_send();
          break;
        case Peer::leaves_by_reset:
          pair.reset_b();
          break;
        case Peer::sends_bytes:
          pair.peer_write(test::wire_bytes("more"));
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          break;
        case Peer::stays:
          break;
      }
      if (c.completed) reply_slot_complete(slot, ReplyKind::deadletter, 4, heap_payload("done"), 5, "answer");
      reply_slot_release(slot);
    });
    ReplyKind kind;
    void* payload = nullptr;
    uint64_t length = 0;
    int32_t reason = 0;
    char text[kReplyMessageCapacity];
    const ReplyWatch watch{pair.a, wake.get()};
    const auto start = Clock::now();
    const Status waited =
        reply_slot_wait(slot, c.timeout_ms, &kind, &payload, &length, &reason, text, sizeof text, &watch);
    const auto took = Clock::now() - start;
    peer.join();
    EXPECT_EQ(waited, c.expected);
    EXPECT_LT(took, std::chrono::milliseconds(c.timeout_ms > 1000 ? 2000 : c.timeout_ms + 1000));
    const bool gave_up = c.expected != Status::ok;
    EXPECT_EQ(reply_slot_settled(slot), true);
    EXPECT_EQ(reply_slot_timed_out(slot), gave_up);
    EXPECT_EQ(cut->is_set(), gave_up);
    EXPECT_FALSE(reply_slot_relay_begin(slot, cut.get()));  // nobody to relay for now
    if (gave_up) {
      EXPECT_EQ(kind, ReplyKind::none);
      EXPECT_EQ(payload, nullptr);
      EXPECT_STREQ(text, c.expected == Status::closed ? "" : "remote reply timed out");
    } else {
      EXPECT_EQ(kind, ReplyKind::deadletter);
      EXPECT_EQ(reason, 4);
      EXPECT_STREQ(text, "answer");
      ASSERT_NE(payload, nullptr);
      EXPECT_STREQ(static_cast<char*>(payload), "done");
      rt_free(payload);
    }
    // A completion after the wait touches neither the waiter's event nor
    // the relay's.
    reply_slot_relay_end(slot);
    wake->reset();
    cut->reset();
    reply_slot_complete(slot, ReplyKind::deadletter, 8, heap_payload("late"), 5, nullptr);
    EXPECT_FALSE(wake->is_set());
    EXPECT_FALSE(cut->is_set());
    reply_slot_release(slot);
  }
}

TEST(ReplySlot, LongMessagesAreCutWithoutSplittingACharacter) {
  ReplySlot* slot = reply_slot_create();
  const std::string message = std::string(158, 'x') + "\xC3\xA9" + "tail";  // 'é' straddles byte 159
  reply_slot_complete(slot, ReplyKind::none, 8, nullptr, 0, message.c_str());
  EXPECT_EQ(std::string(slot->message), std::string(158, 'x'));
  reply_slot_release(slot);
}

// A remote requester still waiting when its runtime stops (or is destroyed
// while started) hears of it at once instead of timing out.
TEST(ReplyRegistry, StopAndDestroyFailEveryWaitingRequester) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroy" : "stop");
    auto fx = std::make_unique<test::TestRuntime>();
    ASSERT_TRUE(fx->bring_up());
    ReplySlot* slot = reply_slot_create();
    ASSERT_EQ(reply_registry_register(&fx->rt->reply_registry.get(), "waiting", slot), Status::ok);
    Status waited = Status::io;
    ReplyKind kind;
    int32_t reason = 0;
    char text[kReplyMessageCapacity] = {};
    std::thread waiter([&] {
      void* payload;
      uint64_t length;
      waited = reply_slot_wait(slot, 30000, &kind, &payload, &length, &reason, text, sizeof text);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (destroy) {
      fx.reset();
    } else {
      ASSERT_EQ(fx->stop(), Status::ok);
      EXPECT_EQ(fx->rt->reply_registry->count, 0u);
    }
    waiter.join();
    EXPECT_EQ(waited, Status::ok);
    EXPECT_EQ(kind, ReplyKind::none);
    EXPECT_EQ(reason, 8);
    EXPECT_STREQ(text, destroy ? "runtime destroyed" : "runtime stopped");
    reply_slot_release(slot);
  }
}

}  // namespace
}  // namespace vorlet::v2
