#include "observe/dubbing_registry.h"

#include <cstddef>
#include <cstring>

#include "base/record.h"
#include "base/text.h"
#include "runtime/host_pipes.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

static_assert(sizeof(DubbingJobRequest) == 40);
static_assert(offsetof(DubbingJobRequest, submit_label) == 8);
static_assert(offsetof(DubbingJobRequest, submit_text_1) == 16);
static_assert(offsetof(DubbingJobRequest, submit_text_2) == 24);
static_assert(offsetof(DubbingJobRequest, submit_text_3) == 32);

constexpr FieldSpan kJobUpdateFields[] = {
    VORLET_FIELD_AT(DubbingJobUpdate, struct_size, 0),
    VORLET_FIELD_AT(DubbingJobUpdate, handle, 8),
    VORLET_FIELD_AT(DubbingJobUpdate, state, 16),
    VORLET_FIELD_AT(DubbingJobUpdate, stage, 20),
    VORLET_FIELD_AT(DubbingJobUpdate, progress, 24),
    VORLET_PADDING_AT(28, 4),  // padding before the texts: never read
    VORLET_FIELD_AT(DubbingJobUpdate, status_reason, 32),
    VORLET_FIELD_AT(DubbingJobUpdate, status_text_1, 40),
    VORLET_FIELD_AT(DubbingJobUpdate, status_text_2, 48),
};
static_assert(record_table_covers<DubbingJobUpdate>(kJobUpdateFields, 56));

constexpr FieldSpan kJobRecordFields[] = {
    VORLET_FIELD_AT(DubbingJobRecord, struct_size, 0),
    VORLET_FIELD_AT(DubbingJobRecord, handle, 8),
    VORLET_FIELD_AT(DubbingJobRecord, state, 16),
    VORLET_FIELD_AT(DubbingJobRecord, stage, 20),
    VORLET_FIELD_AT(DubbingJobRecord, progress, 24),
    VORLET_FIELD_AT(DubbingJobRecord, cancel_requested, 28),
    VORLET_FIELD_AT(DubbingJobRecord, revision, 32),
    VORLET_FIELD_AT(DubbingJobRecord, created_ns, 40),
    VORLET_FIELD_AT(DubbingJobRecord, updated_ns, 48),
    VORLET_FIELD_AT(DubbingJobRecord, submit_label, 56),
    VORLET_FIELD_AT(DubbingJobRecord, submit_text_1, 184),
    VORLET_FIELD_AT(DubbingJobRecord, submit_text_2, 696),
    VORLET_FIELD_AT(DubbingJobRecord, submit_text_3, 1208),
    VORLET_FIELD_AT(DubbingJobRecord, status_reason, 1272),
    VORLET_FIELD_AT(DubbingJobRecord, status_text_1, 1464),
    VORLET_FIELD_AT(DubbingJobRecord, status_text_2, 1976),
};
static_assert(record_table_covers<DubbingJobRecord>(kJobRecordFields, 2488));

namespace {

constexpr uint64_t kUpdateMinSize = offsetof(DubbingJobUpdate, progress) + sizeof(uint32_t);
constexpr uint32_t kMaxProgress = 1000;

bool is_terminal(uint32_t state) noexcept {
  return state == VORLET_V2_DUBBING_JOB_SUCCEEDED || state == VORLET_V2_DUBBING_JOB_FAILED ||
         state == VORLET_V2_DUBBING_JOB_CANCELLED;
}

// The whole field is cleared first, so no byte of an earlier, longer text
// survives behind the new terminator.
template <size_t N>
void set_text(char (&field)[N], const char* text) noexcept {
  std::memset(field, 0, N);
  text_copy_bounded(field, N, text);
}

// A free slot, or the terminal job changed longest ago; NULL when every
// slot holds a live job.
DubbingSlot* take_slot(DubbingRegistry* reg) noexcept REQUIRES(reg->mutex) {
  for (DubbingSlot& slot : reg->slots) {
    if (slot.in_use == 0) {
      ++reg->used_slots;
      return &slot;
    }
  }
  DubbingSlot* oldest = nullptr;
  for (DubbingSlot& slot : reg->slots) {
    if (!is_terminal(slot.job.state)) continue;
    if (oldest == nullptr || slot.job.revision < oldest->job.revision) oldest = &slot;
  }
  return oldest;
}

// The frame of every change: the clock and the state check before the
// registry's lock, then the change under it and, when it changed
// something, the monitor notice while the lock is still held.
class Change {
 public:
  Change(const Runtime* rt, MonotonicClock clock, bool needs_started) noexcept {
    if (clock(&now_) != 0) {
      refused_ = Status::io;
    } else if (needs_started && rt->state.load(std::memory_order_acquire) != RuntimeState::started) {
      refused_ = Status::bad_state;
    }
  }
  // ok when the change may go ahead (at time now()), else why not.
  Status refused() const noexcept { return refused_; }
  uint64_t now() const noexcept { return now_; }

