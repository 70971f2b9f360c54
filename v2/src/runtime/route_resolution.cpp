#include "runtime/route_resolution.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "codec/codes.h"

namespace vorlet::v2 {
namespace {

constexpr uint64_t kHashSeed = 0x14650FB0739D0383ull;
constexpr uint64_t kHashPrime = 0x100000001B3ull;
constexpr uint64_t kHashFinish = 0x0CAEE32A7D4F6A63ull;

bool is_available(const EndpointDesc& e) noexcept { return (e.flags & kEndpointFlagUnavailable) == 0; }
bool is_local(const EndpointDesc& e) noexcept { return (e.flags & kEndpointFlagLocal) != 0; }
uint32_t weight_of(const EndpointDesc& e) noexcept { return e.weight == 0 ? 1 : e.weight; }

bool excluded_endpoint(const EndpointDesc& e, const EndpointKey* excluded, uint64_t count) noexcept {
  return endpoint_list_contains(excluded, count, e.host, e.port) != 0;
}

uint64_t hash_bytes(uint64_t h, const char* text) noexcept {
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) h = (h ^ *p) * kHashPrime;
  return h;
}

// The failure path: sets the kind, writes the text and hands back the status.
struct Failure {
  RouteFailureKind* kind_out;
  char* text;
  uint64_t text_cap;

  Status operator()(Status s, RouteFailureKind kind, const char* message) const noexcept {
    if (kind_out != nullptr) *kind_out = kind;
    if (message != nullptr) text_copy_bounded(text, text_cap, message);
    return s;
  }

  // "missing route key header '<hint>'", cut as one text would be.
  Status missing_key(const char* hint) const noexcept {
    if (kind_out != nullptr) *kind_out = RouteFailureKind::no_eligible_endpoint;
    if (text == nullptr || text_cap == 0) return Status::invalid_arg;
    const char* const parts[] = {"missing route key header '", hint != nullptr ? hint : "", "'"};
    uint64_t len = 0;
    for (const char* part : parts) {
      const uint64_t room = text_cap - 1 - len;
      const uint64_t n = std::strlen(part);
      const uint64_t kept = utf8_cut_length(part, n, room);
      std::memcpy(text + len, part, kept);
      len += kept;
      if (kept < n) break;  // cut here; nothing after the cut
    }
    text[len] = '\0';
    return Status::invalid_arg;
  }
};

}  // namespace

int endpoint_list_contains(const EndpointKey* list, uint64_t count, const char* host, uint16_t port) noexcept {
  if (list == nullptr || host == nullptr) return 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (list[i].port == port && list[i].host != nullptr && std::strcmp(list[i].host, host) == 0) return 1;
  }
  return 0;
}

const char* envelope_header_value(const EnvelopeRouting* view, const char* name) noexcept {
  if (view == nullptr || name == nullptr || name[0] == '\0' || view->headers == nullptr) return nullptr;
  for (uint64_t i = 0; i < view->header_count; ++i) {
    const HeaderEntry& h = view->headers[i];
    if (h.key != nullptr && std::strcmp(h.key, name) == 0) return h.value;
  }
  return nullptr;
}

double rendezvous_score(const char* key, const char* host, uint16_t port, uint32_t weight) noexcept {
  uint64_t h = hash_bytes(kHashSeed, key != nullptr ? key : "");
  h = (h ^ 0x7Cu) * kHashPrime;  // '|' between key and host
  h = hash_bytes(h, host != nullptr ? host : "");
  h = (h ^ (port & 0xFFu)) * kHashPrime;
  h ^= static_cast<uint64_t>(port >> 8);
  h *= kHashFinish;
  // The top 53 bits as a double in (0, 1]: never 0, so the log is finite.
  const double u = static_cast<double>((h >> 11) + 1) * 0x1.0p-53;
  return -std::log(u) / static_cast<double>(weight == 0 ? 1u : weight);
}

uint64_t route_pick_weighted_round_robin(RouteRecord* route, bool local_only, const EndpointKey* excluded,
                                         uint64_t excluded_count) noexcept {
  const uint64_t n = route->endpoint_count;
  auto eligible = [&](const EndpointDesc& e) {
    return is_available(e) && (!local_only || is_local(e)) && !excluded_endpoint(e, excluded, excluded_count);
  };
  uint64_t total = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (eligible(route->endpoints[i])) total += weight_of(route->endpoints[i]);
  }
  if (total == 0) return n;
  // Resolvers on other threads (the dispatcher, failover) pick from the same
  // route: each pick takes a counter value of its own.
  uint64_t pick = std::atomic_ref<uint64_t>(route->rr_counter).fetch_add(1, std::memory_order_relaxed) % total;
  for (uint64_t i = 0; i < n; ++i) {
    const EndpointDesc& e = route->endpoints[i];
    if (!eligible(e)) continue;
    if (pick < weight_of(e)) return i;
    pick -= weight_of(e);
  }
  return n;  // not reached: pick < total
}

