#include "runtime/control_apply.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/util/json_util.h>

#include "runtime/lifecycle.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "support/runtime_probe.h"
#include "vorlet/v2/control.pb.h"

namespace vorlet::v2 {
namespace {

namespace ctl = vorlet::v2::control;
using test::EndpointSpec;
using test::FlatSnapshot;
using test::TestRuntime;

constexpr uint64_t kRejected = static_cast<uint64_t>(MonitorEventKind::control_rejected);
constexpr uint64_t kApplied = static_cast<uint64_t>(MonitorEventKind::control_applied);

OverloadPolicyDesc policy(uint64_t size, uint64_t reserve, uint32_t ingress, uint32_t local, uint32_t remote) {
  OverloadPolicyDesc p{};
  p.struct_size = size;
  p.remote_outbound_reply_reserve_slots = reserve;
  p.ingress_mode = ingress;
  p.local_delivery_mode = local;
  p.remote_outbound_mode = remote;
  return p;
}

// The active policy as one text, so that a case shows what differs.
std::string active_policy(const Runtime* rt) {
  return std::to_string(rt->ingress_mode.load()) + "," + std::to_string(rt->local_delivery_mode.load()) + "," +
         std::to_string(rt->remote_outbound_mode.load()) + " reserve " + std::to_string(rt->reply_reserve_slots.load());
}

std::string configured_policy(const Runtime* rt) {
  return std::to_string(rt->configured_ingress_mode) + "," + std::to_string(rt->configured_local_delivery_mode) + "," +
         std::to_string(rt->configured_remote_outbound_mode) + " reserve " +
         std::to_string(rt->configured_reply_reserve_slots);
}

// Two routes, neither local.
void add_two_routes(FlatSnapshot* s) {
  s->route("orders", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN, {{"10.0.0.1", 7000}, {"10.0.0.2", 7000}});
  s->route("audit", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.3", 7001}});
}

std::string envelope_bytes(uint64_t generation, ctl::ConfigFormat format, const ctl::RouteSnapshotPayload& payload,
                           ctl::ControlKind kind = ctl::CONTROL_KIND_APPLY_SNAPSHOT) {
  ctl::ControlEnvelope env;
  env.set_generation(generation);
  env.set_kind(kind);
  env.set_payload_format(format);
  env.set_payload_type(ctl::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
  if (format == ctl::CONFIG_FORMAT_JSON) {
    std::string json;
    EXPECT_TRUE(google::protobuf::util::MessageToJsonString(payload, &json).ok());
    env.set_payload(json);
  } else {
    env.set_payload(payload.SerializeAsString());
  }
  return env.SerializeAsString();
}

ctl::RouteSnapshotPayload one_route_payload(uint64_t generation) {
  ctl::RouteSnapshotPayload p;
  p.set_generation(generation);
  ctl::Route* r = p.add_routes();
  r->set_target("svc.remote");
  r->set_strategy(ctl::ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER);
  ctl::Endpoint* e = r->add_endpoints();
  e->set_host("10.1.0.1");
  e->set_port(7100);
  return p;
}

TEST(ControlApply, GenerationsOnlyGrowAndEachOutcomeIsCountedWithOneEvent) {
  TestRuntime fx;
  ASSERT_NE(fx.rt, nullptr);
  struct Step {
    uint64_t generation;
    Status expected;
    uint64_t value1;  // of the one event
    uint64_t value2;
  };
  const Step steps[] = {
      {5, Status::ok, 0, 2},
      {5, Status::stale_generation, 0xFFFFFFFFFFFFFFFCull, 0},
      {4, Status::stale_generation, 0xFFFFFFFFFFFFFFFCull, 0},
      {6, Status::ok, 0, 2},
  };
  uint64_t rejects = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.generation);
    const size_t events_before = fx.events().size();
    FlatSnapshot s(step.generation);
    add_two_routes(&s);
    const RouteRecord* table_before = test::active_table(fx.rt).routes;
    EXPECT_EQ(fx.apply(s), step.expected);
    const std::vector<MonitorEvent> events = fx.events();
    ASSERT_EQ(events.size(), events_before + 1);
    const MonitorEvent& ev = events.back();
    EXPECT_EQ(ev.kind, step.expected == Status::ok ? kApplied : kRejected);
    EXPECT_EQ(ev.detail, 0u);
    EXPECT_EQ(ev.value1, step.value1);
    EXPECT_EQ(ev.value2, step.value2);
    if (step.expected == Status::ok) {
      EXPECT_EQ(ev.generation, step.generation);  // stamped with the new generation
      EXPECT_NE(test::active_table(fx.rt).routes, table_before);
    } else {
      ++rejects;
      EXPECT_EQ(test::active_table(fx.rt).routes, table_before);
    }
    EXPECT_EQ(fx.counter(Counter::control_rejects), rejects);
    EXPECT_EQ(fx.counter(Counter::control_rejects_stale), rejects);
  }
  EXPECT_EQ(fx.rt->routes.generation(), 6u);
  EXPECT_EQ(fx.counter(Counter::event_generation), 6u);
  EXPECT_EQ(test::active_table(fx.rt).route_count, 2u);
  ASSERT_NE(route_table_find(test::active_table(fx.rt).routes, test::active_table(fx.rt).route_count, "audit"), nullptr);

  // An empty snapshot commits too and empties the table.
  FlatSnapshot empty(7);
  EXPECT_EQ(fx.apply(empty), Status::ok);
  EXPECT_EQ(test::active_table(fx.rt).route_count, 0u);
  EXPECT_EQ(fx.events().back().value2, 0u);
}

TEST(ControlApply, EveryRejectionIsCountedByItsStatusAndChangesNothing) {
  struct Case {
    const char* what;
    std::function<Status(Runtime*)> apply;
    Status expected;
    Counter counter;  // besides control_rejects
  };
  const uint64_t q = 64;  // the queue capacity of the runtime below
  const Case cases[] = {
      {"NULL snapshot", [](Runtime* rt) { return control_apply_snapshot(rt, nullptr, nullptr); },
       Status::invalid_arg, Counter::control_rejects_invalid},
      {"generation 0, which is not above the active one",
       [](Runtime* rt) {
         FlatSnapshot s(0);
         return control_apply_snapshot(rt, s.desc(), nullptr);
       },
       Status::stale_generation, Counter::control_rejects_stale},
      {"a route the build refuses",
       [](Runtime* rt) {
         FlatSnapshot s(9);
         s.route("bad", 4, {{"10.0.0.1", 7000}});
         return control_apply_snapshot(rt, s.desc(), nullptr);
       },
       Status::invalid_arg, Counter::control_rejects_invalid},
      {"a policy with ingress mode 1",
       [](Runtime* rt) {
         FlatSnapshot s(9);
         const OverloadPolicyDesc p = policy(32, 0, 1, 0, 0);
         return control_apply_snapshot(rt, s.desc(), &p);
       },
       Status::invalid_arg, Counter::control_rejects_invalid},
      {"a reserve above the queue capacity",
       [](Runtime* rt) {
         FlatSnapshot s(9);
         const OverloadPolicyDesc p = policy(32, q + 1, 0, 0, 0);
         return control_apply_snapshot(rt, s.desc(), &p);
       },
       Status::invalid_arg, Counter::control_rejects_invalid},
      {"a stale generation",
       [](Runtime* rt) {
         FlatSnapshot s(3);
         return control_apply_snapshot(rt, s.desc(), nullptr);
       },
       Status::stale_generation, Counter::control_rejects_stale},
      {"an envelope of length 0",
       [](Runtime* rt) { return control_apply_envelope(rt, "x", 0); }, Status::invalid_arg,
       Counter::control_rejects_invalid},
      {"NULL envelope bytes", [](Runtime* rt) { return control_apply_envelope(rt, nullptr, 4); },
       Status::invalid_arg, Counter::control_rejects_invalid},
      {"bytes that do not decode",
       [](Runtime* rt) { return control_apply_envelope(rt, "\xFF\xFF\xFF", 3); }, Status::io,
       Counter::control_rejects_io},
      {"an acknowledgement envelope",
       [](Runtime* rt) {
         const std::string b =
             envelope_bytes(9, ctl::CONFIG_FORMAT_PROTOBUF, one_route_payload(9), ctl::CONTROL_KIND_ACK);
         return control_apply_envelope(rt, b.data(), b.size());
       },
       Status::invalid_arg, Counter::control_rejects_invalid},
      {"an endpoint port above 65535 (7000 in its low bits)",
       [](Runtime* rt) {
         ctl::RouteSnapshotPayload p = one_route_payload(9);
         p.mutable_routes(0)->mutable_endpoints(0)->set_port(72536);
         const std::string b = envelope_bytes(9, ctl::CONFIG_FORMAT_PROTOBUF, p);
         return control_apply_envelope(rt, b.data(), b.size());
       },
       Status::invalid_arg, Counter::control_rejects_invalid},
      {"a JSON strategy that names no value",
       [](Runtime* rt) {
         ctl::ControlEnvelope env;
         env.set_generation(9);
         env.set_kind(ctl::CONTROL_KIND_APPLY_SNAPSHOT);
         env.set_payload_format(ctl::CONFIG_FORMAT_JSON);
         env.set_payload_type(ctl::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
         env.set_payload(R"({"generation": 9, "routes": [{"target": "svc", "strategy": "rendezvous_hash",
             "routeKeyHint": "tenant", "endpoints": [{"host": "10.1.0.1", "port": 7100}]}]})");
         const std::string b = env.SerializeAsString();
         return control_apply_envelope(rt, b.data(), b.size());
       },
       Status::io, Counter::control_rejects_io},
      {"an envelope with a stale generation",
       [](Runtime* rt) {
         const std::string b = envelope_bytes(2, ctl::CONFIG_FORMAT_JSON, one_route_payload(2));
         return control_apply_envelope(rt, b.data(), b.size());
       },
       Status::stale_generation, Counter::control_rejects_stale},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestRuntime fx(static_cast<int32_t>(q));
    FlatSnapshot s(3);
    add_two_routes(&s);
    const OverloadPolicyDesc p = policy(32, 5, 0, 0, 2);
    ASSERT_EQ(control_apply_snapshot(fx.rt, s.desc(), &p), Status::ok);
    const RouteRecord* table = test::active_table(fx.rt).routes;
    const size_t events_before = fx.events().size();

