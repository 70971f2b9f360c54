// One built route table as the runtime publishes it: the table with the
// generation, listen address and drained-route count of the snapshot it
// was built from, reference-counted and immutable once published (but for
// the round-robin counters, which advance atomically). The runtime's active
// routes hold one reference (active_routes.h); every reader of the active
// table, and every job whose host text points into it, holds one more, so
// that a snapshot swap never frees a table someone still reads. The last
// release frees it, on whichever thread lets go of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "runtime/route_table.h"

namespace vorlet::v2 {

struct RouteTableRef {
  std::atomic<uint64_t> refs;
  RouteRecord* table;  // owned; NULL for an empty snapshot
  uint64_t count;
  uint64_t generation;
  // A text the runtime keeps until it is destroyed (so a pointer to it that
  // was handed out never dangles); NULL: every interface, or no listener.
  const char* listen_host;
  uint16_t listen_port;  // 0: no listener
  uint64_t drained;      // routes with endpoints of which none is available
};

// Takes `table` (`count` records; NULL with 0 for an empty snapshot) into a
// new owner holding one reference, the caller's, for `generation`; the
// drained routes are counted now, the listen address is left for the
// caller to set before it publishes. nullptr on exhaustion: the table then
// stays the caller's.
RouteTableRef* route_table_ref_adopt(RouteRecord* table, uint64_t count, uint64_t generation) noexcept;

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
