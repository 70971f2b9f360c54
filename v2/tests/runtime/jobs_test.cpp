#include "runtime/jobs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/text.h"
#include "support/job_support.h"

namespace vorlet::v2 {
namespace {

// A job's free gives back everything it owns, wherever it lives: the frame
// buffer (to the pool), the host's table, every tried endpoint, inline or in
// the array, its message id and its reply slot reference. ASan reports what
// is missed.
TEST(Jobs, FreeGivesBackEverythingTheJobOwns) {
  for (const uint64_t tried : {uint64_t{0}, uint64_t{3}, uint64_t{6}}) {
    SCOPED_TRACE(tried);
    ReplySlot* slot = reply_slot_create();
    RemoteJob* job = remote_job_new();
    ASSERT_NE(job, nullptr);
    job->frame = frame_buffer_acquire(32);
    job->length = 32;
    job->host_table = test::host_table_for("next", 7002);
    job->host = job->host_table->table[0].endpoints[0].host;
    job->message_id = text_dup("m-1");
    reply_slot_retain(slot);
    job->reply_slot = slot;
    EndpointKey* entries = job->tried.inline_entries;
    if (tried > kTriedInlineEntries) {
      job->tried.capacity = 8;
      job->tried.heap = static_cast<EndpointKey*>(rt_calloc(8, sizeof(EndpointKey)));
      entries = job->tried.heap;
    }
    for (uint64_t i = 0; i < tried; ++i) entries[i] = EndpointKey{text_dup("tried"), static_cast<uint16_t>(i + 1)};
    job->tried.count = tried;
    EXPECT_EQ(tried_set_entries(&job->tried), entries);

    const uint64_t idle = frame_pool_idle();
    remote_job_free(job);
    EXPECT_EQ(frame_pool_idle(), idle + 1);
    EXPECT_EQ(slot->refs.load(), 1);
    reply_slot_release(slot);
  }

  ReplySlot* slot = reply_slot_create();
  LocalJob* job = local_job_new();
  job->frame = frame_buffer_acquire(32);
  job->length = 32;
  job->host_table = test::host_table_for("here", 7001);
  job->host = job->host_table->table[0].endpoints[0].host;
  reply_slot_retain(slot);
  job->reply_slot = slot;
  local_job_free(job);
  EXPECT_EQ(slot->refs.load(), 1);
  reply_slot_release(slot);
  local_job_free(nullptr);
  remote_job_free(nullptr);
}

// The first four endpoints stay inline; then an array of 8 takes them all
// and doubles when full. The set never holds an endpoint twice, and every
// host is its own copy.
TEST(TriedEndpointSet, KeepsEachEndpointOnceInlineThenInAGrowingArray) {
  TriedEndpointSet set;
  tried_set_init(&set);
  EXPECT_EQ(tried_set_add(nullptr, "h", 1), Status::invalid_arg);
  EXPECT_EQ(tried_set_add(&set, nullptr, 1), Status::invalid_arg);
  EXPECT_EQ(tried_set_add(&set, "", 1), Status::invalid_arg);
  EXPECT_EQ(tried_set_add(&set, "h", 0), Status::invalid_arg);
  EXPECT_EQ(tried_set_count(&set), 0u);
  EXPECT_EQ(tried_set_count(nullptr), 0u);

  const struct Step {
    uint64_t count, capacity;
  } steps[] = {{1, 0}, {4, 0}, {5, 8}, {8, 8}, {9, 16}, {17, 32}};
  uint16_t port = 0;
  for (const Step& step : steps) {
    while (tried_set_count(&set) < step.count) {
      std::string host = "host-" + std::to_string(++port);
      ASSERT_EQ(tried_set_add(&set, host.c_str(), port), Status::ok);
      host[0] = 'X';  // the set holds its own copy
    }
    EXPECT_EQ(set.capacity, step.capacity) << step.count;
    EXPECT_EQ(tried_set_entries(&set) == set.inline_entries, step.capacity == 0);
    // The same endpoint again changes nothing; a different port or a host
    // differing in case is another endpoint.
    EXPECT_EQ(tried_set_add(&set, "host-1", 1), Status::ok);
    EXPECT_EQ(tried_set_count(&set), step.count);
  }
  for (uint64_t i = 0; i < tried_set_count(&set); ++i) {
    EXPECT_STREQ(tried_set_entries(&set)[i].host, ("host-" + std::to_string(i + 1)).c_str());
    EXPECT_EQ(tried_set_entries(&set)[i].port, i + 1);
  }
  EXPECT_EQ(tried_set_add(&set, "host-1", 2), Status::ok);
  EXPECT_EQ(tried_set_add(&set, "HOST-1", 1), Status::ok);
  EXPECT_EQ(tried_set_count(&set), 19u);
  tried_set_clear(&set);
  EXPECT_EQ(tried_set_count(&set), 0u);
  EXPECT_EQ(set.heap, nullptr);
  tried_set_clear(nullptr);
}

}  // namespace
}  // namespace vorlet::v2
