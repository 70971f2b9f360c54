// The ask client's calls under allocation failure, on a runtime that is
// created but not started (so that nothing but the call itself allocates):
// create gives a running client or NULL, begin gives -2 or what the
// runtime's submission says (not started yet: -3) and leaves no ask
// pending; no exception crosses the C interface and nothing leaks.
#include <gtest/gtest.h>

#include "client/ask_client.h"
#include "support/proc_probe.h"
#include "support/test_runtime.h"
#include "sweep/sweep_support.h"
#include "vorlet_v2.h"

namespace vorlet::v2::test {
namespace {

TEST(AskSweep, CreateGivesARunningClientOrNull) {
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  const size_t threads = baseline_thread_count();
  const uint64_t points = sweep("ask client create", [&](const Fault& fault) {
    FailingAllocations window(fault);
    vorlet_v2_AskClientHandle* client =
        across_c_interface([&] { return vorlet_v2_ask_client_create(to_handle(fx.rt), &fx.handles); });
    window.close();
    EXPECT_EQ(client == nullptr, window.fired()) << fault;
    vorlet_v2_ask_client_destroy(client);
    return window.fired();
  });
  EXPECT_GT(points, 0u);
  EXPECT_EQ(thread_count(), threads);
}

TEST(AskSweep, BeginGivesNomemOrTheSubmissionsRefusalAndLeavesNothingPending) {
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(to_handle(fx.rt), &fx.handles);
  ASSERT_NE(client, nullptr);
  vorlet_v2_RawRequestOptions options{};
  options.struct_size = sizeof options;
  options.message_id = "ask-1";
  options.source = "sweep.host";
  options.target = kLocalTarget;
  options.reply_to = "sweep.host";
  options.payload = "question";
  options.payload_len = 8;
  void* request = nullptr;
  uint64_t length = 0;
  ASSERT_EQ(vorlet_v2_client_build_raw_request(&options, &request, &length), 0);
  // Once before the sweep, so that every run finds the client's map grown.
  vorlet_v2_AskTicket* first = nullptr;
  ASSERT_EQ(vorlet_v2_ask_client_begin(client, request, length, &first), VORLET_V2_BAD_STATE);
  const uint64_t points = sweep("ask client begin", [&](const Fault& fault) {
    vorlet_v2_AskTicket* ticket = nullptr;
    FailingAllocations window(fault);
    const int32_t s = across_c_interface([&] { return vorlet_v2_ask_client_begin(client, request, length, &ticket); });
    window.close();
    EXPECT_EQ(s, window.fired() ? VORLET_V2_NOMEM : VORLET_V2_BAD_STATE) << fault;
    EXPECT_EQ(ticket, nullptr) << fault;
    EXPECT_EQ(from_handle(client)->client->pending_count(), 0u) << fault;
    return window.fired();
  });
  EXPECT_GT(points, 0u);
  vorlet_v2_client_bytes_release(request);
  vorlet_v2_ask_client_destroy(client);
}

}  // namespace
}  // namespace vorlet::v2::test
