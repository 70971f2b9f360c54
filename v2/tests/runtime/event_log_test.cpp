#include "runtime/event_log.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "runtime/host_pipes.h"
#include "support/runtime_probe.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

// Options that carry no texts.
constexpr vorlet_v2_RuntimeOptions kNoTexts{nullptr, nullptr, 0, 0};

TEST(EventLog, The65thEventOverwritesTheFirst) {
  test::TestRuntime h(kNoTexts);
  for (uint64_t i = 1; i <= 65; ++i) {
    event_log_record(h.rt, MonitorEventKind::queue_rejected, 1, i, 100 + i);
  }
  EventLog& log = *h.rt->event_log;
  EXPECT_EQ(log.last_seq, 65u);
  EXPECT_EQ(log.count, 64u);
  EXPECT_EQ(log.head, 1u);
  const std::vector<MonitorEvent> events = test::recorded_events(h.rt);
  ASSERT_EQ(events.size(), 64u);
  uint64_t last_time = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const MonitorEvent& ev = events[i];
    EXPECT_EQ(ev.seq, i + 2);
    EXPECT_EQ(ev.monitor_seq, i + 2);
    EXPECT_EQ(ev.kind, 5u);
    EXPECT_EQ(ev.detail, 1u);
    EXPECT_EQ(ev.value1, i + 2);
    EXPECT_EQ(ev.value2, 102 + i);
    EXPECT_GE(ev.timestamp_ns, last_time);
    last_time = ev.timestamp_ns;
  }
  EXPECT_GT(last_time, 0u);
  // No monitor pipe: recorded all the same, no signal counted.
  EXPECT_EQ(h.rt->counters.load(Counter::monitor_signals_written), 0u);
  EXPECT_EQ(h.rt->counters.load(Counter::monitor_signals_skipped), 0u);
  event_log_record(nullptr, MonitorEventKind::started, 0, 0, 0);
}

TEST(EventLog, EventsCarryTheGenerationAndTheMonitorSequence) {
  test::TestRuntime h(kNoTexts);
  event_log_record(h.rt, MonitorEventKind::started, 0, 0, 0);
  host_pipes_monitor_change_notice(h.rt);  // raises monitor_seq without an event
  h.rt->counters.store(Counter::event_generation, 7);
  event_log_record(h.rt, MonitorEventKind::control_rejected, 0, static_cast<uint64_t>(int64_t{-4}), 0);
  const std::vector<MonitorEvent> events = test::recorded_events(h.rt);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].generation, 0u);
  EXPECT_EQ(events[0].monitor_seq, 1u);
  EXPECT_EQ(events[1].seq, 2u);
  EXPECT_EQ(events[1].monitor_seq, 3u);
  EXPECT_EQ(events[1].generation, 7u);
  EXPECT_EQ(events[1].value1, 0xFFFFFFFFFFFFFFFCull);
}

// Recording from many threads at once: dense log sequence, unique monitor
// sequence numbers, one doorbell byte for the whole burst.
TEST(EventLog, ConcurrentRecordersKeepTheLogDense) {
  test::TestRuntime host(0, test::TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([rt, t] {
      for (int i = 0; i < kEach; ++i) event_log_record(rt, MonitorEventKind::endpoint_unavailable, 0, t, i);
    });
  }
  for (auto& t : threads) t.join();
  const std::vector<MonitorEvent> events = test::recorded_events(rt);
  EXPECT_EQ(rt->event_log->last_seq, static_cast<uint64_t>(kThreads * kEach));
  std::set<uint64_t> monitor_seqs;
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].seq, kThreads * kEach - 63 + i);
    monitor_seqs.insert(events[i].monitor_seq);
  }
  EXPECT_EQ(monitor_seqs.size(), events.size());
  EXPECT_EQ(rt->counters.load(Counter::monitor_seq), static_cast<uint64_t>(kThreads * kEach));
  EXPECT_EQ(rt->counters.load(Counter::monitor_signals_written), 1u);
  EXPECT_EQ(rt->counters.load(Counter::monitor_signals_skipped), static_cast<uint64_t>(kThreads * kEach - 1));
}

}  // namespace
}  // namespace vorlet::v2
