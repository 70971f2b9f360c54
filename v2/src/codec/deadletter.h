// Serialized deadletters for the core: built on every failure path, peeked
// at and summarised when a peer answers with one, re-stamped when failover
// has counted the endpoints it tried. Buffers handed out are rt_malloc blocks owned by the
// caller (release with rt_free).
#pragma once

#include <cstdint>

#include "base/status.h"

namespace vorlet::v2 {

inline constexpr uint64_t kDeadletterDetailCapacity = 160;

// Whom a deadletter's original_envelope names, against the message id of
// the request it is expected to be about.
enum class DeadletterOriginal : int32_t {
  absent = 0,  // no original_envelope: nobody can tell from the deadletter
  same = 1,    // an envelope with exactly that message_id
  other = 2,   // an envelope with another message_id
};

// What the core reads of a peer's deadletter: filled by
// deadletter_summary_decode, or, zeroed, by handing its fields to
// transport_peek_deadletter (or _about) with kDeadletterDetailCapacity.
struct DeadletterSummary {
  int32_t reason;
  uint32_t endpoint_attempt_count;
  char detail[kDeadletterDetailCapacity];
  DeadletterOriginal original;
};

// ok, invalid_arg (out or out_len NULL; nothing written), nomem or io. The
// envelope
// bytes become original_envelope only when they parse as an envelope
// (non-NULL bytes of length 0 give a present, empty one); otherwise the
// deadletter simply has none. NULL texts and zero port and attempts are
// left out.
Status transport_build_deadletter(const void* envelope_bytes, uint64_t envelope_len, int32_t reason,
                                  const char* detail, uint64_t active_generation, const char* resolved_host,
                                  uint32_t resolved_port, uint32_t endpoint_attempt_count, void** out,
                                  uint64_t* out_len) noexcept;

// ok, invalid_arg, nomem or io (error text in detail). Stores unspecified
// and 0 into the outputs first; on success the reason, the attempt count
// and the detail text cut to detail_cap - 1 bytes without splitting a UTF-8
// sequence.
Status transport_peek_deadletter(const void* bytes, uint64_t len, int32_t* reason_out, uint32_t* attempts_out,
                                 char* detail, uint64_t detail_cap) noexcept;
// transport_peek_deadletter, and in the same decoding whom the
// original_envelope names against message_id (NULL counts as "", compared
// whole); *original_out is absent until the deadletter decodes.
Status transport_peek_deadletter_about(const void* bytes, uint64_t len, const char* message_id, int32_t* reason_out,
                                       uint32_t* attempts_out, DeadletterOriginal* original_out, char* detail,
                                       uint64_t detail_cap) noexcept;

// ok, invalid_arg (bytes, out or out_len NULL; nothing written), nomem or
// io. A new encoding of the deadletter with endpoint_attempt_count set to attempts (0
// leaves the field out); every other field, undeclared ones included, is
// kept. The input bytes are not changed.
Status transport_restamp_deadletter_attempts(const void* bytes, uint64_t len, uint32_t attempts, void** out,
                                             uint64_t* out_len) noexcept;
// transport_restamp_deadletter_attempts, and a deadletter without an
// original_envelope also takes envelope_bytes as its original_envelope
// when they parse as an envelope (NULL: none given). One that has an
// original_envelope keeps it.
Status transport_restamp_deadletter(const void* bytes, uint64_t len, uint32_t attempts, const void* envelope_bytes,
                                    uint64_t envelope_len, void** out, uint64_t* out_len) noexcept;

// Decodes a peer's deadletter into *out, zeroed first: its reason, attempt
// count and detail (valid UTF-8, cut to the detail's capacity), and whom its
// original_envelope names against message_id (NULL counts as ""). ok;
// invalid_arg for NULL arguments or length 0; otherwise the decoding's
// failure (io for bytes that are not a deadletter), with its text in
// out->detail and reason unspecified.
Status deadletter_summary_decode(const void* bytes, uint64_t length, DeadletterSummary* out,
                                 const char* message_id = nullptr) noexcept;

// True when the peer refused the envelope before its handler took it
// (queue_rejected, local_handoff_failed, runtime_stopped): another endpoint
// may still take it. A summary that did not decode has reason
// unspecified.
bool deadletter_is_pre_ownership(const DeadletterSummary& summary) noexcept;

// Re-encodes the deadletter in *bytes (an rt_malloc block) with
// endpoint_attempt_count = attempts into a new block, frees the old one and
// replaces *bytes and *length. With `original` (envelope bytes), a
// deadletter that has no original_envelope takes them as its own.
// invalid_arg when bytes, *bytes or length is NULL or *length is 0; ok
// without change for attempts 0 and no original; on a failure the old bytes
// stay and the re-encoding's status is returned.
Status deadletter_set_attempt_count(void** bytes, uint64_t* length, uint32_t attempts, const void* original = nullptr,
                                    uint64_t original_length = 0) noexcept;

}  // namespace vorlet::v2
