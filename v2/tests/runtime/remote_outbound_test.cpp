// What the remote worker makes of a job for each way its peers behave:
// failover, the peer's answer or deadletter passed on, relayed requests and
// one-way deliveries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/remote_outbound_support.h"

namespace vorlet::v2 {
namespace {

using namespace test::outbound;
using test::PeerStep;
using test::ScriptedServer;

// What becomes of a job for each way the peers behave: one exchange per
// attempt, failover on transport failures and on refusals before the
// peer's handler took the envelope, the peer's answer passed on, and every
// other end a deadletter with its counters and event.
TEST(RemoteOutbound, EachPeerBehaviourHasItsOutcome) {
  const struct Row {
    const char* name;
    Plan plan;
    Expect want;
  } rows[] = {
      {"single owner on a closed port",
       {kSingleOwner, {kClosed}},
       {To::deadletter_pipe, 7, "single-owner endpoint is unavailable", 1, 0, 0, 0, 1, {{11, 0, 1}}, {}}},
      {"round robin: the first closed, the second answers",
       {kRoundRobin, {kClosed, {respond()}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {-1, 1, 0}}},
      {"failover to an endpoint flagged local still goes over TCP",
       {kRoundRobin, {kClosed, {respond(), VORLET_V2_ENDPOINT_FLAG_LOCAL}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {-1, 1}}},
      {"every endpoint closed",
       {kRoundRobin, {kClosed, kClosed}},
       {To::deadletter_pipe, 7, "no eligible endpoint for route strategy", 2, 1, 1, 0, 1, {{11, 0, 2}}, {}}},
      {"a peer deadletter after ownership is forwarded",
       {kSingleOwner, {{refuse(13, "peer budget spent")}}},
       {To::forwarded_deadletter, 13, "peer budget spent", 1, 0, 0, 0, 0, {{8, 13, 1}}, {}}},
      {"peer refusal 4 before ownership fails over",
       {kRoundRobin, {{refuse(4)}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {1, 1}}},
      {"peer refusal 5 before ownership fails over",
       {kRoundRobin, {{refuse(5)}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {1, 1}}},
      {"peer refusal 8 before ownership fails over",
       {kRoundRobin, {{refuse(8)}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {1, 1}}},
      {"peer refusal with nowhere else to go",
       {kSingleOwner, {{refuse(5, "handler queue full")}}},
       {To::deadletter_pipe, 5, "handler queue full", 1, 0, 0, 0, 1, {}, {}}},
      {"peer refusal without a detail",
       {kSingleOwner, {{refuse(4)}}},
       {To::deadletter_pipe, 4, "remote endpoint rejected before handler ownership", 1, 0, 0, 0, 1, {}, {}}},
      {"a peer that never replies",
       {kSingleOwner, {{PeerStep::stay_silent()}}, false, 300},
       {To::deadletter_pipe, 11, "tcp reply timed out", 1, 0, 0, 0, 0, {{9, 0, 1}}, {1}}},
      {"a new snapshot before the failover",
       {kRoundRobin, {{PeerStep::close_early()}, {respond()}}, false, 3000, false, true},
       {To::deadletter_pipe, 7, "route generation changed before failover attempt", 1, 0, 0, 0, 1, {{11, 0, 1}},
        {1, 0}}},
      {"expired while queued",
       {kSingleOwner, {{respond()}}, false, 3000, true},
       {To::deadletter_pipe, 13, "remote delivery budget expired before transport attempt", 0, 0, 0, 0, 0, {}, {0}}},
      {"a peer failure reply",
       {kSingleOwner, {{PeerStep::reply(0, 10, "endpoint drained", "")}}},
       {To::deadletter_pipe, 10, "endpoint drained", 1, 0, 0, 0, 0, {}, {}}},
      {"a response that is no envelope",
       {kSingleOwner, {{PeerStep::reply(kResponse, 0, "", "\xFF\xFF not an envelope")}}},
       {To::deadletter_pipe, 7, "tcp response decode failed", 1, 0, 0, 0, 0, {{11, 0, 1}}, {}}},
      {"a response that is a request",
       {kRoundRobin, {{PeerStep::reply(kResponse, 0, "", request_bytes(false))}, {respond()}}},
       {To::deadletter_pipe, 7, "tcp response decode failed", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a reply kind outside the protocol",
       {kSingleOwner, {{PeerStep::reply(5, 0, "", "whatever")}}},
       {To::deadletter_pipe, 6, "remote transport returned no terminal result", 1, 0, 0, 0, 0, {}, {}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome got = run(row.plan);
    check(got, row.want);
    if (row.plan.timeout_ms == 300) {
      EXPECT_GE(got.elapsed_ms, 250u);
      EXPECT_LT(got.elapsed_ms, 2000u);
    }
  }
}

// A peer's reply is passed on only when it is about the job: a response
// whose correlation_id is not the job's message_id, or a deadletter whose
// original envelope is another request, would answer whoever asked that
// one. Such a reply, and one whose reason is outside 1 to 14, ends the job
// with its own deadletter (reason 7, without failover: the peer may own the
// envelope), so the host hears of this job once and of no other. A peer
// deadletter that names no envelope goes on with the job's.
TEST(RemoteOutbound, AReplyThatIsNotAboutTheJobEndsItWithItsOwnDeadletter) {
  const std::string prefixed_id = std::string("m-1\0tail", 8);
  const struct Row {
    const char* name;
    Plan plan;
    Expect want;
  } rows[] = {
      {"a response to another request",
       {kRoundRobin, {{answer_to("m-2")}, {respond()}}},
       {To::deadletter_pipe, 7, "remote response correlation_id does not match the request message_id", 1, 0, 0, 0,
        0, {{11, 0, 1}}, {1, 0}}},
      {"a response whose correlation_id goes on past the job's message_id",
       {kSingleOwner, {{answer_to(prefixed_id)}}},
       {To::deadletter_pipe, 7, "remote response correlation_id does not match the request message_id", 1, 0, 0, 0,
        0, {{11, 0, 1}}, {1}}},
      {"a response to another request for a one-way job",
       {kSingleOwner, {{answer_to("m-2")}}, true},
       {To::deadletter_pipe, 7, "remote response correlation_id does not match the request message_id", 1, 0, 0, 0,
        0, {{11, 0, 1}}, {1}}},
      {"a peer deadletter about another request",
       {kRoundRobin, {{refuse(13, "peer budget spent", "m-2")}, {respond()}}},
       {To::deadletter_pipe, 7, "remote deadletter original_envelope message_id does not match the request message_id",
        1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a refusal before ownership about another request",
       {kRoundRobin, {{refuse(4, "queue full", "m-2")}, {respond()}}},
       {To::deadletter_pipe, 7, "remote deadletter original_envelope message_id does not match the request message_id",
        1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a peer deadletter that names no envelope takes the job's",
       {kSingleOwner, {{refuse(13, "peer budget spent", nullptr)}}},
       {To::forwarded_deadletter, 13, "peer budget spent", 1, 0, 0, 0, 0, {{8, 13, 1}}, {1}}},
      {"a peer deadletter with reason 0",
       {kRoundRobin, {{refuse(0, "no reason")}, {respond()}}},
       {To::deadletter_pipe, 7, "no reason", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a peer deadletter with reason 15",
       {kSingleOwner, {{refuse(15, "a reason from a newer peer")}}},
       {To::deadletter_pipe, 7, "a reason from a newer peer", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1}}},
      {"a peer deadletter with reason 99 and no detail",
       {kSingleOwner, {{refuse(99, "")}}},
       {To::deadletter_pipe, 7, "remote peer reason is outside 1 to 14", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1}}},
      {"a failure reply with reason 0",
       {kRoundRobin, {{PeerStep::reply(0, 0, "no reason given", "")}, {respond()}}},
       {To::deadletter_pipe, 7, "no reason given", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a failure reply with reason 15 and no text",
       {kSingleOwner, {{PeerStep::reply(0, 15, "", "")}}},
       {To::deadletter_pipe, 7, "tcp peer returned no terminal result", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome got = run(row.plan);
    // One outcome, and it is this job's: nothing reaches the host that an
    // ask for another message id would take.
    check(got, row.want);
    EXPECT_EQ(got.count(Counter::remote_transport_failures), row.want.to == To::deadletter_pipe ? 1u : 0u);
    for (const transport::Deadletter& dl : got.deadletters) EXPECT_EQ(dl.original_envelope().message_id(), "m-1");
  }
}

// A relayed request whose requester has its answer or has given up (its
// wait timed out) is not sent: it ends as expired with no attempt, and the
// worker moves on at once.
TEST(RemoteOutbound, ARelayedRequestWhoseRequesterLeftIsNotSent) {
  for (const Plan::Requester requester : {Plan::Requester::gave_up, Plan::Requester::answered}) {
    SCOPED_TRACE(requester == Plan::Requester::gave_up ? "gave up" : "answered");
    Plan plan{kSingleOwner, {{PeerStep::stay_silent()}}, false, 3000};
    plan.relayed = true;
    plan.requester = requester;
    const Outcome got = run(plan);
    EXPECT_EQ(got.connections, std::vector<int>{0});
    EXPECT_LT(got.elapsed_ms, 2000u);
    EXPECT_TRUE(got.responses.empty());
    EXPECT_TRUE(got.deadletters.empty());
    EXPECT_EQ(got.count(Counter::deadletters_emitted), 1u);
    EXPECT_EQ(got.count(Counter::failover_exhausted), 0u);
    EXPECT_EQ(got.count(Counter::remote_reply_timeouts), 0u);
    EXPECT_TRUE(got.events.empty());
    EXPECT_EQ(got.registry_entries, requester == Plan::Requester::gave_up ? 1u : 0u);  // the abandoned id
    ASSERT_EQ(got.slot_status, Status::ok);
    if (requester == Plan::Requester::answered) {
      // The first completion stays; the job's deadletter found the slot done.
      EXPECT_EQ(got.slot_kind, ReplyKind::none);
      EXPECT_EQ(got.slot_message, "answered already");
      continue;
    }
    // Nobody takes it, but the slot holds what the job ended with.
    EXPECT_EQ(got.slot_kind, ReplyKind::deadletter);
    EXPECT_EQ(got.slot_reason, 13);
    EXPECT_EQ(got.slot_message, "remote delivery budget expired before transport attempt");
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(got.slot_payload));
    EXPECT_EQ(dl.reason(), 13);
    EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
    EXPECT_EQ(dl.original_envelope().message_id(), "m-1");
  }
}

// A request relayed from a remote peer gets its answer through its
// requester's slot, never on the host's pipes, and its registry entry is
// gone once the slot is answered.
TEST(RemoteOutbound, RelayedRequestsAnswerTheirRequestersSlot) {
  const struct Row {
    const char* name;
    Endpoint peer;
    ReplyKind kind;
    int32_t reason;
    const char* message;
  } rows[] = {
      {"response", {respond()}, ReplyKind::response, 0, ""},
      {"peer deadletter", {refuse(13, "peer budget spent")}, ReplyKind::deadletter, 13, "peer budget spent"},
      {"transport failure", kClosed, ReplyKind::deadletter, 7, "single-owner endpoint is unavailable"},
      {"response to another request", {answer_to("m-2")}, ReplyKind::deadletter, 7,
       "remote response correlation_id does not match the request message_id"},
      {"peer deadletter that names no envelope", {refuse(13, "peer budget spent", nullptr)}, ReplyKind::deadletter,
       13, "peer budget spent"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Plan plan{kSingleOwner, {row.peer}};
    plan.relayed = true;
    const Outcome got = run(plan);
    EXPECT_TRUE(got.responses.empty());
    EXPECT_TRUE(got.deadletters.empty());
    EXPECT_EQ(got.registry_entries, 0u);
    ASSERT_EQ(got.slot_status, Status::ok);
    EXPECT_EQ(got.slot_kind, row.kind);
    EXPECT_EQ(got.slot_reason, row.reason);
    EXPECT_EQ(got.slot_message, row.message);
    if (row.kind == ReplyKind::response) {
      EXPECT_TRUE(got.slot_payload == response_bytes());
      continue;
    }
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(got.slot_payload));
    EXPECT_EQ(dl.reason(), row.reason);
    EXPECT_EQ(dl.endpoint_attempt_count(), 1u);
    EXPECT_EQ(dl.original_envelope().message_id(), "m-1");
  }
}

// An empty terminal reply is not passed on as if it were one: an empty
// peer deadletter (for any job) and an empty response to a request that
// awaits one end as a delivery failure, counted there and not as
// forwarded.
TEST(RemoteOutbound, AnEmptyTerminalReplyIsADeliveryFailure) {
  const struct Row {
    const char* name;
    uint32_t kind;
    bool one_way;
  } rows[] = {
      {"empty deadletter, two-way", kDeadletter, false},
      {"empty deadletter, one-way", kDeadletter, true},
      {"empty response, two-way", kResponse, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Plan plan{kSingleOwner, {{PeerStep::reply(row.kind, 13, "", "")}}};
    plan.one_way = row.one_way;
    check(run(plan), {To::deadletter_pipe, 6, "remote transport returned no terminal result", 1, 0, 0, 0, 0, {}, {}});
  }
}

// Bytes that claim to be a peer's deadletter but do not decode never reach
// the host: the job's own deadletter goes instead, without a failover (the
// peer may own the envelope already).
TEST(RemoteOutbound, AnUndecodablePeerDeadletterIsNotForwarded) {
  const PeerStep garbage = PeerStep::reply(kDeadletter, 5, "", "\xFF\xFF not a deadletter");
  const Outcome got = run({kRoundRobin, {{garbage}, {respond()}}});
  check(got, {To::deadletter_pipe, 7, "deadletter protobuf parse failed", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}});
  EXPECT_EQ(got.count(Counter::remote_transport_failures), 1u);
}

// A peer's text is raw bytes from the network; as a detail of a deadletter
// built here it is made valid UTF-8, so that the deadletter still parses.
TEST(RemoteOutbound, PeerTextsBecomeValidDetails) {
  const Outcome got = run({kSingleOwner, {{PeerStep::reply(0, 10, "drained \xC3\x28 \xFF!", "")}}});
  ASSERT_EQ(got.deadletter_frames.size(), 1u);
  check(got, {To::deadletter_pipe, 10, "drained ?( ?!", 1, 0, 0, 0, 0, {}, {}});
}

// A one-way request that a peer accepted (an empty response) is delivered:
// counted as a response, nothing for the host, no deadletter; a relayed
// one answers its requester with an empty response.
TEST(RemoteOutbound, AnAcceptedOneWayRequestIsDelivered) {
  Plan plan{kRoundRobin, {kClosed, {PeerStep::reply(kResponse, 0, "", "")}}};
  plan.one_way = true;
  const Outcome got = run(plan);
  check(got, {To::delivered, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {-1, 1}});

  plan.relayed = true;
  const Outcome relayed = run(plan);
  EXPECT_TRUE(relayed.responses.empty());
  EXPECT_TRUE(relayed.deadletters.empty());
  ASSERT_EQ(relayed.slot_status, Status::ok);
  EXPECT_EQ(relayed.slot_kind, ReplyKind::response);
  EXPECT_EQ(relayed.slot_reason, 0);
  EXPECT_TRUE(relayed.slot_payload.empty());
  EXPECT_EQ(relayed.registry_entries, 0u);
}

}  // namespace
}  // namespace vorlet::v2
