#include "runtime/jobs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/alloc.h"
#include "codec/text.h"

namespace vorlet::v2 {
namespace {

TEST(FrameCopy, CopiesIntoAFrameBufferOrRefuses) {
  const char bytes[] = "serialized envelope";
  FrameBuffer frame;
  EXPECT_EQ(frame_copy_from_bytes(nullptr, 4, &frame), Status::invalid_arg);
  EXPECT_EQ(frame_copy_from_bytes(bytes, 0, &frame), Status::invalid_arg);
  EXPECT_EQ(frame_copy_from_bytes(bytes, sizeof bytes, nullptr), Status::invalid_arg);
  ASSERT_EQ(frame_copy_from_bytes(bytes, sizeof bytes, &frame), Status::ok);
  EXPECT_EQ(std::memcmp(frame.get(), bytes, sizeof bytes), 0);
  EXPECT_TRUE(frame_buffer_pooled(frame.get()));
}

// A job's free gives back everything it owns, wherever it lives: the frame
// buffer (to the pool), the host copy, every tried endpoint, inline or in
// the array, and its reply slot reference. ASan reports what is missed.
TEST(Jobs, FreeGivesBackEverythingTheJobOwns) {
  for (const uint64_t tried : {uint64_t{0}, uint64_t{3}, uint64_t{6}}) {
    SCOPED_TRACE(tried);
    ReplySlot* slot = reply_slot_create();
    RemoteJob* job = remote_job_new();
    ASSERT_NE(job, nullptr);
    job->frame = frame_buffer_acquire(32);
    job->length = 32;
    job->host = text_dup("next");
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
  job->host = text_dup("here");
  reply_slot_retain(slot);
  job->reply_slot = slot;
  local_job_free(job);
  EXPECT_EQ(slot->refs.load(), 1);
  reply_slot_release(slot);
  local_job_free(nullptr);
  remote_job_free(nullptr);
}

}  // namespace
}  // namespace vorlet::v2