uint64_t route_pick_rendezvous(const RouteRecord* route, const char* key, const EndpointKey* excluded,
                               uint64_t excluded_count) noexcept {
  const uint64_t n = route->endpoint_count;
  uint64_t best = n;
  double best_score = 0.0;
  for (uint64_t i = 0; i < n; ++i) {
    const EndpointDesc& e = route->endpoints[i];
    if (!is_available(e) || excluded_endpoint(e, excluded, excluded_count)) continue;
    const double score = rendezvous_score(key, e.host, e.port, e.weight);
    // Strictly lower only: on a tie the earlier endpoint stays chosen.
    if (best == n || score < best_score) {
      best = i;
      best_score = score;
    }
  }
  return best;
}

Status route_resolve_excluding(RouteRecord* route, const EnvelopeRouting* view, const EndpointKey* excluded,
                               uint64_t excluded_count, const EndpointDesc** out, RouteFailureKind* kind_out,
                               char* text, uint64_t text_cap) noexcept {
  if (route == nullptr || view == nullptr || out == nullptr) return Status::invalid_arg;
  *out = nullptr;
  if (kind_out != nullptr) *kind_out = RouteFailureKind::no_eligible_endpoint;
  const Failure fail{kind_out, text, text_cap};

  if (route->endpoint_count == 0 || route->endpoints == nullptr) {
    return fail(Status::bad_state, RouteFailureKind::no_eligible_endpoint, nullptr);
  }

  // Availability and locality over the whole route, exclusions aside.
  bool local_available = false;
  bool any_local = false;
  bool any_available = false;
  for (uint64_t i = 0; i < route->endpoint_count; ++i) {
    const EndpointDesc& e = route->endpoints[i];
    any_local = any_local || is_local(e);
    any_available = any_available || is_available(e);
    local_available = local_available || (is_local(e) && is_available(e));
  }
  if (!any_available) {
    return fail(Status::bad_state, RouteFailureKind::endpoint_unavailable, "all route endpoints are unavailable");
  }
  const uint32_t hint = view->delivery_hint;
  if (hint == wire(DeliveryHint::require_local) && !local_available) {
    if (any_local) {
      return fail(Status::bad_state, RouteFailureKind::endpoint_unavailable,
                  "local delivery required but local endpoints are unavailable");
    }
    return fail(Status::bad_state, RouteFailureKind::locality_mismatch,
                "local delivery required but route has no local endpoint");
  }

  uint64_t index = route->endpoint_count;
  switch (route->strategy) {
    case VORLET_V2_ROUTE_STRATEGY_UNSPECIFIED:
    case VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER: {
      // The owner and no other: a single-owner route never falls back.
      const EndpointDesc& owner = route->endpoints[0];
      if (!is_available(owner) || excluded_endpoint(owner, excluded, excluded_count)) {
        return fail(Status::bad_state, RouteFailureKind::endpoint_unavailable, "single-owner endpoint is unavailable");
      }
      index = 0;
      break;
    }
    case VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN: {
      const bool wants_local = hint == wire(DeliveryHint::prefer_local) || hint == wire(DeliveryHint::require_local) ||
                               (route->flags & kRouteFlagPreferLocal) != 0;
      index = route_pick_weighted_round_robin(route, wants_local && local_available, excluded, excluded_count);
      break;
    }
    case VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH: {
      const char* key = envelope_header_value(view, route->route_key_hint);
      if (key == nullptr || key[0] == '\0') return fail.missing_key(route->route_key_hint);
      index = route_pick_rendezvous(route, key, excluded, excluded_count);
      break;
    }
    default:
      return fail(Status::invalid_arg, RouteFailureKind::no_eligible_endpoint, "unsupported route strategy");
  }

  if (index >= route->endpoint_count) {
    return fail(Status::bad_state, RouteFailureKind::no_eligible_endpoint, "no eligible endpoint for route strategy");
  }
  const EndpointDesc& chosen = route->endpoints[index];
  if (hint == wire(DeliveryHint::require_local) && !is_local(chosen)) {
    return fail(Status::bad_state, RouteFailureKind::locality_mismatch,
                "local delivery required but route selected non-local endpoint");
  }
  *out = &chosen;
  return Status::ok;
}

Status route_resolve(RouteRecord* route, const EnvelopeRouting* view, const EndpointDesc** out,
                     RouteFailureKind* kind_out, char* text, uint64_t text_cap) noexcept {
  return route_resolve_excluding(route, view, nullptr, 0, out, kind_out, text, text_cap);
}

}  // namespace vorlet::v2