    EXPECT_EQ(c.apply(fx.rt), c.expected);
    EXPECT_EQ(fx.counter(Counter::control_rejects), 1u);
    for (Counter each : {Counter::control_rejects_invalid, Counter::control_rejects_stale,
                         Counter::control_rejects_bad_state, Counter::control_rejects_io}) {
      EXPECT_EQ(fx.counter(each), each == c.counter ? 1u : 0u) << static_cast<int>(each);
    }
    const std::vector<MonitorEvent> events = fx.events();
    ASSERT_EQ(events.size(), events_before + 1);
    EXPECT_EQ(events.back().kind, kRejected);
    EXPECT_EQ(events.back().value1, static_cast<uint64_t>(static_cast<int64_t>(to_c(c.expected))));
    EXPECT_EQ(events.back().value2, 0u);
    EXPECT_EQ(test::active_table(fx.rt).routes, table);
    EXPECT_EQ(test::active_table(fx.rt).route_count, 2u);
    EXPECT_EQ(fx.rt->routes.generation(), 3u);
    EXPECT_EQ(active_policy(fx.rt), "0,0,2 reserve 5");
  }
  // A NULL runtime is refused and has nothing to count on.
  EXPECT_EQ(control_apply_snapshot(nullptr, nullptr, nullptr), Status::invalid_arg);
  EXPECT_EQ(control_apply_envelope(nullptr, "x", 1), Status::invalid_arg);
}

