#include "runtime/route_table.h"

#include <cstddef>
#include <cstring>

#include "codec/alloc.h"
#include "codec/text.h"

namespace vorlet::v2 {

static_assert(sizeof(vorlet_v2_RouteSnapshotDesc) == 24);
static_assert(offsetof(vorlet_v2_RouteSnapshotDesc, generation) == 0);
static_assert(offsetof(vorlet_v2_RouteSnapshotDesc, routes) == 8);
static_assert(offsetof(vorlet_v2_RouteSnapshotDesc, route_count) == 16);
static_assert(sizeof(vorlet_v2_RouteDesc) == 48);
static_assert(offsetof(vorlet_v2_RouteDesc, target) == 0);
static_assert(offsetof(vorlet_v2_RouteDesc, strategy) == 8);
static_assert(offsetof(vorlet_v2_RouteDesc, route_key_hint) == 16);
static_assert(offsetof(vorlet_v2_RouteDesc, flags) == 24);
static_assert(offsetof(vorlet_v2_RouteDesc, endpoints) == 32);
static_assert(offsetof(vorlet_v2_RouteDesc, endpoint_count) == 40);
static_assert(sizeof(vorlet_v2_EndpointDesc) == 24);
static_assert(offsetof(vorlet_v2_EndpointDesc, host) == 0);
static_assert(offsetof(vorlet_v2_EndpointDesc, port) == 8);
static_assert(offsetof(vorlet_v2_EndpointDesc, weight) == 12);
static_assert(offsetof(vorlet_v2_EndpointDesc, flags) == 16);

namespace {

constexpr uint32_t kMaxStrategy = VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH;
constexpr uint32_t kValidRouteFlags = kRouteFlagPreferLocal;
constexpr uint32_t kValidEndpointFlags = kEndpointFlagLocal | kEndpointFlagUnavailable;

// A listener bound to one of these would take every interface, which is not
// what naming one endpoint's host means; only exact texts are refused.
bool is_wildcard_host(const char* host) noexcept {
  static const char* const kWildcards[] = {"0.0.0.0", "::", "[::]", "::0", "0:0:0:0:0:0:0:0"};
  for (const char* w : kWildcards) {
    if (std::strcmp(host, w) == 0) return true;
  }
  return false;
}

bool empty_text(const char* text) noexcept { return text == nullptr || text[0] == '\0'; }

Status build_endpoints(const RouteDesc& in, RouteRecord& out) noexcept {
  auto* endpoints = static_cast<EndpointDesc*>(rt_calloc(in.endpoint_count, sizeof(EndpointDesc)));
  if (endpoints == nullptr) return Status::nomem;
  out.endpoints = endpoints;
  out.endpoint_count = in.endpoint_count;
  for (uint64_t i = 0; i < in.endpoint_count; ++i) {
    const EndpointDesc& src = in.endpoints[i];
    if (src.flags > kValidEndpointFlags) return Status::invalid_arg;
    if (src.port == 0) return Status::invalid_arg;
    if (empty_text(src.host) || is_wildcard_host(src.host)) return Status::invalid_arg;
    endpoints[i].host = text_dup(src.host);
    if (endpoints[i].host == nullptr) return Status::nomem;
    endpoints[i].port = src.port;
    endpoints[i].weight = src.weight == 0 ? 1 : src.weight;
    endpoints[i].flags = src.flags;
  }
  return Status::ok;
}

// Fills `out` from `in`, checking the rules in their fixed order. `earlier`
// holds the routes already built, for the duplicate-target test. What was
// copied before a failure stays in `out` for route_table_free.
Status build_route(const RouteDesc& in, const RouteRecord* earlier, uint64_t earlier_count, RouteRecord& out) noexcept {
  if (empty_text(in.target)) return Status::invalid_arg;
  for (uint64_t j = 0; j < earlier_count; ++j) {
    if (std::strcmp(earlier[j].target, in.target) == 0) return Status::invalid_arg;
  }
  if (in.flags > kValidRouteFlags) return Status::invalid_arg;
  out.target = text_dup(in.target);
  if (out.target == nullptr) return Status::nomem;
  out.strategy = in.strategy;
  out.flags = in.flags;
  if (in.route_key_hint != nullptr) {
    out.route_key_hint = text_dup(in.route_key_hint);
    if (out.route_key_hint == nullptr) return Status::nomem;
  }
  if (in.strategy > kMaxStrategy) return Status::invalid_arg;
  if (in.strategy == VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH && empty_text(in.route_key_hint)) {
    return Status::invalid_arg;
  }
  if (in.endpoint_count == 0 || in.endpoints == nullptr) return Status::invalid_arg;
  const Status s = build_endpoints(in, out);
  if (s != Status::ok) return s;
  if (in.strategy == VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER && in.endpoint_count != 1) return Status::invalid_arg;
  return Status::ok;
}

}  // namespace

Status route_table_build(const RouteSnapshotDesc* snapshot, RouteRecord** out_table, uint64_t* out_count) noexcept {
  if (out_table == nullptr || out_count == nullptr) return Status::invalid_arg;
  *out_table = nullptr;
  *out_count = 0;
  if (snapshot == nullptr || snapshot->generation == 0) return Status::invalid_arg;
  if (snapshot->route_count == 0) return Status::ok;
  if (snapshot->routes == nullptr) return Status::invalid_arg;

  const uint64_t n = snapshot->route_count;
  auto* table = static_cast<RouteRecord*>(rt_calloc(n, sizeof(RouteRecord)));
  if (table == nullptr) return Status::nomem;
  for (uint64_t i = 0; i < n; ++i) {
    const Status s = build_route(snapshot->routes[i], table, i, table[i]);
    if (s != Status::ok) {
      route_table_free(table, n);
      return s;
    }
  }
  *out_table = table;
  *out_count = n;
  return Status::ok;
}

void route_table_free(RouteRecord* table, uint64_t count) noexcept {
  if (table == nullptr) return;
  for (uint64_t i = 0; i < count; ++i) {
    RouteRecord& r = table[i];
    rt_free(r.target);
    rt_free(r.route_key_hint);
    if (r.endpoints != nullptr) {
      for (uint64_t k = 0; k < r.endpoint_count; ++k) rt_free(const_cast<char*>(r.endpoints[k].host));
      rt_free(r.endpoints);
    }
  }
  rt_free(table);
}

Status route_table_local_listener(const RouteRecord* table, uint64_t count, char** out_host,
                                  uint16_t* out_port) noexcept {
  if (out_host == nullptr || out_port == nullptr) return Status::invalid_arg;
  *out_host = nullptr;
  *out_port = 0;
  if (table == nullptr) return Status::ok;

  const EndpointDesc* first = nullptr;
  bool hosts_differ = false;
  for (uint64_t i = 0; i < count; ++i) {
    const RouteRecord& r = table[i];
    for (uint64_t k = 0; k < r.endpoint_count; ++k) {
      const EndpointDesc& e = r.endpoints[k];
      if ((e.flags & kEndpointFlagLocal) == 0) continue;  // an unavailable local endpoint still counts
      if (first == nullptr) {
        first = &e;
      } else if (e.port != first->port) {
        return Status::ok;  // several ports: no listener
      } else if (std::strcmp(e.host, first->host) != 0) {
        hosts_differ = true;
      }
    }
  }
  if (first == nullptr) return Status::ok;
  if (hosts_differ) {
    *out_port = first->port;
    return Status::ok;
  }
  char* host = text_dup(first->host);
  if (host == nullptr) return Status::nomem;
  *out_host = host;
  *out_port = first->port;
  return Status::ok;
}

RouteRecord* route_table_find(RouteRecord* table, uint64_t count, const char* target) noexcept {
  if (table == nullptr || empty_text(target)) return nullptr;
  for (uint64_t i = 0; i < count; ++i) {
    if (std::strcmp(table[i].target, target) == 0) return &table[i];
  }
  return nullptr;
}

int route_has_available_endpoint(const RouteRecord* route) noexcept {
  if (route == nullptr || route->endpoints == nullptr) return 0;
  for (uint64_t k = 0; k < route->endpoint_count; ++k) {
    if ((route->endpoints[k].flags & kEndpointFlagUnavailable) == 0) return 1;
  }
  return 0;
}

uint64_t route_table_count_drained(const RouteRecord* table, uint64_t count) noexcept {
  if (table == nullptr) return 0;
  uint64_t drained = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (table[i].endpoint_count > 0 && route_has_available_endpoint(&table[i]) == 0) ++drained;
  }
  return drained;
}

int route_table_has_drained(const RouteRecord* table, uint64_t count) noexcept {
  return route_table_count_drained(table, count) > 0 ? 1 : 0;
}

}  // namespace vorlet::v2
