// A peer's envelope is parsed once on its way in: the inbound handler's
// parse travels with the ingress item, the dispatcher routes from it, and
// whoever ends the item frees it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/parsed_envelope.h"
#include "runtime/dispatcher.h"
#include "runtime/ingress.h"
#include "runtime/jobs.h"
#include "runtime/reply_registry.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/job_support.h"
#include "support/remote_request.h"
#include "support/test_runtime.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

constexpr const char* kNear = "svc.near";  // a local endpoint
constexpr const char* kFar = "svc.far";    // a remote one

std::string peer_request(const std::string& id, const std::string& target) {
  return test::envelope({.message_id = id,
                         .correlation_id = "c-" + id,
                         .target = target,
                         .timeout_ms = 4000,
                         .payload = "from a peer",
                         .headers = {{"tenant", "acme"}}})
      .SerializeAsString();
}

std::string frame_text(const IngressItem& item) {
  return std::string(static_cast<const char*>(item.frame), item.length);
}

// A runtime that is not started, so that what the handler queues stays in
// the ingress ring; each request's wait ends at once.
struct Unstarted {
  test::TestRuntime fx{64};
  Runtime* rt = fx.rt;

  void ask(const std::string& bytes) {
    const test::RemoteAnswer a = test::handle_remote_request(rt, bytes, 1);
    EXPECT_EQ(a.status, Status::io);
    EXPECT_EQ(a.reason, wire(DeadletterReason::remote_reply_timeout));
  }
};

// The item the handler queues holds the payload byte for byte and the
// handler's parse of it, headers included.
TEST(InboundParseOnce, TheQueuedItemCarriesTheHandlersParse) {
  Unstarted u;
  const std::string bytes = peer_request("m-1", kNear);
  u.ask(bytes);
  IngressItem item{};
  ASSERT_TRUE(ingress_try_pop(u.rt, &item));
  EXPECT_EQ(item.origin, IngressOrigin::remote);
  EXPECT_NE(item.reply_slot, nullptr);
  EXPECT_EQ(frame_text(item), bytes);
  ASSERT_NE(item.parsed, nullptr);
  EXPECT_STREQ(item.parsed->message_id, "m-1");
  EXPECT_STREQ(item.parsed->correlation_id, "c-m-1");
  EXPECT_STREQ(item.parsed->target, kNear);
  EXPECT_EQ(item.parsed->kind, wire(MessageKind::request));
  EXPECT_EQ(item.parsed->timeout_ms, 4000);
  ASSERT_EQ(item.parsed->header_count, 1u);
  EXPECT_STREQ(item.parsed->headers[0].key, "tenant");
  EXPECT_STREQ(item.parsed->headers[0].value, "acme");
  ingress_item_discard(&item);
  EXPECT_EQ(item.parsed, nullptr);
  EXPECT_EQ(item.frame, nullptr);
}

