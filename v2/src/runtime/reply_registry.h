// Reply slots and the reply registry.
//
// A request from a remote peer is answered on the TCP listener thread, which
// waits on a reply slot until the runtime has produced the request's
// terminal result: the host's response, or a deadletter from whichever stage
// failed. The registry (one per runtime) maps the request's message_id to
// its slot, so the host's response finds it by correlation_id, and it
// remembers the ids of requests whose waiter gave up, so that late replies
// are recognised and dropped.
//
// Lock order: the registry mutex may be held while a slot's mutex is taken
// (fail_all completes slots under it), never the other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/mutex.h"
#include "base/status.h"
#include "codec/codes.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace vorlet::v2 {

inline constexpr uint64_t kReplyMessageCapacity = 160;

// Gives a slot payload back: a response's frame buffer with
// frame_buffer_release, anything else with rt_free. NULL is ignored.
void reply_payload_release(ReplyKind kind, void* payload) noexcept;

// One pending remote request. Counted references: the creator (the inbound
// handler), the registry while an entry points at it, and the ingress item
// or job carrying the request. The last release gives back the payload the
// slot still owns and frees the slot.
struct ReplySlot {
  std::atomic<int32_t> refs{1};
  Mutex mutex;
  CondVar completion;  // waited on with mutex
  uint32_t completed GUARDED_BY(mutex) = 0;
  uint32_t timed_out GUARDED_BY(mutex) = 0;
  ReplyKind kind GUARDED_BY(mutex) = ReplyKind::none;
  int32_t reason GUARDED_BY(mutex) = wire(DeadletterReason::delivery_failed);  // until completed
  void* payload GUARDED_BY(mutex) = nullptr;  // owned until the waiter takes it
  uint64_t payload_length GUARDED_BY(mutex) = 0;
  char message[kReplyMessageCapacity] GUARDED_BY(mutex) = {};
  // Set by the completion beside the condition variable, while a waiter
  // that also watches its peer's connection sleeps on it (reply_slot_wait).
  // Borrowed from that waiter, which clears it before it returns.
  platform::Event* waiter_wake GUARDED_BY(mutex) = nullptr;
  // Set when the waiter gives up (a timeout, or its peer left), while a
  // relay of the request to another runtime is in flight: its exchange
  // watches it and ends. Borrowed from the relaying worker, which clears it
  // when the exchange is over (reply_slot_relay_begin, _end).
  platform::Event* relay_cut GUARDED_BY(mutex) = nullptr;
  // When the waiter gives up, on the monotonic clock; 0: not recorded.
  // Written by the inbound handler before the request travels (the ring's
  // hand-over publishes it), read-only afterwards: no lock.
  uint64_t deadline_ns = 0;
};

// A new slot holding the creator's reference; nullptr on exhaustion.
ReplySlot* reply_slot_create() noexcept;
// NULL-safe.
void reply_slot_retain(ReplySlot* slot) noexcept;
void reply_slot_release(ReplySlot* slot) noexcept;

// The first completion wins: it stores kind, reason, payload (ownership
// passes to the slot) and the message (cut to 159 bytes, "" for NULL) and
// wakes the waiter. A later completion, or a NULL slot, gives its payload
// back by its kind and changes nothing.
void reply_slot_complete(ReplySlot* slot, ReplyKind kind, int32_t reason, void* payload, uint64_t payload_length,
                         const char* message) noexcept;

// The timed_out flag; false for NULL.
bool reply_slot_timed_out(ReplySlot* slot) noexcept;

// Whether nobody waits for a result any more: the slot is completed, or its
// wait timed out or lost its peer. false for NULL.
bool reply_slot_settled(ReplySlot* slot) noexcept;

// A relay of the slot's request is about to go out: cut (reset by the
// caller) is set if the waiter gives up while it is in flight. false, and
// nothing armed, when the slot is settled already: nobody would take the
// relay's result. true for NULL (nothing to watch).
bool reply_slot_relay_begin(ReplySlot* slot, platform::Event* cut) noexcept;
// The relay is over: the waiter no longer sets cut. NULL-safe.
void reply_slot_relay_end(ReplySlot* slot) noexcept;

