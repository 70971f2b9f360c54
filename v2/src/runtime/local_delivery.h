// Local delivery: hands an envelope whose target resolved to a local
// endpoint to the host. The local worker pops jobs from the local delivery
// ring, passes the envelope through the local delivery gate and queues the
// job's own frame buffer on the delivered-request pipe (when the host asked
// for it) or on the response pipe: the bytes that entered are the bytes the
// host reads, with no copy. What cannot be handed over becomes a deadletter.
#pragma once

#include <atomic>
#include <cstdint>

#include "codec/alloc.h"
#include "codec/status.h"

namespace vorlet::v2 {

struct Runtime;
struct LocalJob;

// The local delivery gate, owned by the runtime. Start opens it before any
// thread runs and stop closes it after the local worker has ended, so it
// refuses nothing while the worker runs.
struct LocalDeliveryAdapter {
  // A spin lock over changes of open; contenders sleep in an atomic wait.
  std::atomic<uint8_t> lock{0};
  std::atomic<uint8_t> open{0};  // 1 while local delivery is allowed
};

// A closed gate; nullptr on exhaustion. Released with local_gate_destroy.
LocalDeliveryAdapter* local_gate_create() noexcept;
void local_gate_destroy(LocalDeliveryAdapter* gate) noexcept;  // NULL-safe
// invalid_arg for NULL.
Status local_gate_open(LocalDeliveryAdapter* gate) noexcept;
void local_gate_close(LocalDeliveryAdapter* gate) noexcept;  // NULL-safe

// ok while the gate is open; invalid_arg for NULL, bad_state when closed.
Status local_gate_admits(const LocalDeliveryAdapter* gate) noexcept;

// Copies the envelope into a new heap block held by *out. invalid_arg for
// NULL arguments, bad_state when the gate is closed, nomem. The timeout
// travels with the job and is not used here.
Status local_gate_copy(LocalDeliveryAdapter* gate, const void* bytes, uint64_t length, int32_t timeout_ms,
                       HeapBlock* out) noexcept;

// Delivers one job (the worker's step): to the host's pipe, or as a
// deadletter. The job stays the caller's, who frees it.
void local_deliver(Runtime* rt, LocalJob* job) noexcept;

// The local worker's thread procedure (argument: the Runtime). It ends when
// its ring is empty and the runtime is stopping; every job popped after the
// stopping flag was set becomes a runtime_stopped deadletter.
void local_delivery_thread(void* runtime) noexcept;

}  // namespace vorlet::v2
