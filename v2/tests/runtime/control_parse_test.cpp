#include "runtime/control_parse.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "vorlet/v2/control.pb.h"

namespace vorlet::v2 {
namespace {

namespace ctl = vorlet::v2::control;

// A flat snapshot as one line of text, so two snapshots compare (and show
// their differences) as strings.
std::string describe(const RouteSnapshotDesc& s) {
  std::string out = "generation=" + std::to_string(s.generation);
  for (uint64_t i = 0; i < s.route_count; ++i) {
    const RouteDesc& r = s.routes[i];
    out += " | route " + std::string(r.target) + " strategy=" + std::to_string(r.strategy) +
           " hint=" + (r.route_key_hint == nullptr ? "NULL" : "'" + std::string(r.route_key_hint) + "'") +
           " flags=" + std::to_string(r.flags) + " endpoints=" + (r.endpoints == nullptr ? "NULL" : "[");
    for (uint64_t k = 0; k < r.endpoint_count; ++k) {
      const EndpointDesc& e = r.endpoints[k];
      out += std::string(e.host) + ":" + std::to_string(e.port) + " w" + std::to_string(e.weight) + " f" +
             std::to_string(e.flags) + ";";
    }
    if (r.endpoints != nullptr) out += "]";
  }
  return out;
}

std::string describe(const OverloadPolicyDesc& p, int32_t has_policy) {
  return "has=" + std::to_string(has_policy) + " size=" + std::to_string(p.struct_size) +
         " reserve=" + std::to_string(p.remote_outbound_reply_reserve_slots) +
         " modes=" + std::to_string(p.ingress_mode) + "," + std::to_string(p.local_delivery_mode) + "," +
         std::to_string(p.remote_outbound_mode) + " reserved=" + std::to_string(p.reserved);
}

const std::string kNoPolicy = "has=0 size=32 reserve=0 modes=0,0,0 reserved=0";

struct Parsed {
  Status status;
  std::string text;
  ControlEnvelopeHeader header;
  std::string snapshot;
  std::string policy;
};

// Parses with every output pre-filled with junk, so that what the parse
// writes (and what it leaves) shows.
Parsed parse_bytes(const std::string& bytes) {
  Parsed p;
  std::memset(&p.header, 0xAB, sizeof p.header);
  char text[160];
  std::strcpy(text, "untouched");
  EndpointDesc junk_endpoint{"junk", 1, 1, 1};
  RouteDesc junk_route{"junk", 1, nullptr, 0, &junk_endpoint, 1};
  RouteSnapshotDesc snapshot{77, &junk_route, 1};
  OverloadPolicyDesc policy;
  std::memset(&policy, 0xCD, sizeof policy);
  int32_t has_policy = 5;
  p.status = control_envelope_apply_parse(bytes.data(), bytes.size(), &p.header, text, sizeof text, &snapshot, &policy,
                                          &has_policy);
  p.text = text;
  p.snapshot = describe(snapshot);
  p.policy = describe(policy, has_policy);
  if (p.status != Status::ok) {
    EXPECT_EQ(snapshot.routes, nullptr);
    EXPECT_EQ(snapshot.route_count, 0u);
  }
  route_snapshot_desc_free(&snapshot);
  EXPECT_EQ(snapshot.routes, nullptr);
  EXPECT_EQ(snapshot.route_count, 0u);
  EXPECT_EQ(snapshot.generation, 0u);
  return p;
}

ctl::ControlEnvelope apply_envelope(uint64_t generation, ctl::ConfigFormat format, const std::string& payload) {
  ctl::ControlEnvelope env;
  env.set_seq(11);
  env.set_generation(generation);
  env.set_kind(ctl::CONTROL_KIND_APPLY_SNAPSHOT);
  env.set_payload_format(format);
  env.set_payload_type(ctl::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
  env.set_schema_version(3);
  env.set_payload(payload);
  (*env.mutable_metadata())["sender"] = "test";
  return env;
}

Parsed parse_envelope(const ctl::ControlEnvelope& env) { return parse_bytes(env.SerializeAsString()); }

Parsed parse_json(const std::string& json, uint64_t generation = 42) {
  return parse_envelope(apply_envelope(generation, ctl::CONFIG_FORMAT_JSON, json));
}

// The snapshot every equivalent form below describes.
ctl::RouteSnapshotPayload reference_payload() {
  ctl::RouteSnapshotPayload p;
  p.set_generation(42);
  ctl::Route* orders = p.add_routes();
  orders->set_target("orders");
  orders->set_strategy(ctl::ROUTE_RESOLUTION_STRATEGY_RENDEZVOUS_HASH);
  orders->set_route_key_hint("tenant");
  orders->set_flags(1);
  ctl::Endpoint* a = orders->add_endpoints();
  a->set_host("10.0.0.1");
  a->set_port(7000);
  a->set_weight(2);
  a->set_flags(1);
  ctl::Endpoint* b = orders->add_endpoints();
  b->set_host("10.0.0.2");
  b->set_port(7001);
  b->set_flags(2);
  p.add_routes()->set_target("audit");
  p.mutable_overload_policy()->set_remote_outbound_mode(ctl::OVERLOAD_MODE_DROP_ONE_WAY_FIRST);
  p.mutable_overload_policy()->set_remote_outbound_reply_reserve_slots(16);
  return p;
}

const char kReferenceSnapshot[] =
    "generation=42 | route orders strategy=3 hint='tenant' flags=1 endpoints=[10.0.0.1:7000 w2 f1;10.0.0.2:7001 w0 "
    "f2;] | route audit strategy=0 hint=NULL flags=0 endpoints=NULL";
const char kReferencePolicy[] = "has=1 size=32 reserve=16 modes=0,0,2 reserved=0";

TEST(ControlParse, ProtobufPayloadBecomesAFlatSnapshot) {
  const Parsed p =
      parse_envelope(apply_envelope(42, ctl::CONFIG_FORMAT_PROTOBUF, reference_payload().SerializeAsString()));
  ASSERT_EQ(p.status, Status::ok) << p.text;
  EXPECT_EQ(p.text, "untouched");  // no text on success
  EXPECT_EQ(p.snapshot, kReferenceSnapshot);
  EXPECT_EQ(p.policy, kReferencePolicy);
  EXPECT_EQ(p.header.seq, 11u);
  EXPECT_EQ(p.header.generation, 42u);
  EXPECT_EQ(p.header.kind, 1);
  EXPECT_EQ(p.header.payload_format, 2);
  EXPECT_EQ(p.header.payload_type, 1);
  EXPECT_EQ(p.header.schema_version, 3u);
}

TEST(ControlParse, ConversionKeepsValuesForTheTableBuildToJudge) {
  ctl::RouteSnapshotPayload payload;
  payload.set_generation(9);
  ctl::Route* r = payload.add_routes();  // empty target, strategy outside the list
  r->set_strategy(static_cast<ctl::RouteResolutionStrategy>(9));
  r->set_flags(0xF0);
  ctl::Endpoint* e = r->add_endpoints();
  e->set_port(65535);
  e->set_flags(8);
  // A policy whose fields are all defaults is still a policy.
  payload.mutable_overload_policy();
  const Parsed p = parse_envelope(apply_envelope(9, ctl::CONFIG_FORMAT_PROTOBUF, payload.SerializeAsString()));
  ASSERT_EQ(p.status, Status::ok) << p.text;
  EXPECT_EQ(p.snapshot, "generation=9 | route  strategy=9 hint=NULL flags=240 endpoints=[:65535 w0 f8;]");
  EXPECT_EQ(p.policy, "has=1 size=32 reserve=0 modes=0,0,0 reserved=0");

  // Generation 0 on both sides parses (the build refuses it later); an
  // empty payload is a valid encoding of exactly that.
  const Parsed empty = parse_envelope(apply_envelope(0, ctl::CONFIG_FORMAT_PROTOBUF, ""));
  EXPECT_EQ(empty.status, Status::ok);
  EXPECT_EQ(empty.snapshot, "generation=0");
  EXPECT_EQ(empty.policy, kNoPolicy);
}

struct FailureCase {
  const char* what;
  std::function<std::string()> bytes;
  Status status;
  const char* text;
};

TEST(ControlParse, RefusalsInOrderLeaveNothingBehind) {
  const std::string good_payload = reference_payload().SerializeAsString();
  auto with = [&](std::function<void(ctl::ControlEnvelope&)> bend) {
    return [=] {
      ctl::ControlEnvelope env = apply_envelope(42, ctl::CONFIG_FORMAT_PROTOBUF, good_payload);
      bend(env);
      return env.SerializeAsString();
    };
  };
  auto bad_port = [](uint32_t port) {
    ctl::RouteSnapshotPayload p = reference_payload();
    p.mutable_routes(0)->mutable_endpoints(1)->set_port(port);
    return p.SerializeAsString();
  };
  const FailureCase cases[] = {
      {"not an envelope", [] { return std::string("\xFF\xFF\xFF", 3); }, Status::io,
       "control envelope protobuf parse failed"},
      {"invalid UTF-8 in metadata", with([](ctl::ControlEnvelope& e) { (*e.mutable_metadata())["k"] = "\xC3"; }),
       Status::io, "control envelope protobuf parse failed"},
      {"zero bytes: kind 0", [] { return std::string(); }, Status::invalid_arg, "unsupported control kind"},
      {"kind ack", with([](ctl::ControlEnvelope& e) { e.set_kind(ctl::CONTROL_KIND_ACK); }), Status::invalid_arg,
       "unsupported control kind"},
      {"kind nack before payload type", with([](ctl::ControlEnvelope& e) {
         e.set_kind(ctl::CONTROL_KIND_NACK);
         e.set_payload_type(ctl::CONTROL_PAYLOAD_TYPE_UNSPECIFIED);
       }),
       Status::invalid_arg, "unsupported control kind"},
      {"payload type 0 before format", with([](ctl::ControlEnvelope& e) {
         e.set_payload_type(ctl::CONTROL_PAYLOAD_TYPE_UNSPECIFIED);
         e.set_payload_format(ctl::CONFIG_FORMAT_UNSPECIFIED);
       }),
       Status::invalid_arg, "unsupported control payload type"},
      {"format 0", with([](ctl::ControlEnvelope& e) { e.set_payload_format(ctl::CONFIG_FORMAT_UNSPECIFIED); }),
       Status::invalid_arg, "unsupported control payload format"},
      {"format 3", with([](ctl::ControlEnvelope& e) { e.set_payload_format(static_cast<ctl::ConfigFormat>(3)); }),
       Status::invalid_arg, "unsupported control payload format"},
      {"protobuf payload that does not decode", with([](ctl::ControlEnvelope& e) { e.set_payload("\xFF\xFF"); }),
       Status::io, "route snapshot protobuf parse failed"},
      {"invalid UTF-8 in a route target", with([](ctl::ControlEnvelope& e) {
         ctl::RouteSnapshotPayload p = reference_payload();
         p.mutable_routes(1)->set_target("\xFF");
         e.set_payload(p.SerializeAsString());
       }),
       Status::io, "route snapshot protobuf parse failed"},
      {"JSON payload that is not JSON", with([](ctl::ControlEnvelope& e) {
         e.set_payload_format(ctl::CONFIG_FORMAT_JSON);
         e.set_payload("{\"generation\": 42");
       }),
       Status::io, "route snapshot json parse failed"},
      {"generation mismatch", with([](ctl::ControlEnvelope& e) { e.set_generation(41); }), Status::invalid_arg,
       "envelope and payload generation mismatch"},
      {"port 72536 (7000 in its low bits)", with([&](ctl::ControlEnvelope& e) { e.set_payload(bad_port(72536)); }),
       Status::invalid_arg, "endpoint port out of range"},
      {"port 65536", with([&](ctl::ControlEnvelope& e) { e.set_payload(bad_port(65536)); }), Status::invalid_arg,
       "endpoint port out of range"},
  };
  for (const FailureCase& c : cases) {
    const Parsed p = parse_bytes(c.bytes());
    EXPECT_EQ(p.status, c.status) << c.what;
    EXPECT_EQ(p.text, c.text) << c.what;
    EXPECT_EQ(p.snapshot, "generation=0") << c.what;
    EXPECT_EQ(p.policy, kNoPolicy) << c.what;
  }

  // The header is filled as soon as the envelope decodes.
  const Parsed ack = parse_bytes(with([](ctl::ControlEnvelope& e) {
    e.set_generation(7);
    e.set_kind(ctl::CONTROL_KIND_ACK);
  })());
  EXPECT_EQ(ack.header.generation, 7u);
  EXPECT_EQ(ack.header.kind, 2);
  EXPECT_EQ(ack.header.seq, 11u);
  const Parsed garbage = parse_bytes(std::string("\xFF\xFF\xFF", 3));
  EXPECT_EQ(garbage.header.generation, 0u);
  EXPECT_EQ(garbage.header.kind, 0);
}

TEST(ControlParse, ArgumentsLengthLimitAndTextCapacity) {
  const std::string bytes = apply_envelope(42, ctl::CONFIG_FORMAT_PROTOBUF, "").SerializeAsString();
  ControlEnvelopeHeader header;
  RouteSnapshotDesc snapshot{};
  OverloadPolicyDesc policy;
  int32_t has_policy = 0;
  char text[64];

  EXPECT_EQ(control_envelope_apply_parse(nullptr, 0, &header, text, sizeof text, &snapshot, &policy, &has_policy),
            Status::invalid_arg);
  EXPECT_STREQ(text, "invalid arguments");
  const void* b = bytes.data();
  const uint64_t n = bytes.size();
  EXPECT_EQ(control_envelope_apply_parse(b, n, nullptr, text, sizeof text, &snapshot, &policy, &has_policy),
            Status::invalid_arg);
  EXPECT_EQ(control_envelope_apply_parse(b, n, &header, text, sizeof text, nullptr, &policy, &has_policy),
            Status::invalid_arg);
  EXPECT_EQ(control_envelope_apply_parse(b, n, &header, text, sizeof text, &snapshot, nullptr, &has_policy),
            Status::invalid_arg);
  EXPECT_EQ(control_envelope_apply_parse(b, n, &header, text, sizeof text, &snapshot, &policy, nullptr),
            Status::invalid_arg);

  // Refused on its length alone, before a byte is read.
  EXPECT_EQ(control_envelope_apply_parse(b, 2147483648ull, &header, text, sizeof text, &snapshot, &policy, &has_policy),
            Status::io);
  EXPECT_STREQ(text, "control envelope protobuf parse failed");

  const std::string ack = [] {
    ctl::ControlEnvelope e;
    e.set_kind(ctl::CONTROL_KIND_ACK);
    return e.SerializeAsString();
  }();
  EXPECT_EQ(control_envelope_apply_parse(ack.data(), ack.size(), &header, text, 10, &snapshot, &policy, &has_policy),
            Status::invalid_arg);
  EXPECT_STREQ(text, "unsupport");
  std::strcpy(text, "untouched");
  EXPECT_EQ(control_envelope_apply_parse(ack.data(), ack.size(), &header, text, 0, &snapshot, &policy, &has_policy),
            Status::invalid_arg);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(control_envelope_apply_parse(ack.data(), ack.size(), &header, nullptr, 64, &snapshot, &policy, &has_policy),
            Status::invalid_arg);

  // The longest text fits a 41-byte buffer whole.
  const std::string mismatch =
      apply_envelope(41, ctl::CONFIG_FORMAT_PROTOBUF, reference_payload().SerializeAsString()).SerializeAsString();
  EXPECT_EQ(control_envelope_apply_parse(mismatch.data(), mismatch.size(), &header, text, 41, &snapshot, &policy,
                                         &has_policy),
            Status::invalid_arg);
  EXPECT_STREQ(text, "envelope and payload generation mismatch");

  route_snapshot_desc_free(nullptr);
  control_envelope_header_clear(nullptr);
  control_envelope_header_clear(&header);
  EXPECT_EQ(header.generation, 0u);
  EXPECT_EQ(header.kind, 0);
}

TEST(ControlParseJson, EveryAcceptedFormGivesTheProtobufSnapshot) {
  const char* const forms[] = {
      // lowerCamelCase members, enum names, plain numbers.
      R"({"generation": 42, "routes": [
           {"target": "orders", "strategy": "ROUTE_RESOLUTION_STRATEGY_RENDEZVOUS_HASH", "routeKeyHint": "tenant",
            "flags": 1, "endpoints": [{"host": "10.0.0.1", "port": 7000, "weight": 2, "flags": 1},
                                      {"host": "10.0.0.2", "port": 7001, "flags": 2}]},
           {"target": "audit"}],
          "overloadPolicy": {"remoteOutboundMode": "OVERLOAD_MODE_DROP_ONE_WAY_FIRST",
                             "remoteOutboundReplyReserveSlots": 16}})",
      // Declared member names, enum numbers, the 64-bit integer quoted,
      // defaults written out.
      R"({"generation": "42", "routes": [
           {"target": "orders", "strategy": 3, "route_key_hint": "tenant", "flags": 1,
            "endpoints": [{"host": "10.0.0.1", "port": 7000, "weight": 2, "flags": 1},
                          {"host": "10.0.0.2", "port": 7001, "weight": 0, "flags": 2}]},
           {"target": "audit", "strategy": 0, "route_key_hint": "", "flags": 0, "endpoints": []}],
          "overload_policy": {"ingress_mode": "OVERLOAD_MODE_REJECT", "local_delivery_mode": 0,
                              "remote_outbound_mode": 2, "remote_outbound_reply_reserve_slots": 16}})",
      // Unknown members (also ones that look like enum names) and nulls.
      R"({"comment": "x", "generation": 42, "routes": [
           {"target": "orders", "mode": "BOGUS", "note": {"strategy": "BOGUS", "list": [1, "a"]},
            "strategy": "ROUTE_RESOLUTION_STRATEGY_RENDEZVOUS_HASH", "routeKeyHint": "tenant", "flags": 1,
            "endpoints": [{"host": "10.0.0.1", "port": 7000, "weight": 2, "flags": 1, "zone": "eu"},
                          {"host": "10.0.0.2", "port": 7001, "weight": null, "flags": 2}]},
           {"target": "audit", "strategy": null, "routeKeyHint": null}],
          "overloadPolicy": {"ingressMode": null, "remoteOutboundMode": "OVERLOAD_MODE_DROP_ONE_WAY_FIRST",
                             "remoteOutboundReplyReserveSlots": 16, "extra": true}})",
  };
  for (const char* json : forms) {
    const Parsed p = parse_json(json);
    ASSERT_EQ(p.status, Status::ok) << p.text << "\n" << json;
    EXPECT_EQ(p.snapshot, kReferenceSnapshot) << json;
    EXPECT_EQ(p.policy, kReferencePolicy) << json;
    EXPECT_EQ(p.header.payload_format, 1);
  }
}

