#include "support/runtime_probe.h"

#include <mutex>

namespace vorlet::v2::test {

std::vector<MonitorEvent> recorded_events(Runtime* rt) {
  EventLog& log = *rt->event_log;
  MutexLock hold(&log.mutex);
  std::vector<MonitorEvent> out;
  for (uint64_t i = 0; i < log.count; ++i) {
    out.push_back(log.entries[(log.head + kEventLogEntries - log.count + i) % kEventLogEntries]);
  }
  return out;
}

uint64_t event_count(Runtime* rt) {
  EventLog& log = *rt->event_log;
  MutexLock hold(&log.mutex);
  return log.last_seq;
}

ActiveTable active_table(Runtime* rt) {
  ActiveTable t;
  const RouteTableRefPtr ref = rt->routes.acquire();
  t.present = rt->routes.present();
  if (!ref) return t;
  t.ref = ref.get();
  t.routes = ref->table;
  t.route_count = ref->count;
  t.generation = ref->generation;
  t.listen_host = ref->listen_host;
  t.listen_port = ref->listen_port;
  t.refs = ref->refs.load() - 1;
  return t;
}

void publish_empty_table(Runtime* rt, uint64_t generation) {
  MutexLock hold(&rt->runtime_lock);
  ListenHostTexts::node_type no_host;
  (void)rt->routes.publish(RouteTableRefPtr(route_table_ref_adopt(nullptr, 0, generation)), &no_host);
}

size_t kept_listen_hosts(Runtime* rt) {
  return rt->routes.kept_listen_hosts();
}

void set_state(Runtime* rt, RuntimeState state) {
  MutexLock hold(&rt->runtime_lock);
  rt->state = state;
}

}  // namespace vorlet::v2::test
