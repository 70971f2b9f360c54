#include "support/runtime_probe.h"

#include <mutex>

namespace vorlet::v2::test {

std::vector<MonitorEvent> recorded_events(Runtime* rt) {
  EventLog& log = *rt->event_log;
  std::lock_guard<std::mutex> hold(log.mutex);
  std::vector<MonitorEvent> out;
  for (uint64_t i = 0; i < log.count; ++i) {
    out.push_back(log.entries[(log.head + kEventLogEntries - log.count + i) % kEventLogEntries]);
  }
  return out;
}

uint64_t event_count(Runtime* rt) {
  EventLog& log = *rt->event_log;
  std::lock_guard<std::mutex> hold(log.mutex);
  return log.last_seq;
}

void set_state(Runtime* rt, RuntimeState state) {
  std::lock_guard<std::mutex> hold(rt->lock());
  rt->state = state;
}

}  // namespace vorlet::v2::test