TEST(ControlParseJson, PolicyPresenceAndOpenEnumNumbers) {
  struct Case {
    const char* json;
    const char* snapshot;
    const char* policy;
  };
  const Case cases[] = {
      {R"({"generation": 42, "overloadPolicy": {}})", "generation=42",
       "has=1 size=32 reserve=0 modes=0,0,0 reserved=0"},
      {R"({"generation": 42})", "generation=42", "has=0 size=32 reserve=0 modes=0,0,0 reserved=0"},
      {R"({"generation": 42, "overloadPolicy": null})", "generation=42",
       "has=0 size=32 reserve=0 modes=0,0,0 reserved=0"},
      // Numbers outside a list are kept; the table build and the policy
      // rules judge them.
      {R"({"generation": 42, "routes": [{"target": "t", "strategy": 7, "endpoints": [{"host": "h", "port": 1}]}],
          "overloadPolicy": {"ingressMode": 5, "remoteOutboundReplyReserveSlots": 4294967295}})",
       "generation=42 | route t strategy=7 hint=NULL flags=0 endpoints=[h:1 w0 f0;]",
       "has=1 size=32 reserve=4294967295 modes=5,0,0 reserved=0"},
      {R"({"generation": 18446744073709551615})", "generation=18446744073709551615",
       "has=0 size=32 reserve=0 modes=0,0,0 reserved=0"},
  };
  for (const Case& c : cases) {
    const uint64_t generation = std::strstr(c.json, "18446744073709551615") != nullptr ? UINT64_MAX : 42;
    const Parsed p = parse_json(c.json, generation);
    ASSERT_EQ(p.status, Status::ok) << p.text << "\n" << c.json;
    EXPECT_EQ(p.snapshot, c.snapshot) << c.json;
    EXPECT_EQ(p.policy, c.policy) << c.json;
  }
}

