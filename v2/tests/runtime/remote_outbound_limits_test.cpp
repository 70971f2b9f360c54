// The remote worker's bounds: replies above the frame limit are not passed
// on, and a budget that cannot be read ends the job before any attempt.
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

// A response envelope of exactly `size` serialized bytes.
std::string sized_response(uint64_t size) {
  transport::Envelope env;
  env.set_message_id("r-1");
  env.set_correlation_id("m-1");
  env.set_kind(transport::MESSAGE_KIND_RESPONSE);
  uint64_t payload = size;
  for (int i = 0; i < 8; ++i) {
    env.set_payload(std::string(payload, 'r'));
    const uint64_t got = env.ByteSizeLong();
    if (got == size) break;
    payload = got > size ? payload - (got - size) : payload + (size - got);
  }
  EXPECT_EQ(env.ByteSizeLong(), size);
  return env.SerializeAsString();
}

// A peer's deadletter that carries a large original envelope.
std::string large_peer_deadletter(int32_t reason, uint64_t at_least) {
  transport::Deadletter dl;
  dl.mutable_original_envelope()->ParseFromString(request_bytes(false));
  dl.mutable_original_envelope()->set_payload(std::string(at_least, 'q'));
  dl.set_reason(static_cast<transport::DeadletterReason>(reason));
  dl.set_endpoint_attempt_count(1);
  return dl.SerializeAsString();
}

// A terminal reply larger than the runtime's max_frame_bytes (4 MiB at the
// default hint) reaches neither the host nor a requesting peer, whatever it
// is: the job ends with reason 7 on the endpoint that sent it, without a
// failover (the peer may own the envelope). A reply of exactly the limit
// goes on.
TEST(RemoteOutbound, RepliesAboveMaxFrameBytesAreNotPassedOn) {
  const uint64_t limit = limit_max_frame_bytes(limit_queue_capacity(0));
  ASSERT_EQ(limit, 4ull << 20);
  const char* const kTooLarge = "remote reply exceeds max frame bytes";

  // Relayed first: the requester's slot gets our deadletter instead, or the
  // reply of exactly the limit. (A reply wrongly passed on to the host
  // below would fill its response pipe, which this run reads only after
  // stop.)
  Plan plan{kSingleOwner, {{PeerStep::reply(kResponse, 0, "", sized_response(limit + 1))}}};
  plan.relayed = true;
  const Outcome refused = run(plan);
  EXPECT_TRUE(refused.responses.empty());
  EXPECT_TRUE(refused.deadletters.empty());
  EXPECT_EQ(refused.registry_entries, 0u);
  ASSERT_EQ(refused.slot_status, Status::ok);
  ASSERT_EQ(refused.slot_kind, ReplyKind::deadletter);
  EXPECT_EQ(refused.slot_reason, 7);
  EXPECT_EQ(refused.slot_message, kTooLarge);
  transport::Deadletter dl;
  ASSERT_TRUE(dl.ParseFromString(refused.slot_payload));
  EXPECT_EQ(dl.detail(), kTooLarge);
  EXPECT_EQ(dl.endpoint_attempt_count(), 1u);
  EXPECT_EQ(refused.count(Counter::remote_responses_forwarded), 0u);

  plan.endpoints = {{PeerStep::reply(kResponse, 0, "", sized_response(limit))}};
  const Outcome taken = run(plan);
  ASSERT_EQ(taken.slot_status, Status::ok);
  EXPECT_EQ(taken.slot_kind, ReplyKind::response);
  EXPECT_EQ(taken.slot_payload.size(), limit);
  EXPECT_EQ(taken.count(Counter::remote_responses_forwarded), 1u);

  const Expect ended{To::deadletter_pipe, 7, kTooLarge, 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}};
  const struct Row {
    const char* name;
    PeerStep reply;
  } rows[] = {
      {"response one byte above", PeerStep::reply(kResponse, 0, "", sized_response(limit + 1))},
      {"peer deadletter after ownership", PeerStep::reply(kDeadletter, 13, "", large_peer_deadletter(13, limit))},
      {"refusal before ownership", PeerStep::reply(kDeadletter, 4, "", large_peer_deadletter(4, limit))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome got = run({kRoundRobin, {{row.reply}, {respond()}}});
    check(got, ended);
    EXPECT_EQ(got.count(Counter::remote_transport_failures), 1u);
  }
}

uint32_t broken_clock(uint64_t*) noexcept { return 2; }

// A budget that cannot be read ends the job before any attempt.
TEST(RemoteOutbound, AJobWhoseBudgetCannotBeReadEndsBeforeAnyAttempt) {
  test::TestRuntime host(0, test::TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  ScriptedServer server({respond()});
  ASSERT_TRUE(host_pipe_writers_start(host.rt, HostPipe::deadletter));
  RemoteJobPtr job = test::make_remote_job(request_bytes(false), kGeneration, kLoopback, server.port());
  job->deadline_ns = deadline_after_ms(test_now(), 3000);
  remote_deliver(host.rt, job.get(), broken_clock);
  host_pipe_writers_finish(host.rt);
  host_handles_close_write_ends(&host.rt->host_handles);
  std::vector<std::string> frames;
  EXPECT_EQ(test::read_all_frames(host.handles.deadletter_read_fd, &frames), Status::closed);
  ASSERT_EQ(frames.size(), 1u);
  transport::Deadletter dl;
  ASSERT_TRUE(dl.ParseFromString(frames[0]));
  EXPECT_EQ(dl.reason(), 6);
  EXPECT_EQ(dl.detail(), "failed to capture remaining remote delivery budget");
  EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
  EXPECT_EQ(host.rt->counters.load(Counter::delivery_failures), 1u);
  EXPECT_EQ(server.accepted(), 0);
}

}  // namespace
}  // namespace vorlet::v2
