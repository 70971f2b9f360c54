// Batches of the event log after a cursor, owned by the host until freed.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "runtime/event_log.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;

using EventLogSnapshot = vorlet_v2_EventLogSnapshot;

inline constexpr uint32_t kEventLogSnapshotHasEntries = VORLET_V2_EVENT_LOG_SNAPSHOT_HAS_ENTRIES;
inline constexpr uint32_t kEventLogSnapshotLost = VORLET_V2_EVENT_LOG_SNAPSHOT_LOST;
inline constexpr uint32_t kEventLogSnapshotRemaining = VORLET_V2_EVENT_LOG_SNAPSHOT_REMAINING;
inline constexpr uint32_t kEventLogSnapshotAhead = VORLET_V2_EVENT_LOG_SNAPSHOT_AHEAD;

// Copies up to max_entries (0: all) of the events after after_seq, oldest
// first, under the log's own mutex only, so a batch is always a consecutive
// run of sequences and never waits for the runtime lock. Reports how many
// events after the cursor were already overwritten (lost) and how many are
// left for the next call (remaining). invalid_arg for a NULL log or out;
// nomem leaves *out all zero.
Status event_log_snapshot_collect(EventLog* log, uint64_t after_seq, uint64_t max_entries,
                                  EventLogSnapshot* out) noexcept;

// The four summary bits of a batch; 0 for NULL.
uint32_t event_log_snapshot_flags(const EventLogSnapshot* snapshot) noexcept;

// Frees the entries and zeroes the record; NULL is ignored.
void event_log_snapshot_free(EventLogSnapshot* snapshot) noexcept;

// The runtime's own log; invalid_arg for a NULL runtime or out.
Status event_log_snapshot_get(Runtime* rt, uint64_t after_seq, uint64_t max_entries, EventLogSnapshot* out) noexcept;

}  // namespace vorlet::v2
