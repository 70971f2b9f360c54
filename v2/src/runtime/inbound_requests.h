// Requests from remote peers. Start installs inbound_requests_handle
// as the TCP adapter's inbound handler, with the runtime as its context;
// the listener thread calls it once per request frame and sends back what
// it returns. The request becomes an ingress item of remote origin carrying
// a reply slot registered under its message_id, and the handler waits on
// the slot for the terminal result: the host's response (matched by the
// dispatcher through correlation_id), a deadletter from whichever stage
// refused it, or a failure.
//
// The handler never takes runtime_lock: stop joins the listener while
// holding it.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {

// The InboundHandler of the TCP adapter.
//  ok:   *kind is response or deadletter (ReplyKind), *reply an rt_malloc block
//        (NULL for a result without bytes) that the caller frees.
//  else: *kind none, with *reason and text saying why: io for no result within
//        the timeout (remote_reply_timeout) or a failed wait; bad_state for
//        a message_id already pending or a slot failed without a result
//        (such as by stop); nomem; invalid_arg for NULL arguments or an
//        empty payload (nothing written).
// timeout_ms 0 means 1000.
// watch (NULL: none): while the handler waits for the result it also
// watches the peer's connection. When the peer closes it, shuts down its
// sending side or resets it first, the request is given up as a timeout
// gives it up (a later answer is dropped as late, a relay in flight is
// cut), without a timeout's counter or event: closed, with
// watch->peer_left set and nothing to send.
Status inbound_requests_handle(void* context, const uint8_t* payload, uint64_t length, uint32_t timeout_ms,
                                     int32_t* kind, uint8_t** reply, uint64_t* reply_length, int32_t* reason,
                                     char* text, uint64_t text_capacity, InboundWatch* watch = nullptr) noexcept;

}  // namespace vorlet::v2
