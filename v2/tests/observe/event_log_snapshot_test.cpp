#include "observe/event_log_snapshot.h"

#include <gtest/gtest.h>

#include <cstring>

#include "runtime/event_log.h"
#include "runtime/runtime.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

// Options that carry no texts.
constexpr vorlet_v2_RuntimeOptions kNoTexts{nullptr, nullptr, 0, 0};

TEST(EventLogSnapshot, AnEmptyLogGivesNothing) {
  test::TestRuntime h(kNoTexts);
  EventLogSnapshot snap;
  std::memset(&snap, 0xAB, sizeof snap);
  ASSERT_EQ(event_log_snapshot_get(h.rt, 0, 0, &snap), Status::ok);
  EXPECT_EQ(snap.after_seq, 0u);
  EXPECT_EQ(snap.last_seq, 0u);
  EXPECT_EQ(snap.lost, 0u);
  EXPECT_EQ(snap.remaining, 0u);
  EXPECT_EQ(snap.count, 0u);
  EXPECT_EQ(snap.entries, nullptr);
  EXPECT_EQ(event_log_snapshot_flags(&snap), 0u);

  EXPECT_EQ(event_log_snapshot_get(nullptr, 0, 0, &snap), Status::invalid_arg);
  EXPECT_EQ(event_log_snapshot_get(h.rt, 0, 0, nullptr), Status::invalid_arg);
  EXPECT_EQ(event_log_snapshot_collect(nullptr, 0, 0, &snap), Status::invalid_arg);
  EXPECT_EQ(event_log_snapshot_flags(nullptr), 0u);
  event_log_snapshot_free(nullptr);
}

// 100 events recorded: the log keeps 37 to 100, across the ring's wrap.
TEST(EventLogSnapshot, TheCursorSelectsTheBatch) {
  test::TestRuntime h(kNoTexts);
  for (uint64_t i = 1; i <= 100; ++i) event_log_record(h.rt, MonitorEventKind::queue_rejected, 1, i, 1000 + i);

  struct Case {
    uint64_t after_seq, max_entries;
    uint64_t first, count, lost, remaining;
    uint32_t flags;
  };
  const Case cases[] = {
      {0, 0, 37, 64, 36, 0, 0xB},
      {50, 10, 51, 10, 0, 40, 0xD},
      {36, 0, 37, 64, 0, 0, 0x9},
      {35, 5, 37, 5, 1, 59, 0xF},
      {90, 100, 91, 10, 0, 0, 0x9},
      {99, 0, 100, 1, 0, 0, 0x9},
      {100, 0, 0, 0, 0, 0, 0x0},
      {150, 3, 0, 0, 0, 0, 0x0},
      {UINT64_MAX, 0, 0, 0, 0, 0, 0x0},
  };
  for (const Case& c : cases) {
    EventLogSnapshot snap;
    ASSERT_EQ(event_log_snapshot_get(h.rt, c.after_seq, c.max_entries, &snap), Status::ok);
    EXPECT_EQ(snap.after_seq, c.after_seq);
    EXPECT_EQ(snap.last_seq, 100u);
    EXPECT_EQ(snap.lost, c.lost) << c.after_seq;
    EXPECT_EQ(snap.remaining, c.remaining) << c.after_seq;
    ASSERT_EQ(snap.count, c.count) << c.after_seq;
    EXPECT_EQ(snap.entries == nullptr, c.count == 0) << c.after_seq;
    EXPECT_EQ(event_log_snapshot_flags(&snap), c.flags) << c.after_seq;
    for (uint64_t i = 0; i < snap.count; ++i) {
      const MonitorEvent& ev = snap.entries[i];
      EXPECT_EQ(ev.seq, c.first + i);
      EXPECT_EQ(ev.kind, 5u);
      EXPECT_EQ(ev.value1, c.first + i);
      EXPECT_EQ(ev.value2, 1000 + c.first + i);
    }
    event_log_snapshot_free(&snap);
    const EventLogSnapshot zero{};
    EXPECT_EQ(std::memcmp(&snap, &zero, sizeof snap), 0);
    event_log_snapshot_free(&snap);
  }
}

}  // namespace
}  // namespace vorlet::v2
