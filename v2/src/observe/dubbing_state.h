// The dubbing-job registry's state: the sixteen fixed slots and the two
// counters the runtime object holds, under a lock of its own; only
// observe/ reads or changes its fields (observe/dubbing_registry.h has the
// operations), and the runtime's create calls dubbing_registry_init.
#pragma once

#include <cstdint>

#include "base/mutex.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

using DubbingJobRecord = vorlet_v2_DubbingJobRecord;

inline constexpr uint32_t kDubbingSlots = 16;

struct DubbingSlot {
  uint32_t in_use;
  DubbingJobRecord job;  // struct_size unused
};

struct DubbingRegistry {
  // Taken before the monitor's change notice (whose locks are leaves).
  Mutex mutex;
  uint64_t next_handle GUARDED_BY(mutex);    // starts at 1
  uint64_t next_revision GUARDED_BY(mutex);  // starts at 1
  uint64_t used_slots GUARDED_BY(mutex);     // occupied slots; slots are only ever reused
  DubbingSlot slots[kDubbingSlots] GUARDED_BY(mutex);
};

// Empty registry; NULL is ignored.
void dubbing_registry_init(DubbingRegistry* reg) noexcept;

}  // namespace vorlet::v2
