#include "runtime/reply_registry.h"

#include <chrono>
#include <cstring>
#include <new>

#include "base/alloc.h"
#include "base/clock.h"
#include "base/text.h"
#include "codec/codes.h"
#include "pool/frame_buffer.h"

namespace vorlet::v2 {
namespace {

// Registry helpers, with the registry mutex held.

void remove_at(ReplyRegistry* r, uint64_t i) noexcept REQUIRES(r->mutex) {
  rt_free(r->entries[i].message_id);
  std::memmove(&r->entries[i], &r->entries[i + 1], (r->count - i - 1) * sizeof(ReplyEntry));
  --r->count;
}

uint64_t find_slot(const ReplyRegistry* r, const ReplySlot* slot) noexcept REQUIRES(r->mutex) {
  for (uint64_t i = 0; i < r->count; ++i) {
    if (r->entries[i].slot == slot) return i;
  }
  return r->count;
}

uint64_t abandoned_count(const ReplyRegistry* r) noexcept REQUIRES(r->mutex) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < r->count; ++i) n += r->entries[i].abandoned != 0 ? 1 : 0;
  return n;
}

// Removes the oldest abandoned entries while more than `keep` remain.
void purge_abandoned(ReplyRegistry* r, uint64_t keep) noexcept REQUIRES(r->mutex) {
  uint64_t abandoned = abandoned_count(r);
  for (uint64_t i = 0; abandoned > keep && i < r->count;) {
    if (r->entries[i].abandoned != 0) {
      remove_at(r, i);
      --abandoned;
    } else {
      ++i;
    }
  }
}

}  // namespace

void reply_payload_release(ReplyKind kind, void* payload) noexcept {
  if (payload == nullptr) return;
  if (kind == ReplyKind::response) {
    frame_buffer_release(payload);
  } else {
    rt_free(payload);
  }
}

ReplySlot* reply_slot_create() noexcept { return new (std::nothrow) ReplySlot(); }

void reply_slot_retain(ReplySlot* slot) noexcept {
  if (slot != nullptr) slot->refs.fetch_add(1, std::memory_order_relaxed);
}

