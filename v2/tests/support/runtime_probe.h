// What a runtime's event log holds, its active route table as one look at
// it, and its state put by hand.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/event_log.h"
#include "runtime/runtime.h"

namespace vorlet::v2::test {

// The events held, oldest first.
std::vector<MonitorEvent> recorded_events(Runtime* rt);

// The number of events recorded since create.
uint64_t event_count(Runtime* rt);

// The active route table at one moment, as a reader sees it: its records
// (NULL for none or an empty table), count, generation, listen address,
// the number of references to it (the runtime's and every job's), and
// whether any table was published. The pointers stay valid only while that
// table is active or a job holds it.
struct ActiveTable {
  bool present = false;
  const RouteTableRef* ref = nullptr;
  RouteRecord* routes = nullptr;
  uint64_t route_count = 0;
  uint64_t generation = 0;
  const char* listen_host = nullptr;
  uint16_t listen_port = 0;
  uint64_t refs = 0;  // not counting this look's own
};
ActiveTable active_table(Runtime* rt);

// Publishes an empty table of this generation, as a commit of an empty
// snapshot would, without the rest of a commit (no event, no policy).
void publish_empty_table(Runtime* rt, uint64_t generation);

// How many listen-host texts the runtime keeps.
size_t kept_listen_hosts(Runtime* rt);

// Puts the state where stop leaves it, for rules that depend only on the
// state field.
void set_state(Runtime* rt, RuntimeState state);

}  // namespace vorlet::v2::test
