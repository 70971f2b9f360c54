// Writes the seed corpora of the fuzz targets: a few well-formed inputs per
// target, each reaching one of its main paths, so that fuzzing starts from
// the structure rather than from nothing.
//
//   vorlet_fuzz_seeds <corpus directory>
#include <google/protobuf/util/json_util.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "vorlet/v2/control.pb.h"
#include "vorlet/v2/transport.pb.h"

namespace fs = std::filesystem;
namespace tp = vorlet::v2::transport;
namespace cp = vorlet::v2::control;

namespace {

fs::path g_root;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string u64(uint64_t v) { return u32(static_cast<uint32_t>(v)) + u32(static_cast<uint32_t>(v >> 32)); }

std::string frame(const std::string& body) { return u64(body.size()) + body; }

tp::Envelope request(const std::string& id, const std::string& target) {
  tp::Envelope e;
  e.set_message_id(id);
  e.set_correlation_id(id);
  e.set_source("peer.a");
  e.set_target(target);
  e.set_reply_to("peer.a.replies");
  e.set_kind(tp::MESSAGE_KIND_REQUEST);
  e.set_timeout_ms(500);
  e.set_payload("hello");
  return e;
}

std::string bytes_of(const google::protobuf::Message& m) { return m.SerializeAsString(); }

// Envelopes that reach every kind of route and every semantic refusal.
void envelopes(const std::string& target) {
  seed(target, "single", bytes_of(request("m-1", "svc.single")));
  tp::Envelope rr = request("m-2", "svc.rr");
  rr.set_delivery_hint(tp::DELIVERY_HINT_PREFER_LOCAL);
  seed(target, "rr-prefer-local", bytes_of(rr));
  rr.set_delivery_hint(tp::DELIVERY_HINT_REQUIRE_LOCAL);
  seed(target, "rr-require-local", bytes_of(rr));
  tp::Envelope hashed = request("m-3", "svc.hash");
  (*hashed.mutable_headers())["tenant"] = "acme";
  (*hashed.mutable_headers())["trace"] = "t-1";
  seed(target, "hash-keyed", bytes_of(hashed));
  seed(target, "hash-unkeyed", bytes_of(request("m-4", "svc.hash")));
  seed(target, "any", bytes_of(request("m-5", "svc.any")));
  seed(target, "drained", bytes_of(request("m-6", "svc.drained")));
  tp::Envelope one_way = request("m-7", "svc.single");
  one_way.set_one_way(true);
  one_way.clear_reply_to();
  seed(target, "one-way", bytes_of(one_way));
  tp::Envelope response;
  response.set_message_id("m-8");
  response.set_correlation_id("m-1");
  response.set_target("peer.a");
  response.set_kind(tp::MESSAGE_KIND_RESPONSE);
  response.set_status(tp::BUSINESS_STATUS_ERROR);
  response.set_error_code("E42");
  response.set_error_message("refused");
  seed(target, "response", bytes_of(response));
  tp::Envelope event = request("m-9", "svc.any");
  event.set_kind(tp::MESSAGE_KIND_EVENT);
  seed(target, "event", bytes_of(event));
  seed(target, "no-target", bytes_of(request("m-10", "")));
}

tp::Deadletter deadletter(bool with_envelope) {
  tp::Deadletter d;
  if (with_envelope) *d.mutable_original_envelope() = request("m-11", "svc.remote");
  d.set_reason(tp::DEADLETTER_REASON_ROUTE_MISS);
  // Long enough to be cut, with multi-byte characters around the cut.
  std::string detail;
  while (detail.size() < 170) detail += "route miss \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 ";
  d.set_detail(detail);
  d.set_active_generation(12);
  d.set_resolved_host("10.0.0.2");
  d.set_resolved_port(7002);
  d.set_endpoint_attempt_count(7);
  return d;
}

cp::RouteSnapshotPayload snapshot_payload() {
  cp::RouteSnapshotPayload p;
  p.set_generation(3);
  cp::Route* r = p.add_routes();
  r->set_target("svc.a");
  r->set_strategy(cp::ROUTE_RESOLUTION_STRATEGY_WEIGHTED_ROUND_ROBIN);
  r->set_flags(1);
  cp::Endpoint* e = r->add_endpoints();
  e->set_host("127.0.0.1");
  e->set_port(7001);
  e->set_weight(2);
  e->set_flags(1);
  e = r->add_endpoints();
  e->set_host("10.0.0.2");
  e->set_port(7002);
  r = p.add_routes();
  r->set_target("svc.b");
  r->set_strategy(cp::ROUTE_RESOLUTION_STRATEGY_RENDEZVOUS_HASH);
  r->set_route_key_hint("tenant");
  e = r->add_endpoints();
  e->set_host("10.0.0.3");
  e->set_port(7003);
  e->set_flags(2);
  cp::OverloadPolicy* policy = p.mutable_overload_policy();
  policy->set_remote_outbound_mode(cp::OVERLOAD_MODE_DROP_ONE_WAY_FIRST);
  policy->set_remote_outbound_reply_reserve_slots(4);
  return p;
}

std::string json_of(const google::protobuf::Message& m) {
  std::string out;
  (void)google::protobuf::util::MessageToJsonString(m, &out);
  return out;
}

void control() {
  const cp::RouteSnapshotPayload payload = snapshot_payload();
  cp::ControlEnvelope env;
  env.set_seq(1);
  env.set_generation(payload.generation());
  env.set_kind(cp::CONTROL_KIND_APPLY_SNAPSHOT);
  env.set_payload_type(cp::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
  env.set_payload_format(cp::CONFIG_FORMAT_PROTOBUF);
  env.set_payload(bytes_of(payload));
  (*env.mutable_metadata())["origin"] = "seed";
  seed("control_parse", "envelope-protobuf", std::string(1, '\0') + bytes_of(env));
  env.set_payload_format(cp::CONFIG_FORMAT_JSON);
  env.set_payload(json_of(payload));
  seed("control_parse", "envelope-json", std::string(1, '\0') + bytes_of(env));
  env.set_kind(cp::CONTROL_KIND_ACK);
  seed("control_parse", "envelope-ack", std::string(1, '\0') + bytes_of(env));
  const std::string generation(1, static_cast<char>(payload.generation()));
  seed("control_parse", "payload-json", std::string(1, '\1') + generation + json_of(payload));
  seed("control_parse", "payload-json-names",
       std::string(1, '\1') + std::string(1, '\5') +
           R"({"generation":"5","routes":[{"target":"svc","strategy":"ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER",)"
           R"("endpoints":[{"host":"::1","port":7001,"flags":1}]}],"unknownField":[1,{"a":null}],)"
           R"("overloadPolicy":{"remoteOutboundMode":"OVERLOAD_MODE_DROP_EXPIRED_FIRST"}})");
  seed("control_parse", "payload-protobuf", std::string(1, '\2') + generation + bytes_of(payload));
}

void tcp() {
  const std::string env = bytes_of(request("m-12", "svc.local"));
  const std::string req = "V2Q1" + u32(250) + u64(env.size()) + env;
  const std::string resp = bytes_of(request("m-12.r", "peer.a"));
  const std::string reply_ok = "V2R1" + u32(1) + u32(0) + u32(2) + "ok" + resp;
  const std::string text = "tcp peer returned no terminal result \xE2\x82\xAC";
  const std::string reply_none = "V2R1" + u32(0) + u32(7) + u32(text.size()) + text;
  const std::string reply_dl = "V2R1" + u32(2) + u32(5) + u32(0) + bytes_of(deadletter(true));
  seed("tcp_bodies", "request", req);
  seed("tcp_bodies", "reply-response", reply_ok);
  seed("tcp_bodies", "reply-none", reply_none);
  seed("tcp_bodies", "reply-deadletter", reply_dl);
  seed("tcp_receive", "request", frame(req));
  seed("tcp_receive", "reply", frame(reply_ok));
  seed("tcp_receive", "empty-frame", frame(""));
  seed("tcp_receive", "over-64mib", u64(67108865) + "V2Q1");
  seed("tcp_receive", "at-64mib", u64(67108864) + "V2Q1");
  seed("tcp_receive", "truncated", frame(req).substr(0, 20));
}

void frames() {
  const std::string env = bytes_of(request("m-13", "svc.local"));
  const std::string stream = frame(env) + frame("") + frame("abc") + u64(5000) + frame(env);
  for (int limit = 0; limit < 8; ++limit) {
    seed("frame_reader", "stream-limit-" + std::to_string(limit), std::string(1, static_cast<char>(limit)) + "\x11" + stream);
  }
  seed("frame_reader", "closed-in-length", std::string("\x05\x03") + frame("xyz") + "\x02\x00\x00");
  seed("frame_reader", "closed-in-body", std::string("\x05\x07") + u64(40) + "0123456789");
}

// The frame splitter's inputs are small programs (see frame_splitter_fuzz):
// bytes as they are, frames of a pattern, writes of a size, failed reads.
namespace split {

std::string bytes(const std::string& b) {
  std::string out;
  for (size_t at = 0; at < b.size(); at += 128) {
    const std::string run = b.substr(at, 128);
    out += static_cast<char>(run.size() - 1) + run;
  }
  return out;
}

std::string u16(uint32_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }

std::string frame_of(uint32_t length) { return static_cast<char>(0x80 | (length >> 16)) + u16(length & 0xFFFF); }

// Every byte not yet written, in writes of piece bytes; or one such write.
std::string writes_of(uint32_t piece) { return '\xC0' + u16(piece - 1); }
std::string one_write(uint32_t piece) { return '\xE0' + u16(piece - 1); }

const std::string fail = "\xF0";

// The index of a limit in the target's table.
std::string limit(int index) { return std::string(1, static_cast<char>(index)); }

}  // namespace split

void splitter() {
  using namespace split;
  const std::string t = "frame_splitter";
  constexpr uint32_t kBuffer = 65536;
  seed(t, "empty", limit(7));
  // Frames cut anywhere: prefixes and bodies across reads.
  seed(t, "straddling-reads",
       limit(7) + frame_of(300) + frame_of(0) + frame_of(3) + frame_of(5000) + frame_of(300) + writes_of(13));
  // Frames across the end of the buffer: a read fills it, the part frame at
  // its end moves to the front for the next.
  std::string many;
  for (uint32_t i = 0; i < 100; ++i) many += frame_of(1000 + i);
  seed(t, "straddling-buffer-end", limit(7) + many + writes_of(kBuffer));
  seed(t, "straddling-odd-reads", limit(7) + many + writes_of(4093));
  // The largest frame the buffer holds, in one read that fills it to the
  // last byte; then one byte more, which does not fit.
  seed(t, "at-buffer-end",
       limit(7) + frame_of(kBuffer - 8) + writes_of(kBuffer) + frame_of(kBuffer - 7) + frame_of(10));
  // A part frame at the front, and a read that fills the rest exactly.
  seed(t, "at-buffer-end-after-part",
       limit(7) + frame_of(100) + frame_of(kBuffer - 8) + one_write(104) + writes_of(kBuffer));
  seed(t, "at-limit-of-buffer", limit(4) + frame_of(kBuffer - 8) + frame_of(kBuffer - 7) + frame_of(1));
  // Larger than the buffer: its own frame buffer, read into straight.
  seed(t, "over-buffer", limit(6) + frame_of(300) + frame_of(3 * kBuffer + 11) + frame_of(300) + writes_of(kBuffer));
  seed(t, "over-buffer-odd-reads", limit(7) + frame_of(20) + frame_of(kBuffer + 1) + frame_of(0) + writes_of(4093));
  // One byte at a time, small frames and the end of a large one.
  seed(t, "byte-at-a-time", limit(7) + frame_of(30) + frame_of(0) + frame_of(3) + frame_of(9) + writes_of(1));
  seed(t, "byte-at-a-time-large",
       limit(7) + frame_of(kBuffer + 20) + frame_of(5) + one_write(kBuffer - 10) + writes_of(1));
  // Refused at the length: only the 8 bytes go, what follows is a length.
  seed(t, "refused-length",
       limit(1) + bytes(u64(17) + u64(3) + "abc") + frame_of(16) + bytes(u64(UINT64_MAX)) + frame_of(5) +
           frame_of(17) + writes_of(3));
  seed(t, "refused-over-buffer", limit(3) + frame_of(kBuffer - 9) + frame_of(kBuffer - 8) + bytes(u64(0)));
  // The close inside a prefix, a body, a large body.
  seed(t, "closed-in-length", limit(7) + frame_of(12) + bytes(std::string("\x02\x00\x00", 3)));
  seed(t, "closed-in-body", limit(7) + bytes(u64(40) + "0123456789") + writes_of(4));
  seed(t, "closed-in-large-body", limit(6) + bytes(u64(200000)) + frame_of(100000) + writes_of(30000));
  // Failed reads: with nothing held, inside a prefix, inside a body,
  // inside a large body, and with the close waiting.
  seed(t, "read-failure",
       limit(7) + fail + frame_of(300) + frame_of(kBuffer + 64) + frame_of(10) + one_write(4) + fail +
           one_write(100) + fail + one_write(kBuffer) + fail + writes_of(4093) + fail);
  seed(t, "read-failure-closed-in-frame", limit(7) + frame_of(50) + bytes(u64(9) + "abc") + fail);
}

void inbound() {
  seed("inbound_handler", "local", bytes_of(request("in-1", "svc.local")));
  seed("inbound_handler", "remote", bytes_of(request("in-2", "svc.remote")));
  seed("inbound_handler", "drained", bytes_of(request("in-3", "svc.drained")));
  seed("inbound_handler", "mixed", bytes_of(request("in-4", "svc.mixed")));
  seed("inbound_handler", "unknown", bytes_of(request("in-5", "svc.nowhere")));
  tp::Envelope one_way = request("in-6", "svc.local");
  one_way.set_one_way(true);
  one_way.clear_reply_to();
  seed("inbound_handler", "one-way", bytes_of(one_way));
  tp::Envelope event = request("in-7", "svc.local");
  event.set_kind(tp::MESSAGE_KIND_EVENT);
  seed("inbound_handler", "event", bytes_of(event));
  seed("inbound_handler", "no-id", bytes_of(request("", "svc.local")));
}

void raw_reply() {
  seed("raw_reply", "request", bytes_of(request("r-1", "svc.local")));
  tp::Envelope one_way = request("r-2", "svc.local");
  one_way.set_one_way(true);
  seed("raw_reply", "one-way", bytes_of(one_way));
  tp::Envelope no_source = request("r-3", "svc.local");
  no_source.clear_source();
  seed("raw_reply", "no-source", bytes_of(no_source));
}

void ask() {
  // begin: what the fuzz host answers, deadletters and refusals.
  seed("ask_begin", "local", bytes_of(request("a-1", "svc.local")));
  tp::Envelope no_correlation = request("a-2", "svc.local");
  no_correlation.clear_correlation_id();
  seed("ask_begin", "no-correlation", bytes_of(no_correlation));
  seed("ask_begin", "remote", bytes_of(request("a-3", "svc.remote")));
  seed("ask_begin", "unknown", bytes_of(request("a-4", "svc.nowhere")));
  tp::Envelope remote_only = request("a-5", "svc.mixed");
  remote_only.set_delivery_hint(tp::DELIVERY_HINT_REQUIRE_REMOTE);
  seed("ask_begin", "require-remote", bytes_of(remote_only));
  tp::Envelope one_way = request("a-6", "svc.local");
  one_way.set_one_way(true);
  seed("ask_begin", "one-way", bytes_of(one_way));
  // lanes: the first byte picks the lane (even: responses, odd:
  // deadletters); keys m-1 and m-2 are pending.
  tp::Envelope response;
  response.set_message_id("m-1.r");
  response.set_correlation_id("m-1");
  response.set_target("peer.a");
  response.set_kind(tp::MESSAGE_KIND_RESPONSE);
  response.set_payload("answer");
  seed("ask_lanes", "response", std::string(1, '\0') + bytes_of(response));
  response.set_correlation_id("m-9");
  seed("ask_lanes", "response-unmatched", std::string(1, '\0') + bytes_of(response));
  seed("ask_lanes", "request-on-response-lane", std::string(1, '\0') + bytes_of(request("m-2", "svc")));
  tp::Deadletter d = deadletter(true);
  d.mutable_original_envelope()->set_message_id("m-2");
  seed("ask_lanes", "deadletter", std::string(1, '\1') + bytes_of(d));
  seed("ask_lanes", "deadletter-bare", std::string(1, '\1') + bytes_of(deadletter(false)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  envelopes("envelope_route");
  envelopes("transport_views");
  seed("transport_views", "deadletter", bytes_of(deadletter(true)));
  seed("transport_views", "deadletter-bare", bytes_of(deadletter(false)));
  seed("deadletter_codec", "deadletter", bytes_of(deadletter(true)));
  seed("deadletter_codec", "deadletter-bare", bytes_of(deadletter(false)));
  seed("deadletter_codec", "envelope", bytes_of(request("m-14", "svc")));
  control();
  tcp();
  frames();
  splitter();
  inbound();
  raw_reply();
  ask();
  return 0;
}