TEST(ControlApply, ControlEnvelopesInEitherFormatCommitTheirSnapshotAndPolicy) {
  TestRuntime fx;
  ctl::RouteSnapshotPayload payload = one_route_payload(4);
  std::string b = envelope_bytes(4, ctl::CONFIG_FORMAT_PROTOBUF, payload);
  ASSERT_EQ(control_apply_envelope(fx.rt, b.data(), b.size()), Status::ok);
  EXPECT_EQ(fx.rt->routes.generation(), 4u);
  EXPECT_NE(route_table_find(test::active_table(fx.rt).routes, test::active_table(fx.rt).route_count, "svc.remote"), nullptr);

  payload = one_route_payload(5);
  payload.mutable_overload_policy()->set_remote_outbound_mode(ctl::OVERLOAD_MODE_DROP_EXPIRED_FIRST);
  payload.mutable_overload_policy()->set_remote_outbound_reply_reserve_slots(12);
  b = envelope_bytes(5, ctl::CONFIG_FORMAT_JSON, payload);
  ASSERT_EQ(control_apply_envelope(fx.rt, b.data(), b.size()), Status::ok);
  EXPECT_EQ(fx.rt->routes.generation(), 5u);
  EXPECT_EQ(active_policy(fx.rt), "0,0,1 reserve 12");
  EXPECT_EQ(configured_policy(fx.rt), "0,0,0 reserve 0");
  EXPECT_EQ(fx.counter(Counter::control_rejects), 0u);
}