TEST(ControlParseJson, UndeclaredMembersAreSkippedWhateverTheyHold) {
  // The check of enum names must not refuse what protobuf's own parse
  // accepts: repeated member names and deeply nested undeclared members.
  auto nested = [](const char* open, const char* close, int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += "1";
    for (int i = 0; i < depth; ++i) text += close;
    return text;
  };
  const std::string forms[] = {
      R"({"generation": 42, "note": 1, "note": "again", "routes": [{"target": "t", "x": {"a": 1, "a": 2}}]})",
      R"({"generation": 42, "generation": 42, "routes": [{"target": "t"}]})",
      R"({"generation": 42, "deep": )" + nested("{\"a\": ", "}", 40) + R"(, "routes": [{"target": "t"}]})",
      R"({"generation": 42, "deep": )" + nested("[", "]", 60) + R"(, "routes": [{"target": "t"}]})",
      // A mistyped name that a later member replaces leaves a declared value.
      R"({"generation": 42, "routes": [{"target": "t", "strategy": "BOGUS", "strategy": 0}]})",
  };
  for (const std::string& json : forms) {
    const Parsed p = parse_json(json);
    ASSERT_EQ(p.status, Status::ok) << p.text << "\n" << json;
    EXPECT_EQ(p.snapshot, "generation=42 | route t strategy=0 hint=NULL flags=0 endpoints=NULL") << json;
  }
}

