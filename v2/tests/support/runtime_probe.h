// What a runtime's event log holds, and its state put by hand.
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

// Puts the state where stop leaves it, for rules that depend only on the
// state field.
void set_state(Runtime* rt, RuntimeState state);

}  // namespace vorlet::v2::test