TEST(OverloadPolicy, ResolutionTable) {
  struct Case {
    const char* what;
    OverloadPolicyDesc policy;
    Status expected;
    const char* active;  // after an accepted apply of the configured policy
  };
  constexpr uint64_t kQ = 4096;  // capacity of a runtime made with hint 0
  const Case cases[] = {
      {"size 16 sets only the reserve", policy(16, 7, 1, 2, 3), Status::ok, "0,0,0 reserve 7"},
      {"size 0 means the whole record", policy(0, 3, 0, 0, 1), Status::ok, "0,0,1 reserve 3"},
      {"a size above 32 means 32", policy(1000, 3, 0, 0, 2), Status::ok, "0,0,2 reserve 3"},
      {"size 20 reads the ingress mode", policy(20, 0, 1, 0, 0), Status::invalid_arg, nullptr},
      {"ingress mode 1", policy(32, 0, 1, 0, 0), Status::invalid_arg, nullptr},
      {"local delivery mode 2", policy(32, 0, 0, 2, 0), Status::invalid_arg, nullptr},
      {"remote outbound mode 2", policy(32, 0, 0, 0, 2), Status::ok, "0,0,2 reserve 0"},
      {"remote outbound mode 3", policy(32, 0, 0, 0, 3), Status::invalid_arg, nullptr},
      {"a reserve of the whole queue", policy(32, kQ, 0, 0, 0), Status::ok, "0,0,0 reserve 4096"},
      {"a reserve above the queue", policy(32, kQ + 1, 0, 0, 0), Status::invalid_arg, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestRuntime fx;
    EXPECT_EQ(control_apply_overload_policy(fx.rt, &c.policy), c.expected);
    if (c.expected == Status::ok) {
      EXPECT_EQ(active_policy(fx.rt), c.active);
      EXPECT_EQ(configured_policy(fx.rt), c.active);
    } else {
      EXPECT_EQ(active_policy(fx.rt), "0,0,0 reserve 0");
      EXPECT_EQ(configured_policy(fx.rt), "0,0,0 reserve 0");
    }
    // The same policy with a snapshot: what it leaves out comes from the
    // configured policy.
    TestRuntime other;
    const OverloadPolicyDesc configured = policy(32, 9, 0, 0, 1);
    ASSERT_EQ(control_apply_overload_policy(other.rt, &configured), Status::ok);
    FlatSnapshot s(1);
    EXPECT_EQ(control_apply_snapshot(other.rt, s.desc(), &c.policy), c.expected);
    if (c.policy.struct_size == 16) {
      EXPECT_EQ(active_policy(other.rt), "0,0,1 reserve 7");
    }
    EXPECT_EQ(configured_policy(other.rt), "0,0,1 reserve 9");
    EXPECT_EQ(other.counter(Counter::control_rejects), c.expected == Status::ok ? 0u : 1u);
  }
  TestRuntime fx;
  const OverloadPolicyDesc p = policy(32, 0, 0, 0, 0);
  EXPECT_EQ(control_apply_overload_policy(nullptr, &p), Status::invalid_arg);
  EXPECT_EQ(control_apply_overload_policy(fx.rt, nullptr), Status::invalid_arg);
  OverloadModes out{};
  EXPECT_EQ(overload_policy_resolve(&p, OverloadModes{}, nullptr), Status::invalid_arg);
  EXPECT_EQ(overload_policy_resolve(nullptr, OverloadModes{0, 0, 2, 5}, &out), Status::ok);
  EXPECT_EQ(out.remote_outbound_mode, 2u);
  EXPECT_EQ(out.reply_reserve_slots, 5u);
}

TEST(OverloadPolicy, ASnapshotWithoutAPolicyMakesTheConfiguredOneActiveAgain) {
  TestRuntime fx;
  const OverloadPolicyDesc configured = policy(32, 4, 0, 0, 1);
  ASSERT_EQ(control_apply_overload_policy(fx.rt, &configured), Status::ok);
  FlatSnapshot s(1);
  const OverloadPolicyDesc own = policy(32, 8, 0, 0, 2);
  ASSERT_EQ(control_apply_snapshot(fx.rt, s.desc(), &own), Status::ok);
  EXPECT_EQ(active_policy(fx.rt), "0,0,2 reserve 8");
  ASSERT_EQ(control_apply_snapshot(fx.rt, s.generation(2).desc(), nullptr), Status::ok);
  EXPECT_EQ(active_policy(fx.rt), "0,0,1 reserve 4");

  // An envelope whose payload carries a policy with every field at its
  // default makes every mode reject and the reserve 0.
  ctl::RouteSnapshotPayload payload = one_route_payload(3);
  payload.mutable_overload_policy();
  const std::string b = envelope_bytes(3, ctl::CONFIG_FORMAT_PROTOBUF, payload);
  ASSERT_EQ(control_apply_envelope(fx.rt, b.data(), b.size()), Status::ok);
  EXPECT_EQ(active_policy(fx.rt), "0,0,0 reserve 0");
  EXPECT_EQ(configured_policy(fx.rt), "0,0,1 reserve 4");
}

TEST(ControlApply, AfterStartTheListenPortCannotMoveWhileTheAdapterRuns) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  const uint16_t port = fx.listen_port();
  const uint16_t other = static_cast<uint16_t>(port == 65535 ? port - 1 : port + 1);
  ASSERT_FALSE(tcp_adapter_is_stopped(fx.rt->tcp_adapter));
  const OverloadPolicyDesc p = policy(32, 0, 0, 0, 0);
  EXPECT_EQ(control_apply_overload_policy(fx.rt, &p), Status::bad_state);
  EXPECT_EQ(fx.counter(Counter::control_rejects), 0u);  // the policy call counts nothing

  struct Step {
    const char* what;
    std::vector<EndpointSpec> local;  // the local endpoints of the snapshot
    Status expected;
    uint16_t recorded_port;
  };
  const Step steps[] = {
      {"another port", {{"127.0.0.1", other, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}}, Status::bad_state, port},
      {"the same port", {{"127.0.0.1", port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}}, Status::ok, port},
      {"the same port on another host", {{"127.0.0.2", port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}}, Status::ok, port},
      {"no local endpoint", {}, Status::ok, 0},
      {"the first port again", {{"127.0.0.1", port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}}, Status::bad_state, 0},
  };
  uint64_t generation = 1;
  uint64_t refused = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    FlatSnapshot s(++generation);
    s.route("remote", VORLET_V2_ROUTE_STRATEGY_UNSPECIFIED, {{"10.0.0.9", 7000}});
    if (!step.local.empty()) s.route("mine", VORLET_V2_ROUTE_STRATEGY_UNSPECIFIED, step.local);
    EXPECT_EQ(fx.apply(s), step.expected);
    if (step.expected != Status::ok) ++refused;
    EXPECT_EQ(fx.counter(Counter::control_rejects_bad_state), refused);
    EXPECT_EQ(test::active_table(fx.rt).listen_port, step.recorded_port);
  }
  EXPECT_EQ(test::active_table(fx.rt).listen_host, nullptr);

  ASSERT_EQ(fx.stop(), Status::ok);
  FlatSnapshot late(100);
  EXPECT_EQ(fx.apply(late), Status::bad_state);
  const std::string parses = envelope_bytes(101, ctl::CONFIG_FORMAT_PROTOBUF, one_route_payload(101));
  EXPECT_EQ(control_apply_envelope(fx.rt, parses.data(), parses.size()), Status::bad_state);
  // The parse comes first: undecodable bytes are io even when stopped.
  EXPECT_EQ(control_apply_envelope(fx.rt, "\xFF\xFF", 2), Status::io);
  EXPECT_EQ(fx.counter(Counter::control_rejects_bad_state), refused + 2);
  EXPECT_EQ(fx.counter(Counter::control_rejects_io), 1u);
  EXPECT_EQ(fx.rt->routes.generation(), generation - 1);
}

