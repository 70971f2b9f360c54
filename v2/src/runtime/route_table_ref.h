// The reference-counted owner of one built route table. The runtime's
// active table is held through one; every job whose host text points into
// the table holds one more, so that a snapshot swap never frees a text a
// queued or running job still names. The last release frees the table, on
// whichever thread lets go of it.
//
// Retaining through the runtime's active reference happens under the
// runtime lock (the commit that drops it takes the same lock); a reference
// a caller already holds may be retained or released anywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "runtime/route_table.h"

namespace vorlet::v2 {

struct RouteTableRef {
  std::atomic<uint64_t> refs;
  RouteRecord* table;  // owned; never NULL
  uint64_t count;
};

// Takes `table` (non-NULL, `count` records) into a new owner holding one
// reference, the caller's. nullptr on exhaustion or a NULL table: the
// table then stays the caller's.
RouteTableRef* route_table_ref_adopt(RouteRecord* table, uint64_t count) noexcept;

// One more reference; NULL is ignored. Returns `ref`.
RouteTableRef* route_table_ref_retain(RouteTableRef* ref) noexcept;

// Drops one reference; the last frees the table and the owner. NULL is
// ignored.
void route_table_ref_release(RouteTableRef* ref) noexcept;

struct RouteTableRefRelease {
  void operator()(RouteTableRef* ref) const noexcept { route_table_ref_release(ref); }
};
// Holds one reference until release() hands it on.
using RouteTableRefPtr = std::unique_ptr<RouteTableRef, RouteTableRefRelease>;

}  // namespace vorlet::v2
