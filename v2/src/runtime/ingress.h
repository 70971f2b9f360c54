// The ingress: how envelopes enter the runtime and reach the dispatcher.
// Its producers are the submit call (and the ask client through it), the
// request pipe reader and the inbound remote request handler, which push
// without a lock; its one consumer is the dispatcher, which takes without
// one (the ring and how stop is decided: rings.h, consumer_wait.h). It stands apart from dispatcher.*, which decides what becomes of
// an item, so that a producer includes only this.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "runtime/jobs.h"

namespace vorlet::v2 {

struct Runtime;

// Pushes a copy of *item; on ok the ring owns its frame and slot reference
// and the dispatcher is woken. invalid_arg: NULL runtime, no frame or
// length 0; closed: stopping; would_block: full. On a refusal everything
// stays with the caller.
Status ingress_enqueue(Runtime* rt, const IngressItem* item) noexcept;

// The submit call: copies the bytes into a frame buffer and pushes it as a
// host item. invalid_arg (NULL runtime; NULL bytes or length 0 once
// accepting), bad_state (not started yet), closed (stopping or stopped),
// nomem (no frame buffer), would_block (full; counted in queue_rejections).
// The state test comes before any test of the bytes; a ring already seen
// full answers would_block before a frame buffer is taken.
Status ingress_submit_envelope(Runtime* rt, const void* bytes, uint64_t length) noexcept;

// The consumer's pop, without a lock and without sleeping: false when the
// ring is empty. For destroy's drain and for tests.
bool ingress_try_pop(Runtime* rt, IngressItem* out) noexcept;
// The dispatcher's loop step: up to max items (at least 1) moved to out[]
// in push order, sleeping while there is none; 0 when the ring is empty
// and the runtime is stopping (then the dispatcher ends). Their slots are
// free again on return: the caller owns the items.
uint64_t ingress_take(Runtime* rt, IngressItem* out, uint64_t max) noexcept;
// The same for one item: false where the take returns 0.
bool ingress_pop(Runtime* rt, IngressItem* out) noexcept;

}  // namespace vorlet::v2