// A listen host handed out stays readable after later commits replace it;
// each distinct text is kept once.
TEST(ControlApply, ReplacedListenHostsStayValidUntilDestroy) {
  TestRuntime fx;
  auto apply_local = [&](uint64_t generation, const char* host) {
    FlatSnapshot s(generation);
    if (host != nullptr) s.route("mine", VORLET_V2_ROUTE_STRATEGY_UNSPECIFIED, {{host, 7000, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}});
    EXPECT_EQ(fx.apply(s), Status::ok);
    return test::active_table(fx.rt).listen_host;
  };
  const char* first = apply_local(1, "10.0.0.1");
  const char* second = apply_local(2, "10.0.0.2");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(apply_local(3, nullptr), nullptr);
  EXPECT_EQ(apply_local(4, "10.0.0.1"), first);
  for (uint64_t g = 5; g < 25; ++g) apply_local(g, g % 2 == 0 ? "10.0.0.2" : "10.0.0.1");
  EXPECT_STREQ(first, "10.0.0.1");
  EXPECT_STREQ(second, "10.0.0.2");
  const size_t kept = test::kept_listen_hosts(fx.rt);
  EXPECT_EQ(kept, 2u);
}

// A commit finds its listen host among those kept without going through
// them all: with 50,000 distinct hosts kept an apply costs what it does
// with a few. The batches of the two runtimes alternate, so that a load
// that comes and goes slows both alike. The listen host get_config handed
// out at the start is still readable at the end, and the same text applied
// again is the same pointer.
TEST(ControlApply, AppliesStayAsFastAfterManyDistinctListenHosts) {
  constexpr uint64_t kHosts = 50000;
  constexpr uint64_t kBatch = 500;
  constexpr int kBatches = 5;
  // A runtime with its own run of host texts, none applied twice.
  struct Applier {
    explicit Applier(int first_octet) : octet(std::to_string(first_octet) + ".") {}
    std::string host(uint64_t n) const {
      return octet + std::to_string(n >> 16 & 255) + "." + std::to_string(n >> 8 & 255) + "." +
             std::to_string(n & 255);
    }
    Status apply(const std::string& host) {
      const EndpointDesc endpoint{host.c_str(), 7000, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL};
      const RouteDesc route{"mine", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoint, 1};
      const RouteSnapshotDesc snapshot{++generation, &route, 1};
      return control_apply_snapshot(runtime.rt, &snapshot, nullptr);
    }
    Status apply_next() { return apply(host(next++)); }
    double batch_us() {
      std::vector<std::string> hosts;
      for (uint64_t i = 0; i < kBatch; ++i) hosts.push_back(host(next++));
      const auto start = std::chrono::steady_clock::now();
      for (const std::string& h : hosts) EXPECT_EQ(apply(h), Status::ok);
      return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    }
    size_t kept() const { return test::kept_listen_hosts(runtime.rt); }
    test::TestRuntime runtime;
    const std::string octet;
    uint64_t generation = 0;
    uint64_t next = 0;
  };
  Applier few(11);
  Applier many(10);

  ASSERT_EQ(many.apply_next(), Status::ok);
  vorlet_v2_RuntimeConfig config{};
  config.struct_size = sizeof config;
  ASSERT_EQ(vorlet_v2_runtime_get_config(many.runtime.handle(), &config), VORLET_V2_OK);
  const char* first = config.local_listen_host;
  ASSERT_STREQ(first, many.host(0).c_str());
  while (many.next < kHosts) ASSERT_EQ(many.apply_next(), Status::ok);

  // The quickest of a few batches on each.
  double with_few = 0, with_many = 0;
  for (int b = 0; b < kBatches; ++b) {
    const double f = few.batch_us();
    const double m = many.batch_us();
    if (b == 0 || f < with_few) with_few = f;
    if (b == 0 || m < with_many) with_many = m;
  }
  std::printf("control apply: %llu applies in %.0f us with up to %zu hosts kept, in %.0f us with %zu kept\n",
              static_cast<unsigned long long>(kBatch), with_few, few.kept(), with_many, many.kept());
  EXPECT_LT(with_many, 3 * with_few);
  EXPECT_EQ(many.kept(), many.next);

  EXPECT_STREQ(first, many.host(0).c_str());
  ASSERT_EQ(many.apply(many.host(0)), Status::ok);
  ASSERT_EQ(vorlet_v2_runtime_get_config(many.runtime.handle(), &config), VORLET_V2_OK);
  EXPECT_EQ(config.local_listen_host, first);
  EXPECT_EQ(many.kept(), many.next);
}