void reply_slot_release(ReplySlot* slot) noexcept {
  if (slot == nullptr) return;
  if (slot->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The last reference: nobody else can take the lock any more, which is
  // taken all the same, as for every read of the slot.
  ReplyKind kind;
  void* payload;
  {
    MutexLock hold(&slot->mutex);
    kind = slot->kind;
    payload = slot->payload;
  }
  reply_payload_release(kind, payload);
  delete slot;
}

void reply_slot_complete(ReplySlot* slot, ReplyKind kind, int32_t reason, void* payload, uint64_t payload_length,
                         const char* message) noexcept {
  if (slot != nullptr) {
    MutexLock hold(&slot->mutex);
    if (slot->completed == 0) {
      slot->completed = 1;
      slot->kind = kind;
      slot->reason = reason;
      slot->payload = payload;
      slot->payload_length = payload_length;
      text_copy_bounded(slot->message, sizeof slot->message, message);
      slot->completion.notify_one();
      if (slot->waiter_wake != nullptr) slot->waiter_wake->set();
      return;
    }
  }
  reply_payload_release(kind, payload);
}

bool reply_slot_timed_out(ReplySlot* slot) noexcept {
  if (slot == nullptr) return false;
  MutexLock hold(&slot->mutex);
  return slot->timed_out != 0;
}

bool reply_slot_settled(ReplySlot* slot) noexcept {
  if (slot == nullptr) return false;
  MutexLock hold(&slot->mutex);
  return slot->completed != 0 || slot->timed_out != 0;
}

bool reply_slot_relay_begin(ReplySlot* slot, platform::Event* cut) noexcept {
  if (slot == nullptr) return true;
  MutexLock hold(&slot->mutex);
  if (slot->completed != 0 || slot->timed_out != 0) return false;
  slot->relay_cut = cut;
  return true;
}

void reply_slot_relay_end(ReplySlot* slot) noexcept {
  if (slot == nullptr) return;
  MutexLock hold(&slot->mutex);
  slot->relay_cut = nullptr;
}

namespace {

// The waiter gives up: nobody takes a result from now on, and a relay in
// flight is cut.
void give_up(ReplySlot* slot) noexcept REQUIRES(slot->mutex) {
  slot->timed_out = 1;
  if (slot->relay_cut != nullptr) slot->relay_cut->set();
}

// Sleeps on the peer's connection and the wake event at once until the
// slot completes, the deadline passes or the peer leaves: true when the
// peer left. The event is reset before every look at the slot, so a
// completion between the look and the poll leaves it readable. A
// connection that cannot be polled ends the watch too, and the caller's
// plain wait takes over. Returns with the mutex held and waiter_wake set.
bool peer_left_while_waiting(ReplySlot* slot, uint64_t deadline, const ReplyWatch& watch) noexcept
    REQUIRES(slot->mutex) {
  watch.wake->reset();  // a completion of the previous wait may have left it set
  slot->waiter_wake = watch.wake;
  for (;;) {
    if (slot->completed != 0) return false;
    uint64_t now = 0;
    if (clock_monotonic_ns(&now) != 0 || now >= deadline) return false;
    slot->mutex.unlock();
    const uint64_t left_ms = (deadline - now + 999999) / 1000000;
    const uint32_t slice = left_ms >= platform::kPollForever ? platform::kPollForever - 1
                                                              : static_cast<uint32_t>(left_ms);
    platform::SocketError err;
    const platform::PollResult r =
        platform::socket_poll(watch.peer, platform::kWantHangUp, slice, &err, watch.wake->descriptor());
    if (r == platform::PollResult::cancelled) watch.wake->reset();
    slot->mutex.lock();
    if (r == platform::PollResult::ready && slot->completed == 0) return true;
    if (r == platform::PollResult::failed && err != platform::SocketError::interrupted) return false;
  }
}

}  // namespace

Status reply_slot_wait(ReplySlot* slot, uint32_t timeout_ms, ReplyKind* kind_out, void** payload_out,
                       uint64_t* length_out, int32_t* reason_out, char* text, uint64_t text_capacity,
                       const ReplyWatch* watch) noexcept {
  if (slot == nullptr || kind_out == nullptr || payload_out == nullptr || length_out == nullptr ||
      reason_out == nullptr) {
    return Status::invalid_arg;
  }
  *kind_out = ReplyKind::none;
  *reason_out = wire(DeadletterReason::delivery_failed);
  *payload_out = nullptr;
  *length_out = 0;
  text_copy_bounded(text, text_capacity, "");

  uint64_t now = 0;
  if (clock_monotonic_ns(&now) != 0) return Status::io;
  const uint64_t deadline = deadline_add_ms(now, timeout_ms);

  MutexLock hold(&slot->mutex);
  const bool watching = watch != nullptr && watch->wake != nullptr && watch->peer != platform::kNoSocket;
  if (watching) {
    const bool peer_left = peer_left_while_waiting(slot, deadline, *watch);
    slot->waiter_wake = nullptr;
    if (peer_left) {
      give_up(slot);
      return Status::closed;
    }
  }
  // The deadline is kept in nanoseconds of the monotonic clock and each wait
  // gets what is left of it, so a spurious wake-up waits again for the rest
  // and no malformed absolute time can end the wait early.
  while (slot->completed == 0) {
    if (clock_monotonic_ns(&now) != 0 || now >= deadline) break;
    slot->completion.wait_for(slot->mutex, std::chrono::nanoseconds(deadline - now));
  }
  if (slot->completed == 0) {
    give_up(slot);
    hold.unlock();
    text_copy_bounded(text, text_capacity, "remote reply timed out");
    return Status::would_block;
  }
  *kind_out = slot->kind;
  *reason_out = slot->reason;
  *payload_out = slot->payload;
  *length_out = slot->payload_length;
  slot->payload = nullptr;
  slot->payload_length = 0;
  if (slot->message[0] != '\0') text_copy_bounded(text, text_capacity, slot->message);
  return Status::ok;
}

ReplyRegistry::~ReplyRegistry() { reply_registry_destroy(this); }

Status reply_registry_register(ReplyRegistry* registry, const char* message_id, ReplySlot* slot) noexcept {
  if (registry == nullptr || message_id == nullptr || message_id[0] == '\0' || slot == nullptr) {
    return Status::invalid_arg;
  }
  MutexLock hold(&registry->mutex);
  for (uint64_t i = 0; i < registry->count; ++i) {
    if (std::strcmp(registry->entries[i].message_id, message_id) == 0) return Status::bad_state;
  }
  if (registry->count == registry->capacity) {
    // A full array gives up abandoned ids before it grows: one when 64 are
    // held.
    purge_abandoned(registry, kMaxAbandonedReplies - 1);
  }
  if (registry->count == registry->capacity) {
    const uint64_t grown = registry->capacity == 0 ? 4 : registry->capacity * 2;
    if (grown > UINT64_MAX / sizeof(ReplyEntry)) return Status::nomem;
    auto* entries = static_cast<ReplyEntry*>(rt_realloc(registry->entries, grown * sizeof(ReplyEntry)));
    if (entries == nullptr) return Status::nomem;
    registry->entries = entries;
    registry->capacity = grown;
  }
  char* id = text_dup(message_id);
  if (id == nullptr) return Status::nomem;
  reply_slot_retain(slot);
  registry->entries[registry->count++] = ReplyEntry{id, slot, 0};
  return Status::ok;
}

ReplySlot* reply_registry_take(ReplyRegistry* registry, const char* correlation_id, bool* abandoned_out) noexcept {
  if (abandoned_out != nullptr) *abandoned_out = false;
  if (registry == nullptr || correlation_id == nullptr || correlation_id[0] == '\0') return nullptr;
  MutexLock hold(&registry->mutex);
  for (uint64_t i = 0; i < registry->count; ++i) {
    ReplyEntry& e = registry->entries[i];
    if (std::strcmp(e.message_id, correlation_id) != 0) continue;
    if (abandoned_out != nullptr) *abandoned_out = e.abandoned != 0;
    ReplySlot* slot = e.slot;  // the registry's reference passes to the caller
    remove_at(registry, i);
    return slot;
  }
  return nullptr;
}

bool reply_registry_abandon(ReplyRegistry* registry, ReplySlot* slot) noexcept {
  if (registry == nullptr || slot == nullptr) return false;
  {
    MutexLock hold(&registry->mutex);
    const uint64_t i = find_slot(registry, slot);
    if (i == registry->count) return false;
    registry->entries[i].slot = nullptr;
    registry->entries[i].abandoned = 1;
    purge_abandoned(registry, kMaxAbandonedReplies);
  }
  reply_slot_release(slot);
  return true;
}

void reply_registry_remove(ReplyRegistry* registry, ReplySlot* slot) noexcept {
  if (registry == nullptr || slot == nullptr) return;
  {
    MutexLock hold(&registry->mutex);
    const uint64_t i = find_slot(registry, slot);
    if (i == registry->count) return;
    remove_at(registry, i);
  }
  reply_slot_release(slot);
}

void reply_registry_fail_all(ReplyRegistry* registry, const char* message) noexcept {
  if (registry == nullptr) return;
  MutexLock hold(&registry->mutex);
  for (uint64_t i = 0; i < registry->count; ++i) {
    ReplyEntry& e = registry->entries[i];
    rt_free(e.message_id);
    if (e.slot != nullptr) {
      reply_slot_complete(e.slot, ReplyKind::none, wire(DeadletterReason::runtime_stopped), nullptr, 0, message);
      reply_slot_release(e.slot);
    }
  }
  registry->count = 0;
}

void reply_registry_destroy(ReplyRegistry* registry) noexcept {
  if (registry == nullptr) return;
  reply_registry_fail_all(registry, "remote reply registry destroyed");
  MutexLock hold(&registry->mutex);
  rt_free(registry->entries);
  registry->entries = nullptr;
  registry->capacity = 0;
}

}  // namespace vorlet::v2