 private:
  uint64_t now_ = 0;
  Status refused_ = Status::ok;
};

// A change's outcome, with the monitor notice when it changed something.
Status noticed(Runtime* rt, Status s) noexcept REQUIRES(rt->dubbing.mutex) {
  if (s == Status::ok) host_pipes_monitor_change_notice(rt);
  return s;
}

}  // namespace

void dubbing_registry_init(DubbingRegistry* reg) noexcept {
  if (reg == nullptr) return;
  MutexLock hold(&reg->mutex);
  reg->used_slots = 0;
  for (DubbingSlot& slot : reg->slots) slot = DubbingSlot{};
  reg->next_handle = 1;
  reg->next_revision = 1;
}

Status dubbing_registry_submit(DubbingRegistry* reg, const DubbingJobRequest* request, uint64_t now,
                               uint64_t* handle_out) noexcept {
  if (record_effective_size(record_read_declared(request), sizeof(DubbingJobRequest)) < sizeof(DubbingJobRequest)) {
    return Status::invalid_arg;
  }
  if (request->submit_text_1 == nullptr || request->submit_text_2 == nullptr || request->submit_text_3 == nullptr) {
    return Status::invalid_arg;
  }
  DubbingSlot* slot = take_slot(reg);
  if (slot == nullptr) return Status::would_block;

  std::memset(slot, 0, sizeof *slot);
  slot->in_use = 1;
  DubbingJobRecord& job = slot->job;
  job.handle = reg->next_handle++;
  job.state = VORLET_V2_DUBBING_JOB_QUEUED;
  job.stage = VORLET_V2_DUBBING_STAGE_PREFLIGHT;
  job.revision = reg->next_revision++;
  job.created_ns = now;
  job.updated_ns = now;
  text_copy_bounded(job.submit_label, sizeof job.submit_label, request->submit_label);
  text_copy_bounded(job.submit_text_1, sizeof job.submit_text_1, request->submit_text_1);
  text_copy_bounded(job.submit_text_2, sizeof job.submit_text_2, request->submit_text_2);
  text_copy_bounded(job.submit_text_3, sizeof job.submit_text_3, request->submit_text_3);
  *handle_out = job.handle;
  return Status::ok;
}

Status dubbing_registry_update(DubbingRegistry* reg, const DubbingJobUpdate* update, uint64_t now) noexcept {
  const uint64_t declared = record_read_declared(update);
  if (declared != 0 && declared < kUpdateMinSize) return Status::invalid_arg;
  DubbingJobUpdate in{};  // uncovered text pointers count as NULL
  record_read(update, in, kJobUpdateFields);
  if (in.handle == 0 || in.progress > kMaxProgress) return Status::invalid_arg;
  DubbingSlot* slot = dubbing_registry_find(reg, in.handle);
  if (slot == nullptr || is_terminal(slot->job.state)) return Status::bad_state;

  DubbingJobRecord& job = slot->job;
  job.state = in.state;
  job.stage = in.stage;
  job.progress = in.progress;
  job.updated_ns = now;
  job.revision = reg->next_revision++;
  set_text(job.status_reason, in.status_reason);
  set_text(job.status_text_1, in.status_text_1);
  set_text(job.status_text_2, in.status_text_2);
  return Status::ok;
}

