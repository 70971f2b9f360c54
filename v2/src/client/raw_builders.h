// Builders of the envelopes of one request/response exchange from plain
// texts and bytes. The buffers they return are rt_malloc blocks owned by the
// caller (released by vorlet_v2_client_bytes_release).
#pragma once

#include <cstdint>

#include "base/status.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

// Both take options already read under the size-prefix rule (fields not
// covered hold 0 or NULL) and store NULL and 0 into the outputs first.
// invalid_arg for any breach of the option rules and for an envelope that
// cannot be serialized; nomem on exhaustion.
Status raw_request_build(const vorlet_v2_RawRequestOptions& options, void** out, uint64_t* out_len) noexcept;
Status raw_reply_build(const vorlet_v2_RawReplyOptions& options, void** out, uint64_t* out_len) noexcept;

}  // namespace vorlet::v2