// The dispatcher routes a carried parse without decoding the frame: the
// frame is overwritten with bytes that are no envelope, which a parse of
// the frame would refuse as invalid_envelope. The job takes the item's
// frame unchanged, and a remote job keeps the parse for failover.
TEST(InboundParseOnce, TheDispatcherRoutesFromTheCarriedParse) {
  struct Case {
    const char* target;
    bool remote;
  };
  for (const Case& c : {Case{kNear, false}, Case{kFar, true}}) {
    SCOPED_TRACE(c.target);
    test::TestRuntime fx(64);
    test::FlatSnapshot snapshot(3);
    snapshot.route(kNear, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER,
                   {{"127.0.0.1", 7201, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}});
    snapshot.route(kFar, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", 7202, 1, 0}});
    ASSERT_EQ(fx.apply(snapshot), Status::ok);

    const std::string bytes = peer_request("m-2", c.target);
    ReplySlotRef slot(reply_slot_create());
    ASSERT_TRUE(slot);
    IngressItem item = test::make_item(bytes, slot.get());
    ParsedEnvelope parse;
    char text[128] = "";
    ASSERT_EQ(parsed_envelope_parse(bytes.data(), bytes.size(), &parse, text, sizeof text), Status::ok);
    item.parsed = parsed_envelope_move_to_heap(&parse);
    ASSERT_NE(item.parsed, nullptr);
    std::memset(item.frame, 0xff, item.length);
    const void* frame = item.frame;

    dispatch_item(fx.rt, &item);
    EXPECT_EQ(item.parsed, nullptr);  // taken by the dispatcher
    EXPECT_FALSE(slot->completed) << "answered: " << slot->message;
    EXPECT_EQ(fx.counter(Counter::deadletters_emitted), 0u);
    if (c.remote) {
      RemoteJob* popped = nullptr;
      ASSERT_TRUE(fx.rt->remote_ring.try_pop(&popped));
      const RemoteJobPtr job(popped);
      EXPECT_EQ(job->frame, frame);
      EXPECT_EQ(job->length, bytes.size());
      EXPECT_EQ(job->port, 7202);
      EXPECT_EQ(job->timeout_ms, 4000);
      EXPECT_EQ(job->expects_reply, 1u);
      EXPECT_STREQ(job->message_id, "m-2");
      EXPECT_EQ(job->has_parsed, 1u);
      EXPECT_STREQ(job->parsed.target, kFar);
      EXPECT_EQ(job->reply_slot, slot.get());
    } else {
      LocalJob* popped = nullptr;
      ASSERT_TRUE(fx.rt->local_ring.try_pop(&popped));
      const LocalJobPtr job(popped);
      EXPECT_EQ(job->frame, frame);
      EXPECT_EQ(job->port, 7201);
      EXPECT_EQ(job->timeout_ms, 4000);
      EXPECT_EQ(job->one_way, 0u);
      EXPECT_EQ(job->reply_slot, slot.get());
    }
  }
}

// Items with their parses still queued when the runtime goes: the stop
// drain answers each one's slot and frees the item, and so does destroy's
// drain (a leak or a second free shows under the address sanitizer).
TEST(InboundParseOnce, ItemsLeftInTheRingAreFreedByStopAndByDestroy) {
  {
    Unstarted u;
    u.ask(peer_request("m-stop", kNear));
    IngressItem item{};
    ASSERT_TRUE(ingress_try_pop(u.rt, &item));
    ASSERT_NE(item.parsed, nullptr);
    ReplySlotRef slot(item.reply_slot);
    reply_slot_retain(slot.get());
    u.rt->stopping.store(1);
    dispatch_item(u.rt, &item);  // as the dispatcher drains at stop
    EXPECT_TRUE(slot->completed);
    EXPECT_EQ(slot->kind, ReplyKind::deadletter);
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromArray(slot->payload, static_cast<int>(slot->payload_length)));
    EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_RUNTIME_STOPPED);
    EXPECT_EQ(dl.detail(), "runtime stopped before delivery");
    EXPECT_EQ(dl.original_envelope().message_id(), "m-stop");
  }
  {
    Unstarted u;
    for (const char* id : {"m-a", "m-b", "m-c"}) u.ask(peer_request(id, kFar));
    EXPECT_EQ(u.rt->ingress_ring.count(), 3u);
  }  // destroyed with three items queued
}

// A parse moved to the heap owns what the source owned; the source is left
// empty, so that clearing both frees each text once.
TEST(InboundParseOnce, AMovedParseLeavesItsSourceEmpty) {
  const std::string bytes = peer_request("m-3", kFar);
  ParsedEnvelope source;
  char text[128] = "";
  ASSERT_EQ(parsed_envelope_parse(bytes.data(), bytes.size(), &source, text, sizeof text), Status::ok);
  const char* target = source.target;
  ParsedEnvelopePtr moved(parsed_envelope_move_to_heap(&source));
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->target, target);
  EXPECT_STREQ(moved->message_id, "m-3");
  EXPECT_EQ(moved->header_count, 1u);
  const ParsedEnvelope zero{};
  EXPECT_EQ(std::memcmp(&source, &zero, sizeof zero), 0);
  EXPECT_EQ(parsed_envelope_move_to_heap(nullptr), nullptr);
  parsed_envelope_free(nullptr);
}

}  // namespace
}  // namespace vorlet::v2
