// What remote peers can make a runtime hold: each request at most
// max_frame_bytes, refused at its length prefix when it declares more.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "runtime/runtime.h"
#include "support/lifecycle_runtime.h"
#include "support/scripted_peer.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::FrameBytes;
using test::kLocalTarget;
using test::LifecycleRuntime;
using test::PeerClient;
using test::wire_frame;
using test::wire_request_body;
using test::wire_u64;

constexpr uint64_t MiB = 1ull << 20;
constexpr uint32_t kReasonTransportFailed = 7;
const char kDecodeFailed[] = "tcp request decode failed";

// A request envelope of exactly `size` serialized bytes.
std::string request_of_size(const std::string& id, uint64_t size, const std::string& target = kLocalTarget,
                            bool one_way = false) {
  transport::Envelope env;
  env.set_message_id(id);
  if (!one_way) env.set_correlation_id("c-" + id);
  env.set_kind(transport::MESSAGE_KIND_REQUEST);
  env.set_source("peer");
  env.set_target(target);
  env.set_one_way(one_way);
  env.set_timeout_ms(5000);
  uint64_t payload = size > 64 ? size - 64 : 0;
  for (int i = 0; i < 8; ++i) {
    env.set_payload(std::string(payload, 'x'));
    const uint64_t got = env.ByteSizeLong();
    if (got == size) break;
    payload = got > size ? payload - (got - size) : payload + (size - got);
  }
  EXPECT_EQ(env.ByteSizeLong(), size);
  return env.SerializeAsString();
}

// One request as a peer sends it, and what came back.
test::WireReply ask(uint16_t port, const std::string& envelope, uint32_t timeout_ms, uint32_t wait_ms = 10000) {
  const test::ClientOutcome out =
      test::client_exchange(port, wire_frame(wire_request_body(timeout_ms, envelope)), wait_ms);
  EXPECT_EQ(out.status, Status::ok);
  return test::wire_parse_reply(out.body);
}

transport::Deadletter deadletter_in(const test::WireReply& r) {
  transport::Deadletter dl;
  EXPECT_EQ(r.kind, 2u);
  EXPECT_TRUE(dl.ParseFromString(r.payload));
  return dl;
}

// The listener takes an envelope of exactly max_frame_bytes and refuses one
// that declares more as soon as its length prefix arrives, with the reply
// of a request that does not decode, before any body byte is sent.
TEST(PeerRequests, AreHeldToMaxFrameBytesAndRefusedAtTheirPrefix) {
  for (int32_t hint : {1, 0}) {
    SCOPED_TRACE(hint);
    LifecycleRuntime fx(hint);
    ASSERT_TRUE(fx.bring_up());
    const uint64_t limit = fx.rt->max_frame_bytes;
    ASSERT_EQ(limit, hint == 1 ? 1 * MiB : 4 * MiB);

    PeerClient client;
    ASSERT_TRUE(client.connect(fx.listen_port()));
    ASSERT_TRUE(client.send(wire_u64(16 + limit + 1)));  // the request header and one byte too many
    const test::ClientOutcome out = client.read_frame(3000);
    ASSERT_EQ(out.status, Status::ok);
    EXPECT_LT(out.elapsed_ms, 900u);  // not the one second a missing body gets
    const test::WireReply refused = test::wire_parse_reply(out.body);
    EXPECT_EQ(refused.kind, 0u);
    EXPECT_EQ(refused.reason, kReasonTransportFailed);
    EXPECT_EQ(refused.text, kDecodeFailed);
    EXPECT_EQ(client.read_frame(3000).status, Status::closed);

    // Exactly the limit reaches the handler, which answers it (a target
    // nobody routes).
    const test::WireReply taken = ask(fx.listen_port(), request_of_size("at-limit", limit, "svc.nowhere"), 2000);
    const transport::Deadletter dl = deadletter_in(taken);
    EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_ROUTE_MISS);
    EXPECT_EQ(dl.original_envelope().message_id(), "at-limit");

    ASSERT_EQ(fx.stop(), Status::ok);
    EXPECT_EQ(fx.counter(Counter::queue_rejections), 0u);
  }
}

}  // namespace
}  // namespace vorlet::v2
