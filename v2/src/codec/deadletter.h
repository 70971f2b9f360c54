// Serialized deadletters for the core: built on every failure path, peeked
// at when a peer answers with one, re-stamped when failover has counted the
// endpoints it tried. Buffers handed out are rt_malloc blocks owned by the
// caller (release with rt_free).
#pragma once

#include <cstdint>

namespace vorlet::v2 {

inline constexpr uint64_t kDeadletterDetailCapacity = 160;

// Whom a deadletter's original_envelope names, against the message id of
// the request it is expected to be about.
enum class DeadletterOriginal : int32_t {
  absent = 0,  // no original_envelope: nobody can tell from the deadletter
  same = 1,    // an envelope with exactly that message_id
  other = 2,   // an envelope with another message_id
};

// What the core reads of a peer's deadletter. Zero it, then hand its fields
// to transport_peek_deadletter (or _about) with kDeadletterDetailCapacity.
struct DeadletterSummary {
  int32_t reason;
  uint32_t endpoint_attempt_count;
  char detail[kDeadletterDetailCapacity];
  DeadletterOriginal original;
};

// 0, -1 (out or out_len NULL; nothing written), -2 or -5. The envelope
// bytes become original_envelope only when they parse as an envelope
// (non-NULL bytes of length 0 give a present, empty one); otherwise the
// deadletter simply has none. NULL texts and zero port and attempts are
// left out.
int32_t transport_build_deadletter(const void* envelope_bytes, uint64_t envelope_len, int32_t reason,
                                   const char* detail, uint64_t active_generation, const char* resolved_host,
                                   uint32_t resolved_port, uint32_t endpoint_attempt_count, void** out,
                                   uint64_t* out_len) noexcept;

// 0, -1 or -5 (error text in detail). Stores 0 into both outputs first; on
// success the reason, the attempt count and the detail text cut to
// detail_cap - 1 bytes without splitting a UTF-8 sequence.
int32_t transport_peek_deadletter(const void* bytes, uint64_t len, int32_t* reason_out, uint32_t* attempts_out,
                                  char* detail, uint64_t detail_cap) noexcept;
// transport_peek_deadletter, and in the same decoding whom the
// original_envelope names against message_id (NULL counts as "", compared
// whole); *original_out is absent until the deadletter decodes.
int32_t transport_peek_deadletter_about(const void* bytes, uint64_t len, const char* message_id,
                                        int32_t* reason_out, uint32_t* attempts_out, DeadletterOriginal* original_out,
                                        char* detail, uint64_t detail_cap) noexcept;

// 0, -1 (bytes, out or out_len NULL; nothing written), -2 or -5. A new
// encoding of the deadletter with endpoint_attempt_count set to attempts (0
// leaves the field out); every other field, undeclared ones included, is
// kept. The input bytes are not changed.
int32_t transport_restamp_deadletter_attempts(const void* bytes, uint64_t len, uint32_t attempts, void** out,
                                              uint64_t* out_len) noexcept;
// transport_restamp_deadletter_attempts, and a deadletter without an
// original_envelope also takes envelope_bytes as its original_envelope
// when they parse as an envelope (NULL: none given). One that has an
// original_envelope keeps it.
int32_t transport_restamp_deadletter(const void* bytes, uint64_t len, uint32_t attempts, const void* envelope_bytes,
                                     uint64_t envelope_len, void** out, uint64_t* out_len) noexcept;

}  // namespace vorlet::v2
