#include "runtime/route_table.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <string_view>

#include "base/alloc.h"
#include "base/text.h"

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

// One slot of the index: the route's position plus one (0: empty) and the
// high half of its target's hash, which turns most other targets away
// before their text is compared.
struct IndexSlot {
  uint32_t route_plus_one;
  uint32_t tag;
};

// The index of a table's targets: open addressing with linear probing over
// a power-of-two count of slots at least twice the routes, so that a search
// meets an empty slot soon. A table is one block: this head, the records
// (where the table's pointer points), then the slots.
struct alignas(16) TableHead {
  uint64_t slot_mask;
  IndexSlot* slots;
};
static_assert(sizeof(TableHead) % alignof(RouteRecord) == 0);
static_assert(alignof(IndexSlot) <= alignof(RouteRecord));

// A slot's index is 32 bits; a table that large could not be held anyway.
constexpr uint64_t kMaxRoutes = UINT32_MAX - 1;

TableHead* head_of(RouteRecord* table) noexcept {
  return reinterpret_cast<TableHead*>(reinterpret_cast<char*>(table) - sizeof(TableHead));
}

uint64_t slot_count_for(uint64_t routes) noexcept {
  uint64_t slots = 2;
  while (slots < 2 * routes) slots *= 2;
  return slots;
}

uint64_t target_hash(const char* target) noexcept { return std::hash<std::string_view>{}(std::string_view(target)); }

uint32_t tag_of(uint64_t hash) noexcept { return static_cast<uint32_t>(hash >> 32); }

// The slot holding `target` (whose hash is `hash`) among the routes indexed
// so far, or else the empty slot where it would go.
IndexSlot* probe(const TableHead& head, const RouteRecord* table, const char* target, uint64_t hash) noexcept {
  const uint32_t tag = tag_of(hash);
  for (uint64_t at = hash & head.slot_mask;; at = (at + 1) & head.slot_mask) {
    IndexSlot& slot = head.slots[at];
    if (slot.route_plus_one == 0) return &slot;
    if (slot.tag == tag && std::strcmp(table[slot.route_plus_one - 1].target, target) == 0) return &slot;
  }
}

// A table of n zeroed records, its index empty; NULL when it cannot be
// allocated.
RouteRecord* table_allocate(uint64_t n) noexcept {
  if (n > kMaxRoutes) return nullptr;
  const uint64_t slots = slot_count_for(n);
  const uint64_t records_end = sizeof(TableHead) + n * sizeof(RouteRecord);
  auto* block = static_cast<char*>(rt_calloc(1, records_end + slots * sizeof(IndexSlot)));
  if (block == nullptr) return nullptr;
  auto* head = reinterpret_cast<TableHead*>(block);
  head->slot_mask = slots - 1;
  head->slots = reinterpret_cast<IndexSlot*>(block + records_end);
  return reinterpret_cast<RouteRecord*>(block + sizeof(TableHead));
}

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

// Fills table[i] from `in` (whose target, when not empty, hashes to
// `hash`), checking the rules in their fixed order, and indexes it. The
// index holds the routes before it, for the duplicate-target test. What was
// copied before a failure stays in the record for route_table_free.
Status build_route(const RouteDesc& in, uint64_t hash, RouteRecord* table, uint64_t i) noexcept {
  RouteRecord& out = table[i];
  if (empty_text(in.target)) return Status::invalid_arg;
  IndexSlot* slot = probe(*head_of(table), table, in.target, hash);
  if (slot->route_plus_one != 0) return Status::invalid_arg;
  if (in.flags > kValidRouteFlags) return Status::invalid_arg;
  out.target = text_dup(in.target);
  if (out.target == nullptr) return Status::nomem;
  slot->route_plus_one = static_cast<uint32_t>(i + 1);
  slot->tag = tag_of(hash);
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

// How many routes ahead of the one being built the build hashes targets and
// asks for their index slots. Slots are met in random order, and once the
// index outgrows the processor's caches each probe would otherwise wait
// for memory; a few probes in flight at once hide most of that wait.
constexpr uint64_t kLookahead = 8;

// The hash of a route's target (0 for an empty one, which the build
// refuses before it looks at the hash), its slot asked into the cache.
uint64_t hash_ahead(const TableHead& head, const RouteDesc& route) noexcept {
  if (empty_text(route.target)) return 0;
  const uint64_t hash = target_hash(route.target);
  __builtin_prefetch(&head.slots[hash & head.slot_mask], 1);
  return hash;
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
  RouteRecord* table = table_allocate(n);
  if (table == nullptr) return Status::nomem;
  const TableHead& head = *head_of(table);
  uint64_t hashes[kLookahead];  // route i's at i % kLookahead
  for (uint64_t i = 0; i < n && i < kLookahead; ++i) hashes[i] = hash_ahead(head, snapshot->routes[i]);
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t hash = hashes[i % kLookahead];
    if (i + kLookahead < n) hashes[i % kLookahead] = hash_ahead(head, snapshot->routes[i + kLookahead]);
    const Status s = build_route(snapshot->routes[i], hash, table, i);
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
  rt_free(head_of(table));
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
  if (table == nullptr || count == 0 || empty_text(target)) return nullptr;
  const IndexSlot* slot = probe(*head_of(table), table, target, target_hash(target));
  // Only the first `count` routes are searched, as a scan of them would.
  if (slot->route_plus_one == 0 || slot->route_plus_one > count) return nullptr;
  return &table[slot->route_plus_one - 1];
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

uint64_t route_index_home_slot(uint64_t route_count, const char* target) noexcept {
  return target_hash(target) & (slot_count_for(route_count) - 1);
}

}  // namespace vorlet::v2
