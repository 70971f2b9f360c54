// Failover resolves a remote job again from the parse the dispatcher made
// and handed to the job, not from a second parse of the frame.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/parsed_envelope.h"
#include "runtime/dispatcher.h"
#include "runtime/jobs.h"
#include "runtime/remote_outbound.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/job_support.h"
#include "support/test_runtime.h"
#include "support/runtime_probe.h"

namespace vorlet::v2 {
namespace {

constexpr const char* kFar = "svc.far";

// A remote job for kFar as the dispatcher leaves it: resolved to the first
// endpoint, its frame replaced by bytes that are no envelope, so that any
// parse of the frame fails; with_parse says whether it carries the parse.
RemoteJobPtr job_for(const std::string& envelope, bool with_parse) {
  RemoteJobPtr job = test::make_remote_job(envelope, 1, "127.0.0.1", 7101);
  if (with_parse) {
    char text[128] = "";
    EXPECT_EQ(parsed_envelope_parse(envelope.data(), envelope.size(), &job->parsed, text, sizeof text), Status::ok);
    job->has_parsed = 1;
  }
  std::memset(job->frame, 0xff, job->length);
  return job;
}

TEST(FailoverParse, FailoverResolvesFromTheJobsParseNotTheFrame) {
  test::TestRuntime fx(64);
  test::FlatSnapshot snapshot(1);
  snapshot.route(kFar, VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN,
                 {{"127.0.0.1", 7101, 1, 0}, {"127.0.0.2", 7102, 1, 0}});
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  const std::string envelope = test::request_envelope({.message_id = "m-far", .target = kFar});

  RemoteJobPtr kept = job_for(envelope, true);
  char text[160] = "";
  ASSERT_EQ(remote_outbound_failover_reresolve(fx.rt, kept.get(), text, sizeof text), Status::ok) << text;
  EXPECT_STREQ(kept->host, "127.0.0.2");
  EXPECT_EQ(kept->port, 7102);
  EXPECT_EQ(kept->host_table, test::active_table(fx.rt).ref);

  // Without the parse the frame is decoded, and these bytes are refused.
  RemoteJobPtr bare = job_for(envelope, false);
  text[0] = '\0';
  EXPECT_NE(remote_outbound_failover_reresolve(fx.rt, bare.get(), text, sizeof text), Status::ok);
  EXPECT_STRNE(text, "");
  EXPECT_STREQ(bare->host, "127.0.0.1");
}

// The dispatcher hands its parse to the remote job it makes.
TEST(FailoverParse, TheDispatcherHandsItsParseToTheRemoteJob) {
  test::TestRuntime fx(64);
  test::FlatSnapshot snapshot(1);
  snapshot.route(kFar, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", 7101, 1, 0}});
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  IngressItem item = test::make_item(test::request_envelope({.message_id = "m-far", .target = kFar}));
  dispatch_item(fx.rt, &item);
  RemoteJob* popped = nullptr;
  ASSERT_TRUE(fx.rt->remote_ring.try_pop(&popped));
  const RemoteJobPtr job(popped);
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->has_parsed, 1u);
  EXPECT_STREQ(job->parsed.target, kFar);
  EXPECT_STREQ(job->parsed.message_id, "m-far");
  EXPECT_STREQ(job->host, "127.0.0.1");
}

}  // namespace
}  // namespace vorlet::v2
