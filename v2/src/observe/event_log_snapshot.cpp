#include "observe/event_log_snapshot.h"

#include <cstddef>
#include <cstring>

#include "base/alloc.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

static_assert(sizeof(EventLogSnapshot) == 48);
static_assert(offsetof(EventLogSnapshot, after_seq) == 0);
static_assert(offsetof(EventLogSnapshot, last_seq) == 8);
static_assert(offsetof(EventLogSnapshot, lost) == 16);
static_assert(offsetof(EventLogSnapshot, remaining) == 24);
static_assert(offsetof(EventLogSnapshot, count) == 32);
static_assert(offsetof(EventLogSnapshot, entries) == 40);

Status event_log_snapshot_collect(EventLog* log, uint64_t after_seq, uint64_t max_entries,
                                  EventLogSnapshot* out) noexcept {
  if (log == nullptr || out == nullptr) return Status::invalid_arg;
  std::memset(out, 0, sizeof *out);
  out->after_seq = after_seq;

  MutexLock hold(&log->mutex);
  const uint64_t last_seq = log->last_seq;
  out->last_seq = last_seq;
  if (log->count == 0 || last_seq == 0) return Status::ok;

  // A cursor at the very top stays there rather than wrapping to 0.
  const uint64_t first_wanted = after_seq == UINT64_MAX ? UINT64_MAX : after_seq + 1;
  // The log holds the consecutive sequences oldest_kept .. last_seq.
  const uint64_t oldest_kept = last_seq - log->count + 1;
  uint64_t start = first_wanted;
  if (first_wanted < oldest_kept) {
    out->lost = oldest_kept - first_wanted;
    start = oldest_kept;
  }
  if (start > last_seq) return Status::ok;

  const uint64_t available = last_seq - start + 1;
  const uint64_t batch = (max_entries == 0 || max_entries >= available) ? available : max_entries;
  auto* entries = static_cast<MonitorEvent*>(rt_calloc(batch, sizeof(MonitorEvent)));
  if (entries == nullptr) {
    std::memset(out, 0, sizeof *out);
    return Status::nomem;
  }
  // The event with sequence s sits (last_seq - s) slots behind the newest.
  for (uint64_t i = 0; i < batch; ++i) {
    const uint64_t behind = last_seq - (start + i);
    entries[i] = log->entries[(log->head + kEventLogEntries - 1 - behind) % kEventLogEntries];
  }
  out->remaining = available - batch;
  out->count = batch;
  out->entries = entries;
  return Status::ok;
}

uint32_t event_log_snapshot_flags(const EventLogSnapshot* snapshot) noexcept {
  if (snapshot == nullptr) return 0;
  uint32_t flags = 0;
  if (snapshot->count != 0) flags |= kEventLogSnapshotHasEntries;
  if (snapshot->lost != 0) flags |= kEventLogSnapshotLost;
  if (snapshot->remaining != 0) flags |= kEventLogSnapshotRemaining;
  if (snapshot->last_seq > snapshot->after_seq) flags |= kEventLogSnapshotAhead;
  return flags;
}

void event_log_snapshot_free(EventLogSnapshot* snapshot) noexcept {
  if (snapshot == nullptr) return;
  rt_free(snapshot->entries);
  std::memset(snapshot, 0, sizeof *snapshot);
}

Status event_log_snapshot_get(Runtime* rt, uint64_t after_seq, uint64_t max_entries, EventLogSnapshot* out) noexcept {
  if (rt == nullptr || out == nullptr) return Status::invalid_arg;
  return event_log_snapshot_collect(&rt->event_log.get(), after_seq, max_entries, out);
}

}  // namespace vorlet::v2