TEST(ControlApply, ConcurrentAppliesCommitOnlyGrowingGenerations) {
  constexpr int kThreads = 4;
  constexpr uint64_t kEach = 60;
  TestRuntime fx;
  std::atomic<uint64_t> applied{0}, stale{0}, other{0};
  std::vector<std::thread> appliers;
  for (int t = 0; t < kThreads; ++t) {
    appliers.emplace_back([&, t] {
      for (uint64_t i = 0; i < kEach; ++i) {
        FlatSnapshot s(1 + i * kThreads + static_cast<uint64_t>(t));
        add_two_routes(&s);
        const Status st = fx.apply(s);
        (st == Status::ok ? applied : st == Status::stale_generation ? stale : other).fetch_add(1);
      }
    });
  }
  // A reader resolving under the lock sees either table whole.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      MutexLock hold(&fx.rt->runtime_lock);
      if (test::active_table(fx.rt).routes != nullptr) {
        EXPECT_NE(route_table_find(test::active_table(fx.rt).routes, test::active_table(fx.rt).route_count, "audit"), nullptr);
      }
    }
  });
  for (auto& a : appliers) a.join();
  done = true;
  reader.join();

  EXPECT_EQ(other.load(), 0u);
  EXPECT_EQ(applied.load() + stale.load(), kThreads * kEach);
  EXPECT_EQ(fx.rt->routes.generation(), kThreads * kEach);
  EXPECT_EQ(fx.counter(Counter::control_rejects_stale), stale.load());
  EXPECT_EQ(fx.counter(Counter::control_rejects), stale.load());
  EXPECT_EQ(fx.counter(Counter::monitor_seq), kThreads * kEach);  // one event each
}

}  // namespace
}  // namespace vorlet::v2
