#include "runtime/route_resolution.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/envelopes.h"

namespace vorlet::v2 {
namespace {

constexpr uint32_t L = kEndpointFlagLocal;
constexpr uint32_t U = kEndpointFlagUnavailable;

constexpr uint32_t kRouterDefault = 0;
constexpr uint32_t kPreferLocal = 2;
constexpr uint32_t kRequireLocal = 3;
constexpr uint32_t kRequireRemote = 4;

struct Ep {
  const char* host;
  uint16_t port;
  uint32_t weight;
  uint32_t flags;
};

// One route, built by the route table build as the runtime would hold it.
class OneRoute {
 public:
  OneRoute(uint32_t strategy, std::vector<Ep> endpoints, uint32_t flags = 0, const char* hint = nullptr) {
    for (const Ep& e : endpoints) endpoints_.push_back({e.host, e.port, e.weight, e.flags});
    const RouteDesc route{"target", strategy, hint, flags, endpoints_.data(), endpoints_.size()};
    const RouteSnapshotDesc snapshot{1, &route, 1};
    EXPECT_EQ(route_table_build(&snapshot, &table_, &count_), Status::ok);
  }
  ~OneRoute() { route_table_free(table_, count_); }
  OneRoute(const OneRoute&) = delete;
  OneRoute& operator=(const OneRoute&) = delete;

  RouteRecord* route() { return table_; }
  // The index of the resolved endpoint, or -1 on failure.
  int64_t index_of(const EndpointDesc* e) const { return e == nullptr ? -1 : e - table_->endpoints; }

 private:
  std::vector<EndpointDesc> endpoints_;
  RouteRecord* table_ = nullptr;
  uint64_t count_ = 0;
};

// What resolution reads of an envelope, filled by hand: only the hint and
// the headers matter. The view borrows the headers this object owns.
class Envelope {
 public:
  explicit Envelope(uint32_t hint = kRouterDefault, std::vector<std::pair<std::string, std::string>> headers = {})
      : headers_(std::move(headers)) {
    for (const auto& [k, v] : headers_) entries_.push_back({k.c_str(), v.c_str()});
    view_ = EnvelopeRouting{};
    view_.headers = entries_.empty() ? nullptr : entries_.data();
    view_.header_count = entries_.size();
    view_.delivery_hint = hint;
  }
  const EnvelopeRouting* get() const { return &view_; }

