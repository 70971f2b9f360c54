// The dubbing-job registry's state: the sixteen fixed slots and the two
// counters the runtime object holds. The runtime lock guards it; only
// observe/ reads or changes its fields (observe/dubbing_registry.h has the
// operations), and the runtime's create calls dubbing_registry_init.
#pragma once

#include <cstdint>

#include "vorlet_v2.h"

namespace vorlet::v2 {

using DubbingJobRecord = vorlet_v2_DubbingJobRecord;

inline constexpr uint32_t kDubbingSlots = 16;

struct DubbingSlot {
  uint32_t in_use;
  DubbingJobRecord job;  // struct_size unused
};

struct DubbingRegistry {
  uint64_t next_handle;    // starts at 1
  uint64_t next_revision;  // starts at 1
  uint64_t used_slots;     // occupied slots; slots are only ever reused
  DubbingSlot slots[kDubbingSlots];
};

// Empty registry; NULL is ignored.
void dubbing_registry_init(DubbingRegistry* reg) noexcept;

}  // namespace vorlet::v2
