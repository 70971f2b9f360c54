#include "runtime/event_log.h"

#include <cstddef>

#include "base/clock.h"
#include "runtime/host_pipes.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

static_assert(sizeof(vorlet_v2_MonitorEvent) == 56);
static_assert(offsetof(vorlet_v2_MonitorEvent, seq) == 0);
static_assert(offsetof(vorlet_v2_MonitorEvent, monitor_seq) == 8);
static_assert(offsetof(vorlet_v2_MonitorEvent, timestamp_ns) == 16);
static_assert(offsetof(vorlet_v2_MonitorEvent, generation) == 24);
static_assert(offsetof(vorlet_v2_MonitorEvent, kind) == 32);
static_assert(offsetof(vorlet_v2_MonitorEvent, detail) == 36);
static_assert(offsetof(vorlet_v2_MonitorEvent, value1) == 40);
static_assert(offsetof(vorlet_v2_MonitorEvent, value2) == 48);

void EventLog::append(const MonitorEvent& ev) noexcept {
  MutexLock hold(&mutex);
  ++last_seq;
  entries[head] = ev;
  entries[head].seq = last_seq;
  head = (head + 1) % kEventLogEntries;
  if (count < kEventLogEntries) ++count;
}

void event_log_record(Runtime* rt, MonitorEventKind kind, uint32_t detail, uint64_t value1, uint64_t value2) noexcept {
  if (rt == nullptr) return;
  MonitorEvent ev{};
  ev.monitor_seq = rt->counters[Counter::monitor_seq].fetch_add(1, std::memory_order_relaxed) + 1;
  ev.generation = rt->counters.load(Counter::event_generation);
  ev.kind = static_cast<uint32_t>(kind);
  ev.detail = detail;
  ev.value1 = value1;
  ev.value2 = value2;
  if (clock_monotonic_ns(&ev.timestamp_ns) != 0) ev.timestamp_ns = 0;
  rt->event_log->append(ev);
  host_pipes_ring_doorbell(rt);
}

}  // namespace vorlet::v2
