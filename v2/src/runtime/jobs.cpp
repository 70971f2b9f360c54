#include "runtime/jobs.h"

#include <cstring>
#include <new>

#include "base/alloc.h"
#include "base/text.h"
#include "runtime/deadletter_emit.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

// What every job owns: its frame buffer, its host's table, its slot
// reference.
void release_head(JobHead* job) noexcept {
  frame_buffer_release(job->frame);
  route_table_ref_release(job->host_table);
  reply_slot_release(job->reply_slot);
}

// A zeroed job of `size` bytes: an idle one of the list, or a new block.
void* take_job(JobFreeList* list, uint64_t size) noexcept {
  void* block = nullptr;
  if (list != nullptr) {
    MutexLock hold(&list->lock);
    block = list->head;
    if (block != nullptr) {
      list->head = *static_cast<void**>(block);
      --list->count;
    }
  }
  if (block == nullptr) {
    block = rt_calloc(1, size);
    if (block == nullptr) return nullptr;
  } else {
    std::memset(block, 0, size);
  }
  static_cast<JobHead*>(block)->home = list;
  return block;
}

// After release_head: back to the job's list while it has room, else freed.
void give_back(JobHead* job) noexcept {
  JobFreeList* list = job->home;
  if (list != nullptr) {
    MutexLock hold(&list->lock);
    if (list->count < list->cap) {
      *reinterpret_cast<void**>(job) = list->head;
      list->head = job;
      ++list->count;
      return;
    }
  }
  rt_free(job);
}

}  // namespace

void job_free_list_init(JobFreeList* list, uint64_t cap) noexcept {
  MutexLock hold(&list->lock);
  list->head = nullptr;
  list->count = 0;
  list->cap = cap;
}

void job_free_list_clear(JobFreeList* list) noexcept {
  if (list == nullptr) return;
  MutexLock hold(&list->lock);
  while (list->head != nullptr) {
    void* next = *static_cast<void**>(list->head);
    rt_free(list->head);
    list->head = next;
  }
  list->count = 0;
}

uint64_t job_free_list_count(JobFreeList* list) noexcept {
  if (list == nullptr) return 0;
  MutexLock hold(&list->lock);
  return list->count;
}

void ingress_item_discard(IngressItem* item) noexcept {
  if (item == nullptr) return;
  frame_buffer_release(item->frame);
  reply_slot_release(item->reply_slot);
  parsed_envelope_free(item->parsed);
  *item = IngressItem{};
}

void job_fail(Runtime* rt, const JobHead& job, DeadletterReason reason, const char* detail,
              uint32_t attempt_count) noexcept {
  if (job.reply_slot != nullptr) reply_registry_remove(&rt->reply_registry.get(), job.reply_slot);
  deadletter_emit(rt, job.frame, job.length, reason, detail, job.generation, job.host, job.port,
                  attempt_count, job.reply_slot);
}

Status tried_set_add(TriedEndpointSet* set, const char* host, uint16_t port) noexcept {
  if (set == nullptr || host == nullptr || host[0] == '\0' || port == 0) return Status::invalid_arg;
  if (endpoint_list_contains(tried_set_entries(set), set->count, host, port) != 0) return Status::ok;
  HeapBlock copy(text_dup(host));
  if (!copy) return Status::nomem;
  if (set->heap == nullptr && set->count == kTriedInlineEntries) {
    constexpr uint64_t kFirstHeapEntries = 8;
    auto* heap = static_cast<EndpointKey*>(rt_calloc(kFirstHeapEntries, sizeof(EndpointKey)));
    if (heap == nullptr) return Status::nomem;
    std::memcpy(heap, set->inline_entries, sizeof set->inline_entries);
    std::memset(set->inline_entries, 0, sizeof set->inline_entries);
    set->heap = heap;
    set->capacity = kFirstHeapEntries;
  } else if (set->heap != nullptr && set->count == set->capacity) {
    if (set->capacity > UINT64_MAX / 2 / sizeof(EndpointKey)) return Status::nomem;
    const uint64_t grown = set->capacity * 2;
    auto* heap = static_cast<EndpointKey*>(rt_realloc(set->heap, grown * sizeof(EndpointKey)));
    if (heap == nullptr) return Status::nomem;
    std::memset(heap + set->capacity, 0, (grown - set->capacity) * sizeof(EndpointKey));
    set->heap = heap;
    set->capacity = grown;
  }
  EndpointKey* entries = set->heap != nullptr ? set->heap : set->inline_entries;
  entries[set->count] = EndpointKey{static_cast<const char*>(copy.release()), port};
  ++set->count;
  return Status::ok;
}

void tried_set_clear(TriedEndpointSet* set) noexcept {
  if (set == nullptr) return;
  EndpointKey* entries = set->heap != nullptr ? set->heap : set->inline_entries;
  for (uint64_t i = 0; i < set->count; ++i) rt_free(const_cast<char*>(entries[i].host));
  rt_free(set->heap);
  *set = TriedEndpointSet{};
}

LocalJob* local_job_new(JobFreeList* list) noexcept {
  return static_cast<LocalJob*>(take_job(list, sizeof(LocalJob)));
}

RemoteJob* remote_job_new(JobFreeList* list) noexcept {
  auto* job = static_cast<RemoteJob*>(take_job(list, sizeof(RemoteJob)));
  // The parse is the one member with a destructor: its life begins here,
  // empty (as the zeroed block already reads), and ends in remote_job_free.
  if (job != nullptr) new (&job->parsed) ParsedEnvelope();
  return job;
}

void local_job_free(LocalJob* job) noexcept {
  if (job == nullptr) return;
  release_head(job);
  give_back(job);
}

void remote_job_free(RemoteJob* job) noexcept {
  if (job == nullptr) return;
  tried_set_clear(&job->tried);
  rt_free(job->message_id);
  job->parsed.~ParsedEnvelope();  // frees what the parse owns
  release_head(job);
  give_back(job);
}

}  // namespace vorlet::v2