// What a waiter watches beside the slot: the connection of the peer that
// asked (platform::kWantHangUp), and an event the completion sets so that
// one poll sleeps on both. Both borrowed for the wait.
struct ReplyWatch {
  platform::SocketHandle peer;
  platform::Event* wake;
};

// Waits up to timeout_ms (on the monotonic clock) for the completion.
//  ok:          kind, reason, payload (now the caller's) and length copied
//               out; a non-empty message copied into text.
//  would_block: no completion in time; timed_out is set and text holds
//               "remote reply timed out".
//  closed:      with a watch, the peer closed or shut down its sending side
//               or its connection failed first; timed_out is set, as for a
//               timeout, and text stays "".
//  io:          the clock cannot be read (nothing waited).
//  invalid_arg: NULL slot or output.
// A wait that gives up also cuts a relay in flight (reply_slot_relay_begin).
// The outputs start as none, delivery_failed, NULL, 0 and "" (text may be
// NULL with a capacity of 0). watch NULL: the slot alone; a watch whose
// poll fails goes on without watching.
Status reply_slot_wait(ReplySlot* slot, uint32_t timeout_ms, ReplyKind* kind_out, void** payload_out,
                       uint64_t* length_out, int32_t* reason_out, char* text, uint64_t text_capacity,
                       const ReplyWatch* watch = nullptr) noexcept;

struct ReplySlotRelease {
  void operator()(ReplySlot* slot) const noexcept { reply_slot_release(slot); }
};

// Holds one counted reference until release() hands it on (to an item, a
// job or the registry's caller).
using ReplySlotRef = std::unique_ptr<ReplySlot, ReplySlotRelease>;

// Abandoned entries kept at most; older ones are purged first.
inline constexpr uint64_t kMaxAbandonedReplies = 64;

struct ReplyEntry {
  char* message_id;  // owned; kept after an abandon
  ReplySlot* slot;   // the registry's reference; NULL once abandoned
  int32_t abandoned;
};

// The pending remote requests of one runtime, oldest first. Fails what is
// left with "remote reply registry destroyed" when it goes.
struct ReplyRegistry {
  ReplyRegistry() = default;
  ReplyRegistry(const ReplyRegistry&) = delete;
  ReplyRegistry& operator=(const ReplyRegistry&) = delete;
  ~ReplyRegistry();

  Mutex mutex ACQUIRED_BEFORE(ReplySlot::mutex);
  ReplyEntry* entries GUARDED_BY(mutex) = nullptr;
  uint64_t count GUARDED_BY(mutex) = 0;
  uint64_t capacity GUARDED_BY(mutex) = 0;  // 0, then 4, doubling when full; never shrinks
};

// Registers slot under message_id and takes a reference for the registry.
// invalid_arg for NULL arguments or an empty id; bad_state when the id is
// pending or abandoned; nomem with the entries unchanged.
Status reply_registry_register(ReplyRegistry* registry, const char* message_id, ReplySlot* slot) noexcept;

// Removes the entry registered under correlation_id and hands its reference
// to the caller. An abandoned entry yields nullptr with *abandoned_out true;
// no entry yields nullptr with false. abandoned_out may be NULL.
ReplySlot* reply_registry_take(ReplyRegistry* registry, const char* correlation_id, bool* abandoned_out) noexcept;

// Marks the slot's entry abandoned (its id stays, to recognise a late
// reply) and drops the registry's reference. false when not found.
bool reply_registry_abandon(ReplyRegistry* registry, ReplySlot* slot) noexcept;

// Removes the slot's entry and drops the registry's reference, so that a
// late response no longer finds it. Nothing when not found.
void reply_registry_remove(ReplyRegistry* registry, ReplySlot* slot) noexcept;

// Completes every pending slot as failed (kind none, runtime_stopped, the
// message) and empties the registry; the capacity stays.
void reply_registry_fail_all(ReplyRegistry* registry, const char* message) noexcept;

// fail_all with "remote reply registry destroyed", then frees the entries.
void reply_registry_destroy(ReplyRegistry* registry) noexcept;

}  // namespace vorlet::v2
