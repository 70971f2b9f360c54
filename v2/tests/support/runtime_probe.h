// A created runtime for unit tests, and what its event log holds.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/event_log.h"
#include "runtime/runtime.h"

namespace vorlet::v2::test {

// State created, no handles, no snapshot; destroyed at the end of scope.
struct CreatedRuntime {
  explicit CreatedRuntime(int32_t hint = 0, const char* text_a = "test", const char* text_b = "runtime",
                          uint32_t flag = 0);
  ~CreatedRuntime();
  CreatedRuntime(const CreatedRuntime&) = delete;
  CreatedRuntime& operator=(const CreatedRuntime&) = delete;

  vorlet_v2_Runtime* handle() const { return to_handle(rt); }

  Runtime* rt = nullptr;
};

// The events held, oldest first.
std::vector<MonitorEvent> recorded_events(Runtime* rt);

// The number of events recorded since create.
uint64_t event_count(Runtime* rt);

// Puts the state where stop leaves it, for rules that depend only on the
// state field.
void set_state(Runtime* rt, RuntimeState state);

}  // namespace vorlet::v2::test
