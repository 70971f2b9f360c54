#include "codec/deadletter.h"

#include <string_view>

#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"
#include "codec/status.h"
#include "codec/text.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {

int32_t transport_build_deadletter(const void* envelope_bytes, uint64_t envelope_len, int32_t reason,
                                   const char* detail, uint64_t active_generation, const char* resolved_host,
                                   uint32_t resolved_port, uint32_t endpoint_attempt_count, void** out,
                                   uint64_t* out_len) noexcept {
  if (out == nullptr || out_len == nullptr) return to_c(Status::invalid_arg);
  *out = nullptr;
  *out_len = 0;
  try {
    ScratchArena arena;
    auto* dl = arena.make<transport::Deadletter>();
    // Parsed straight into place; bytes that are no envelope leave the field
    // absent rather than failing the deadletter.
    if (envelope_bytes != nullptr &&
        !message_parse_bounded(envelope_bytes, envelope_len, *dl->mutable_original_envelope())) {
      dl->clear_original_envelope();
    }
    dl->set_reason(static_cast<transport::DeadletterReason>(reason));
    if (detail != nullptr) dl->set_detail(detail);
    dl->set_active_generation(active_generation);
    if (resolved_host != nullptr) dl->set_resolved_host(resolved_host);
    if (resolved_port != 0) dl->set_resolved_port(resolved_port);
    if (endpoint_attempt_count != 0) dl->set_endpoint_attempt_count(endpoint_attempt_count);
    return to_c(message_serialize_to_buffer(*dl, out, out_len));
  } catch (...) {
    return to_c(Status::nomem);
  }
}

int32_t transport_peek_deadletter(const void* bytes, uint64_t len, int32_t* reason_out, uint32_t* attempts_out,
                                  char* detail, uint64_t detail_cap) noexcept {
  DeadletterOriginal ignored = DeadletterOriginal::absent;
  return transport_peek_deadletter_about(bytes, len, nullptr, reason_out, attempts_out, &ignored, detail, detail_cap);
}

int32_t transport_peek_deadletter_about(const void* bytes, uint64_t len, const char* message_id,
                                        int32_t* reason_out, uint32_t* attempts_out, DeadletterOriginal* original_out,
                                        char* detail, uint64_t detail_cap) noexcept {
  if (bytes == nullptr || reason_out == nullptr || attempts_out == nullptr || original_out == nullptr) {
    text_copy_bounded(detail, detail_cap, "invalid arguments");
    return to_c(Status::invalid_arg);
  }
  *reason_out = 0;
  *attempts_out = 0;
  *original_out = DeadletterOriginal::absent;
  try {
    ScratchArena arena;
    auto* dl = arena.make<transport::Deadletter>();
    if (!message_parse_bounded(bytes, len, *dl)) {
      text_copy_bounded(detail, detail_cap, "deadletter protobuf parse failed");
      return to_c(Status::io);
    }
    *reason_out = dl->reason();
    *attempts_out = dl->endpoint_attempt_count();
    if (dl->has_original_envelope()) {
      const bool same =
          dl->original_envelope().message_id() == std::string_view(message_id != nullptr ? message_id : "");
      *original_out = same ? DeadletterOriginal::same : DeadletterOriginal::other;
    }
    // Up to the first NUL, and never ending inside a UTF-8 sequence: the
    // detail is re-emitted in deadletters of our own, which must parse.
    text_copy_bounded(detail, detail_cap, dl->detail().c_str());
    return to_c(Status::ok);
  } catch (...) {
    text_copy_bounded(detail, detail_cap, "memory allocation failed");
    return to_c(Status::nomem);
  }
}

int32_t transport_restamp_deadletter_attempts(const void* bytes, uint64_t len, uint32_t attempts, void** out,
                                              uint64_t* out_len) noexcept {
  return transport_restamp_deadletter(bytes, len, attempts, nullptr, 0, out, out_len);
}

int32_t transport_restamp_deadletter(const void* bytes, uint64_t len, uint32_t attempts, const void* envelope_bytes,
                                     uint64_t envelope_len, void** out, uint64_t* out_len) noexcept {
  if (bytes == nullptr || out == nullptr || out_len == nullptr) return to_c(Status::invalid_arg);
  *out = nullptr;
  *out_len = 0;
  try {
    ScratchArena arena;
    auto* dl = arena.make<transport::Deadletter>();
    if (!message_parse_bounded(bytes, len, *dl)) return to_c(Status::io);
    dl->set_endpoint_attempt_count(attempts);
    if (envelope_bytes != nullptr && !dl->has_original_envelope() &&
        !message_parse_bounded(envelope_bytes, envelope_len, *dl->mutable_original_envelope())) {
      dl->clear_original_envelope();
    }
    return to_c(message_serialize_to_buffer(*dl, out, out_len));
  } catch (...) {
    return to_c(Status::nomem);
  }
}

}  // namespace vorlet::v2
