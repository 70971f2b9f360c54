#include "runtime/jobs.h"

#include <cstring>

#include "codec/alloc.h"

namespace vorlet::v2 {

void ingress_item_discard(IngressItem* item) noexcept {
  if (item == nullptr) return;
  frame_buffer_release(item->frame);
  reply_slot_release(item->reply_slot);
  *item = IngressItem{nullptr, 0, IngressOrigin::host, nullptr};
}

void tried_set_clear(TriedEndpointSet* set) noexcept {
  if (set == nullptr) return;
  EndpointKey* entries = set->heap != nullptr ? set->heap : set->inline_entries;
  for (uint64_t i = 0; i < set->count; ++i) rt_free(const_cast<char*>(entries[i].host));
  rt_free(set->heap);
  *set = TriedEndpointSet{};
}

LocalJob* local_job_new() noexcept { return static_cast<LocalJob*>(rt_calloc(1, sizeof(LocalJob))); }

RemoteJob* remote_job_new() noexcept { return static_cast<RemoteJob*>(rt_calloc(1, sizeof(RemoteJob))); }

void local_job_free(LocalJob* job) noexcept {
  if (job == nullptr) return;
  frame_buffer_release(job->frame);
  rt_free(job->host);
  reply_slot_release(job->reply_slot);
  rt_free(job);
}

void remote_job_free(RemoteJob* job) noexcept {
  if (job == nullptr) return;
  frame_buffer_release(job->frame);
  rt_free(job->host);
  tried_set_clear(&job->tried);
  reply_slot_release(job->reply_slot);
  rt_free(job);
}

Status frame_copy_from_bytes(const void* bytes, uint64_t length, FrameBuffer* out) noexcept {
  if (bytes == nullptr || out == nullptr || length == 0) return Status::invalid_arg;
  out->reset();
  FrameBuffer frame(frame_buffer_acquire(length));
  if (!frame) return Status::nomem;
  std::memcpy(frame.get(), bytes, length);
  *out = std::move(frame);
  return Status::ok;
}

}  // namespace vorlet::v2