TEST(ControlParseJson, MalformedOrMistypedPayloadsAreRefused) {
  const char* const refused[] = {
      "",
      "{",
      "[]",
      "42",
      R"({"generation": 42} trailing)",
      R"({"generation": -1})",
      R"({"generation": 1.5})",
      R"({"generation": "4x2"})",
      R"({"generation": 18446744073709551616})",
      R"({"routes": [{"target": 5}]})",
      R"({"routes": [{"endpoints": [{"port": 4294967296}]}]})",
      R"({"routes": [{"endpoints": [{"port": "x"}]}]})",
      R"({"routes": [{"target": "\u00"}]})",
      "{\"routes\": [{\"target\": \"\xFF\"}]}",
      // Enum strings must be declared names, in their exact case.
      R"({"routes": [{"target": "t", "strategy": "BOGUS"}]})",
      R"({"routes": [{"target": "t", "strategy": "rendezvous_hash"}]})",
      R"({"routes": [{"target": "t", "strategy": "route_resolution_strategy_single_owner"}]})",
      R"({"routes": [{"target": "t", "strategy": ""}]})",
      R"({"routes": [{"target": "t", "strategy": "3"}]})",
      R"({"routes": [{"target": "a"}, {"target": "b", "strategy": "SINGLE_OWNER"}]})",
      R"({"routes": {"target": "t", "strategy": "BOGUS"}})",  // one object where a list belongs
      R"({"routes": [{"target": "t", "strategy": 3, "strategy": "BOGUS"}]})",  // the last one is kept
      R"({"overloadPolicy": {"remoteOutboundMode": "OVERLOAD_MODE_DROP"}})",
      R"({"overload_policy": {"ingress_mode": "ROUTE_RESOLUTION_STRATEGY_UNSPECIFIED"}})",
  };
  for (const char* json : refused) {
    const Parsed p = parse_json(json);
    EXPECT_EQ(p.status, Status::io) << json;
    EXPECT_EQ(p.text, "route snapshot json parse failed") << json;
    EXPECT_EQ(p.snapshot, "generation=0") << json;
    EXPECT_EQ(p.policy, kNoPolicy) << json;
  }
}

TEST(ControlParseJson, ParsesOnSeveralThreadsAtOnce) {
  // Applies may come from several threads; the name check is shared.
  const std::string good =
      R"({"generation": 42, "routes": [{"target": "t", "strategy": "ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER"}]})";
  const std::string bad = R"({"generation": 42, "routes": [{"target": "t", "strategy": "SINGLE_OWNER"}]})";
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        if (parse_json(good).status != Status::ok || parse_json(bad).status != Status::io) wrong.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ControlParseJson, PayloadIsReadToItsExactLength) {
  // Bytes after a NUL are part of the text: here they make it malformed.
  const Parsed p = parse_json(std::string("{\"generation\": 42}\0garbage", 26));
  EXPECT_EQ(p.status, Status::io);
  const Parsed ok = parse_json(std::string("{\"generation\": 42}", 18));
  EXPECT_EQ(ok.status, Status::ok);
}

}  // namespace
}  // namespace vorlet::v2