Status dubbing_registry_cancel(DubbingRegistry* reg, uint64_t handle, uint64_t now) noexcept {
  DubbingSlot* slot = dubbing_registry_find(reg, handle);
  if (slot == nullptr) return Status::bad_state;
  DubbingJobRecord& job = slot->job;
  if (job.state == VORLET_V2_DUBBING_JOB_SUCCEEDED || job.state == VORLET_V2_DUBBING_JOB_FAILED) {
    return Status::bad_state;
  }
  if (job.state == VORLET_V2_DUBBING_JOB_CANCELLED) return Status::ok;
  job.cancel_requested = 1;
  job.state = VORLET_V2_DUBBING_JOB_CANCELLED;
  job.updated_ns = now;
  job.revision = reg->next_revision++;
  set_text(job.status_reason, "cancelled_by_host");
  return Status::ok;
}

DubbingSlot* dubbing_registry_find(DubbingRegistry* reg, uint64_t handle) noexcept {
  if (handle == 0) return nullptr;
  for (DubbingSlot& slot : reg->slots) {
    if (slot.in_use != 0 && slot.job.handle == handle) return &slot;
  }
  return nullptr;
}

Status dubbing_registry_copy_job(DubbingRegistry* reg, uint64_t handle, DubbingJobRecord* out) noexcept {
  const DubbingSlot* slot = dubbing_registry_find(reg, handle);
  if (slot == nullptr) return Status::bad_state;
  record_write(out, slot->job, kJobRecordFields);
  return Status::ok;
}

void dubbing_registry_list(const DubbingRegistry* reg, uint64_t* handles, uint64_t capacity,
                           uint64_t* count_out) noexcept {
  if (count_out != nullptr) *count_out = reg->used_slots;
  if (handles == nullptr || capacity == 0) return;
  // Each pick takes the largest revision below the previous pick's;
  // revisions are unique, so this walks the jobs newest change first.
  uint64_t below = UINT64_MAX;
  for (uint64_t written = 0; written < capacity; ++written) {
    const DubbingSlot* pick = nullptr;
    for (const DubbingSlot& slot : reg->slots) {
      if (slot.in_use == 0 || slot.job.revision >= below) continue;
      if (pick == nullptr || slot.job.revision > pick->job.revision) pick = &slot;
    }
    if (pick == nullptr) return;
    handles[written] = pick->job.handle;
    below = pick->job.revision;
  }
}

Status dubbing_registry_submit_job(Runtime* rt, const DubbingJobRequest* request, uint64_t* handle_out,
                                   MonotonicClock clock) noexcept {
  if (rt == nullptr || request == nullptr || handle_out == nullptr) return Status::invalid_arg;
  const Change change(rt, clock, true);
  if (change.refused() != Status::ok) return change.refused();
  MutexLock hold(&rt->dubbing.mutex);
  return noticed(rt, dubbing_registry_submit(&rt->dubbing, request, change.now(), handle_out));
}

Status dubbing_registry_publish_update(Runtime* rt, const DubbingJobUpdate* update, MonotonicClock clock) noexcept {
  if (rt == nullptr || update == nullptr) return Status::invalid_arg;
  const Change change(rt, clock, true);
  if (change.refused() != Status::ok) return change.refused();
  MutexLock hold(&rt->dubbing.mutex);
  return noticed(rt, dubbing_registry_update(&rt->dubbing, update, change.now()));
}

Status dubbing_registry_cancel_job(Runtime* rt, uint64_t handle, MonotonicClock clock) noexcept {
  if (rt == nullptr || handle == 0) return Status::invalid_arg;
  const Change change(rt, clock, false);
  if (change.refused() != Status::ok) return change.refused();
  MutexLock hold(&rt->dubbing.mutex);
  return noticed(rt, dubbing_registry_cancel(&rt->dubbing, handle, change.now()));
}

Status dubbing_registry_get_job(Runtime* rt, uint64_t handle, DubbingJobRecord* out) noexcept {
  if (rt == nullptr || out == nullptr || handle == 0) return Status::invalid_arg;
  MutexLock hold(&rt->dubbing.mutex);
  return dubbing_registry_copy_job(&rt->dubbing, handle, out);
}

Status dubbing_registry_list_jobs(Runtime* rt, uint64_t* handles, uint64_t capacity, uint64_t* count_out) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  MutexLock hold(&rt->dubbing.mutex);
  dubbing_registry_list(&rt->dubbing, handles, capacity, count_out);
  return Status::ok;
}

}  // namespace vorlet::v2