 private:
  std::vector<std::pair<std::string, std::string>> headers_;
  std::vector<HeaderEntry> entries_;
  EnvelopeRouting view_;
};

struct Outcome {
  Status status;
  int64_t index;
  RouteFailureKind kind;
  std::string text;
};

Outcome resolve(OneRoute& r, const Envelope& env, std::vector<EndpointKey> excluded = {}) {
  const EndpointDesc* chosen = reinterpret_cast<const EndpointDesc*>(0x1);
  RouteFailureKind kind = static_cast<RouteFailureKind>(99);
  char text[128];
  std::strcpy(text, "untouched");
  const Status s = route_resolve_excluding(r.route(), env.get(), excluded.empty() ? nullptr : excluded.data(),
                                           excluded.size(), &chosen, &kind, text, sizeof text);
  return {s, r.index_of(chosen), kind, text};
}

std::vector<int64_t> picks(OneRoute& r, const Envelope& env, int n, std::vector<EndpointKey> excluded = {}) {
  std::vector<int64_t> out;
  for (int i = 0; i < n; ++i) out.push_back(resolve(r, env, excluded).index);
  return out;
}

TEST(RendezvousScore, MatchesTheReferenceValues) {
  // -ln(0.1345411604) and -ln(0.9211359661).
  EXPECT_NEAR(rendezvous_score("abc", "10.0.0.1", 7000, 1), 2.005885, 1e-6);
  EXPECT_NEAR(rendezvous_score("abc", "10.0.0.2", 7000, 1), 0.082148, 1e-6);
  EXPECT_NEAR(rendezvous_score("abc", "10.0.0.1", 7000, 2), 1.002943, 1e-6);
  EXPECT_DOUBLE_EQ(rendezvous_score("abc", "10.0.0.1", 7000, 0), rendezvous_score("abc", "10.0.0.1", 7000, 1));
  // Both port bytes enter the hash.
  EXPECT_NE(rendezvous_score("abc", "10.0.0.1", 7000, 1), rendezvous_score("abc", "10.0.0.1", 7000 + 256, 1));
  EXPECT_NE(rendezvous_score("abc", "10.0.0.1", 7000, 1), rendezvous_score("abc", "10.0.0.1", 7001, 1));
  // The separator keeps key and host apart.
  EXPECT_NE(rendezvous_score("ab", "c10.0.0.1", 7000, 1), rendezvous_score("abc", "10.0.0.1", 7000, 1));
}

TEST(RouteResolveRendezvous, PicksTheLowestScoreAndKeepsKeysWhereTheyAre) {
  const Envelope abc(kRouterDefault, {{"other", "x"}, {"tenant", "abc"}});
  {
    OneRoute r(3, {{"10.0.0.1", 7000, 1, 0}, {"10.0.0.2", 7000, 1, 0}}, 0, "tenant");
    EXPECT_EQ(picks(r, abc, 3), (std::vector<int64_t>{1, 1, 1}));
    // Excluding the winner falls to the next-lowest score.
    EXPECT_EQ(resolve(r, abc, {{"10.0.0.2", 7000}}).index, 0);
    // An exclusion must match host and port.
    EXPECT_EQ(resolve(r, abc, {{"10.0.0.2", 7001}, {"10.0.0.20", 7000}}).index, 1);
    const Outcome none = resolve(r, abc, {{"10.0.0.1", 7000}, {"10.0.0.2", 7000}});
    EXPECT_EQ(none.status, Status::bad_state);
    EXPECT_EQ(none.kind, RouteFailureKind::no_eligible_endpoint);
    EXPECT_EQ(none.text, "no eligible endpoint for route strategy");
  }
  {
    OneRoute r(3, {{"10.0.0.1", 7000, 2, 0}, {"10.0.0.2", 7000, 1, 0}}, 0, "tenant");
    EXPECT_EQ(resolve(r, abc).index, 1);
  }
  {
    OneRoute r(3, {{"10.0.0.1", 7000, 1, 0}, {"10.0.0.2", 7000, 1, U}}, 0, "tenant");
    EXPECT_EQ(resolve(r, abc).index, 0);  // the winner is drained
  }
  {
    // Two copies of one endpoint score alike: the earlier one wins.
    OneRoute r(3, {{"10.0.0.2", 7000, 1, 0}, {"10.0.0.2", 7000, 1, 0}}, 0, "tenant");
    EXPECT_EQ(resolve(r, abc).index, 0);
  }
  {
    // Taking an endpoint out moves only the keys it held.
    OneRoute full(3, {{"a", 1, 1, 0}, {"b", 2, 1, 0}, {"c", 3, 1, 0}, {"d", 4, 1, 0}}, 0, "k");
    OneRoute less(3, {{"a", 1, 1, 0}, {"b", 2, 1, 0}, {"c", 3, 1, U}, {"d", 4, 1, 0}}, 0, "k");
    int moved = 0;
    for (int i = 0; i < 200; ++i) {
      const Envelope e(kRouterDefault, {{"k", "key-" + std::to_string(i)}});
      const int64_t before = resolve(full, e).index;
      const int64_t after = resolve(less, e).index;
      if (before != 2) {
        EXPECT_EQ(after, before) << i;
      } else {
        ++moved;
        EXPECT_NE(after, 2) << i;
      }
    }
    EXPECT_GT(moved, 0);
  }
}

TEST(RouteResolveRendezvous, MissingKeyHeaderIsAnInvalidEnvelope) {
  OneRoute r(3, {{"10.0.0.1", 7000, 1, 0}}, 0, "tenant");
  for (const Envelope& e : {Envelope(kRouterDefault, {{"other", "abc"}}), Envelope(kRouterDefault, {{"tenant", ""}}),
                            Envelope(kRouterDefault, {{"Tenant", "abc"}}), Envelope()}) {
    const Outcome o = resolve(r, e);
    EXPECT_EQ(o.status, Status::invalid_arg);
    EXPECT_EQ(o.index, -1);
    EXPECT_EQ(o.kind, RouteFailureKind::no_eligible_endpoint);
    EXPECT_EQ(o.text, "missing route key header 'tenant'");
  }

  // The formatted text is cut like any other, never inside a character.
  OneRoute wide(3, {{"10.0.0.1", 7000, 1, 0}}, 0, "t\xC3\xA9nant");
  const EndpointDesc* chosen = nullptr;
  char text[30];
  EXPECT_EQ(route_resolve(wide.route(), Envelope().get(), &chosen, nullptr, text, 29), Status::invalid_arg);
  EXPECT_STREQ(text, "missing route key header 't");  // the two bytes of é do not fit
  EXPECT_EQ(route_resolve(wide.route(), Envelope().get(), &chosen, nullptr, text, 30), Status::invalid_arg);
  EXPECT_STREQ(text, "missing route key header 't\xC3\xA9");
  EXPECT_EQ(route_resolve(wide.route(), Envelope().get(), &chosen, nullptr, text, 1), Status::invalid_arg);
  EXPECT_STREQ(text, "");
}

TEST(RouteResolveWeightedRoundRobin, TakesTurnsInProportionToWeights) {
  {
    OneRoute r(2, {{"a", 1, 3, 0}, {"b", 2, 1, 0}});
    EXPECT_EQ(picks(r, Envelope(), 9), (std::vector<int64_t>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(r.route()->rr_counter, 9u);
  }
  {
    // Weight 0 counts as 1.
    OneRoute r(2, {{"a", 1, 2, 0}, {"b", 2, 0, 0}, {"c", 3, 1, 0}});
    EXPECT_EQ(picks(r, Envelope(), 8), (std::vector<int64_t>{0, 0, 1, 2, 0, 0, 1, 2}));
  }
  {
    // Drained and excluded endpoints take no turns; the counter is the
    // route's, so the walk goes on from where it was.
    OneRoute r(2, {{"a", 1, 1, 0}, {"b", 2, 1, U}, {"c", 3, 2, 0}});
    EXPECT_EQ(picks(r, Envelope(), 6), (std::vector<int64_t>{0, 2, 2, 0, 2, 2}));
    EXPECT_EQ(picks(r, Envelope(), 2, {{"a", 1}}), (std::vector<int64_t>{2, 2}));
    EXPECT_EQ(r.route()->rr_counter, 8u);
  }
  {
    // The counter wraps modulo 2^64.
    OneRoute r(2, {{"a", 1, 1, 0}, {"b", 2, 2, 0}});
    r.route()->rr_counter = UINT64_MAX;  // 2^64 - 1 is 0 mod 3
    EXPECT_EQ(picks(r, Envelope(), 3), (std::vector<int64_t>{0, 0, 1}));
    EXPECT_EQ(r.route()->rr_counter, 2u);
  }
}

TEST(RouteResolveWeightedRoundRobin, LocalityNarrowsThePick) {
  const std::vector<Ep> mixed = {{"remote-a", 1, 1, 0}, {"local", 2, 1, L}, {"remote-b", 3, 1, 0}};
  struct Case {
    const char* what;
    uint32_t route_flags;
    std::vector<Ep> endpoints;
    uint32_t hint;
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      {"router default: everyone", 0, mixed, kRouterDefault, {0, 1, 2, 0}},
      {"hint prefer-local: local only", 0, mixed, kPreferLocal, {1, 1, 1}},
      {"hint require-local: local only", 0, mixed, kRequireLocal, {1, 1}},
      {"prefer_local flag: local only", kRouteFlagPreferLocal, mixed, kRouterDefault, {1, 1}},
      {"prefer_local flag with require-remote: still local only", kRouteFlagPreferLocal, mixed, kRequireRemote, {1, 1}},
      {"require-remote alone adds nothing", 0, mixed, kRequireRemote, {0, 1, 2}},
      {"prefer-local without an available local endpoint: everyone available",
       kRouteFlagPreferLocal,
       {{"remote-a", 1, 1, 0}, {"local", 2, 1, L | U}, {"remote-b", 3, 1, 0}},
       kPreferLocal,
       {0, 2, 0}},
  };
  for (const Case& c : cases) {
    OneRoute r(2, c.endpoints, c.route_flags);
    EXPECT_EQ(picks(r, Envelope(c.hint), static_cast<int>(c.expected.size())), c.expected) << c.what;
  }

  // Local-only with its one local endpoint excluded: nothing is eligible,
  // and the counter stays where it was.
  OneRoute r(2, mixed, kRouteFlagPreferLocal);
  const Outcome o = resolve(r, Envelope(), {{"local", 2}});
  EXPECT_EQ(o.status, Status::bad_state);
  EXPECT_EQ(o.kind, RouteFailureKind::no_eligible_endpoint);
  EXPECT_EQ(o.text, "no eligible endpoint for route strategy");
  EXPECT_EQ(r.route()->rr_counter, 0u);
}

TEST(RouteResolveSingleOwner, UsesTheFirstEndpointAndNoOther) {
  for (uint32_t strategy : {0u, 1u}) {
    OneRoute r(strategy,
               strategy == 0 ? std::vector<Ep>{{"a", 1, 1, 0}, {"b", 2, 1, 0}} : std::vector<Ep>{{"a", 1, 1, 0}});
    EXPECT_EQ(picks(r, Envelope(), 3), (std::vector<int64_t>{0, 0, 0})) << strategy;
    EXPECT_EQ(r.route()->rr_counter, 0u);
    const Outcome excluded = resolve(r, Envelope(), {{"a", 1}});
    EXPECT_EQ(excluded.status, Status::bad_state) << strategy;
    EXPECT_EQ(excluded.kind, RouteFailureKind::endpoint_unavailable) << strategy;
    EXPECT_EQ(excluded.text, "single-owner endpoint is unavailable") << strategy;
  }
  OneRoute r(0, {{"a", 1, 1, U}, {"b", 2, 1, 0}});
  const Outcome o = resolve(r, Envelope());
  EXPECT_EQ(o.status, Status::bad_state);
  EXPECT_EQ(o.kind, RouteFailureKind::endpoint_unavailable);
  EXPECT_EQ(o.text, "single-owner endpoint is unavailable");
}

struct FailureCase {
  const char* what;
  uint32_t strategy;
  std::vector<Ep> endpoints;
  uint32_t hint;
  Status status;
  RouteFailureKind kind;
  const char* text;
};

TEST(RouteResolve, RefusalsCarryTheirKindAndText) {
  using K = RouteFailureKind;
  const FailureCase cases[] = {
      {"every endpoint drained",
       2,
       {{"a", 1, 1, U}, {"b", 2, 1, L | U}},
       kRouterDefault,
       Status::bad_state,
       K::endpoint_unavailable,
       "all route endpoints are unavailable"},
      {"drained before require-local",
       0,
       {{"a", 1, 1, U}},
       kRequireLocal,
       Status::bad_state,
       K::endpoint_unavailable,
       "all route endpoints are unavailable"},
      {"require-local, local endpoint drained",
       2,
       {{"a", 1, 1, 0}, {"b", 2, 1, L | U}},
       kRequireLocal,
       Status::bad_state,
       K::endpoint_unavailable,
       "local delivery required but local endpoints are unavailable"},
      {"require-local, no local endpoint",
       2,
       {{"a", 1, 1, 0}, {"b", 2, 1, 0}},
       kRequireLocal,
       Status::bad_state,
       K::locality_mismatch,
       "local delivery required but route has no local endpoint"},
      {"require-local, owner not local",
       0,
       {{"a", 1, 1, 0}, {"b", 2, 1, L}},
       kRequireLocal,
       Status::bad_state,
       K::locality_mismatch,
       "local delivery required but route selected non-local endpoint"},
  };
  for (const FailureCase& c : cases) {
    OneRoute r(c.strategy, c.endpoints);
    const Outcome o = resolve(r, Envelope(c.hint));
    EXPECT_EQ(o.status, c.status) << c.what;
    EXPECT_EQ(o.index, -1) << c.what;
    EXPECT_EQ(o.kind, c.kind) << c.what;
    EXPECT_EQ(o.text, c.text) << c.what;
    EXPECT_EQ(r.route()->rr_counter, 0u) << c.what;
  }

  // Rendezvous ignores locality in the pick, so require-local can refuse
  // the winner: "abc" lands on 10.0.0.2.
  OneRoute rv(3, {{"10.0.0.1", 7000, 1, L}, {"10.0.0.2", 7000, 1, 0}}, 0, "tenant");
  const Outcome o = resolve(rv, Envelope(kRequireLocal, {{"tenant", "abc"}}));
  EXPECT_EQ(o.status, Status::bad_state);
  EXPECT_EQ(o.kind, K::locality_mismatch);
  EXPECT_EQ(o.text, "local delivery required but route selected non-local endpoint");
  EXPECT_EQ(resolve(rv, Envelope(kRouterDefault, {{"tenant", "abc"}})).index, 1);
}

TEST(RouteResolve, RecordsTheTableCannotHoldAndNullArguments) {
  EndpointDesc endpoint{"a", 1, 1, 0};
  char target[] = "t";
  const Envelope env;
  const EndpointDesc* chosen = nullptr;
  RouteFailureKind kind = static_cast<RouteFailureKind>(99);
  char text[64];

  // A strategy above 3 (the build refuses it; resolution must not trust that).
  RouteRecord unsupported{target, 7, nullptr, 0, &endpoint, 1, 0};
  EXPECT_EQ(route_resolve(&unsupported, env.get(), &chosen, &kind, text, sizeof text), Status::invalid_arg);
  EXPECT_EQ(kind, RouteFailureKind::no_eligible_endpoint);
  EXPECT_STREQ(text, "unsupported route strategy");

  // No endpoints: bad_state, kind 0, and no text.
  RouteRecord empty{target, 2, nullptr, 0, nullptr, 0, 0};
  std::strcpy(text, "untouched");
  kind = static_cast<RouteFailureKind>(99);
  EXPECT_EQ(route_resolve(&empty, env.get(), &chosen, &kind, text, sizeof text), Status::bad_state);
  EXPECT_EQ(kind, RouteFailureKind::no_eligible_endpoint);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(chosen, nullptr);

  // NULL route, envelope or out: nothing written.
  RouteRecord fine{target, 0, nullptr, 0, &endpoint, 1, 0};
  kind = static_cast<RouteFailureKind>(99);
  EXPECT_EQ(route_resolve(nullptr, env.get(), &chosen, &kind, text, sizeof text), Status::invalid_arg);
  EXPECT_EQ(route_resolve(&fine, nullptr, &chosen, &kind, text, sizeof text), Status::invalid_arg);
  EXPECT_EQ(route_resolve(&fine, env.get(), nullptr, &kind, text, sizeof text), Status::invalid_arg);
  EXPECT_EQ(static_cast<int32_t>(kind), 99);
  EXPECT_STREQ(text, "untouched");

  // Kind and text are optional.
  EXPECT_EQ(route_resolve(&fine, env.get(), &chosen, nullptr, nullptr, 0), Status::ok);
  EXPECT_EQ(chosen, &endpoint);
  endpoint.flags = U;
  EXPECT_EQ(route_resolve(&fine, env.get(), &chosen, nullptr, nullptr, 0), Status::bad_state);
  EXPECT_EQ(chosen, nullptr);
}

TEST(EnvelopeHeaderValue, FindsTheFirstExactKey) {
  const Envelope env(kRouterDefault, {{"tenant", "first"}, {"Tenant", "case"}, {"tenant", "second"}, {"empty", ""}});
  EXPECT_STREQ(envelope_header_value(env.get(), "tenant"), "first");
  EXPECT_STREQ(envelope_header_value(env.get(), "Tenant"), "case");
  EXPECT_STREQ(envelope_header_value(env.get(), "empty"), "");
  EXPECT_EQ(envelope_header_value(env.get(), "tenan"), nullptr);
  EXPECT_EQ(envelope_header_value(env.get(), ""), nullptr);
  EXPECT_EQ(envelope_header_value(env.get(), nullptr), nullptr);
  EXPECT_EQ(envelope_header_value(Envelope().get(), "tenant"), nullptr);
}

// The view a parse lends resolution copies nothing: its target, its headers
// and the value a rendezvous route hashes are the parse's own texts, and a
// hint changed on the view leaves the parse as it was.
TEST(EnvelopeRouting, BorrowsTheParsesTexts) {
  const std::string bytes =
      test::envelope({.message_id = "m-1", .target = "target", .headers = {{"tenant", "t1"}}}).SerializeAsString();
  ParsedEnvelope pe;
  ASSERT_EQ(parsed_envelope_parse(bytes.data(), bytes.size(), &pe, nullptr, 0), Status::ok);
  EnvelopeRouting view = envelope_routing(pe);
  EXPECT_EQ(view.target, pe.target);
  EXPECT_EQ(view.headers, pe.headers);
  EXPECT_EQ(view.header_count, 1u);
  EXPECT_EQ(envelope_header_value(&view, "tenant"), pe.headers[0].value);
  view.delivery_hint = kRequireRemote;
  EXPECT_EQ(pe.delivery_hint, kRouterDefault);

  OneRoute hashed(VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH, {{"h1", 1, 1, 0}, {"h2", 2, 1, 0}}, 0, "tenant");
  const EndpointDesc* chosen = nullptr;
  EXPECT_EQ(route_resolve(hashed.route(), &view, &chosen, nullptr, nullptr, 0), Status::ok);
  EXPECT_EQ(hashed.index_of(chosen), static_cast<int64_t>(route_pick_rendezvous(hashed.route(), "t1", nullptr, 0)));
}

TEST(EndpointListContains, NeedsHostAndPortToMatch) {
  const EndpointKey list[] = {{"10.0.0.1", 7000}, {nullptr, 7001}, {"Node", 7002}};
  EXPECT_EQ(endpoint_list_contains(list, 3, "10.0.0.1", 7000), 1);
  EXPECT_EQ(endpoint_list_contains(list, 3, "10.0.0.1", 7001), 0);
  EXPECT_EQ(endpoint_list_contains(list, 3, "10.0.0.10", 7000), 0);
  EXPECT_EQ(endpoint_list_contains(list, 3, "node", 7002), 0);
  EXPECT_EQ(endpoint_list_contains(list, 3, "Node", 7002), 1);
  EXPECT_EQ(endpoint_list_contains(list, 1, "Node", 7002), 0);   // beyond the count
  EXPECT_EQ(endpoint_list_contains(list, 3, nullptr, 7001), 0);  // NULL hosts never match
  EXPECT_EQ(endpoint_list_contains(nullptr, 0, "10.0.0.1", 7000), 0);
}

}  // namespace
}  // namespace vorlet::v2
