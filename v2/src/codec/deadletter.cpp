#include "codec/deadletter.h"

#include <string_view>

#include "base/alloc.h"
#include "base/status.h"
#include "base/text.h"
#include "codec/codes.h"
#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {

Status transport_build_deadletter(const void* envelope_bytes, uint64_t envelope_len, int32_t reason,
                                  const char* detail, uint64_t active_generation, const char* resolved_host,
                                  uint32_t resolved_port, uint32_t endpoint_attempt_count, void** out,
                                  uint64_t* out_len) noexcept {
  if (out == nullptr || out_len == nullptr) return Status::invalid_arg;
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
    return message_serialize_to_buffer(*dl, out, out_len);
  } catch (...) {
    return Status::nomem;
  }
}

Status transport_peek_deadletter(const void* bytes, uint64_t len, int32_t* reason_out, uint32_t* attempts_out,
                                 char* detail, uint64_t detail_cap) noexcept {
  DeadletterOriginal ignored = DeadletterOriginal::absent;
  return transport_peek_deadletter_about(bytes, len, nullptr, reason_out, attempts_out, &ignored, detail, detail_cap);
}

Status transport_peek_deadletter_about(const void* bytes, uint64_t len, const char* message_id, int32_t* reason_out,
                                       uint32_t* attempts_out, DeadletterOriginal* original_out, char* detail,
                                       uint64_t detail_cap) noexcept {
  if (bytes == nullptr || reason_out == nullptr || attempts_out == nullptr || original_out == nullptr) {
    text_copy_bounded(detail, detail_cap, "invalid arguments");
    return Status::invalid_arg;
  }
  *reason_out = wire(DeadletterReason::unspecified);
  *attempts_out = 0;
  *original_out = DeadletterOriginal::absent;
  try {
    ScratchArena arena;
    auto* dl = arena.make<transport::Deadletter>();
    if (!message_parse_bounded(bytes, len, *dl)) {
      text_copy_bounded(detail, detail_cap, "deadletter protobuf parse failed");
      return Status::io;
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
    return Status::ok;
  } catch (...) {
    text_copy_bounded(detail, detail_cap, "memory allocation failed");
    return Status::nomem;
  }
}

Status transport_restamp_deadletter_attempts(const void* bytes, uint64_t len, uint32_t attempts, void** out,
                                             uint64_t* out_len) noexcept {
  return transport_restamp_deadletter(bytes, len, attempts, nullptr, 0, out, out_len);
}

Status transport_restamp_deadletter(const void* bytes, uint64_t len, uint32_t attempts, const void* envelope_bytes,
                                    uint64_t envelope_len, void** out, uint64_t* out_len) noexcept {
  if (bytes == nullptr || out == nullptr || out_len == nullptr) return Status::invalid_arg;
  *out = nullptr;
  *out_len = 0;
  try {
    ScratchArena arena;
    auto* dl = arena.make<transport::Deadletter>();
    if (!message_parse_bounded(bytes, len, *dl)) return Status::io;
    dl->set_endpoint_attempt_count(attempts);
    if (envelope_bytes != nullptr && !dl->has_original_envelope() &&
        !message_parse_bounded(envelope_bytes, envelope_len, *dl->mutable_original_envelope())) {
      dl->clear_original_envelope();
    }
    return message_serialize_to_buffer(*dl, out, out_len);
  } catch (...) {
    return Status::nomem;
  }
}

Status deadletter_summary_decode(const void* bytes, uint64_t length, DeadletterSummary* out,
                                 const char* message_id) noexcept {
  if (bytes == nullptr || out == nullptr || length == 0) return Status::invalid_arg;
  *out = DeadletterSummary{};
  const Status s = transport_peek_deadletter_about(bytes, length, message_id, &out->reason,
                                                   &out->endpoint_attempt_count, &out->original, out->detail,
                                                   sizeof out->detail);
  if (s != Status::ok) out->reason = wire(DeadletterReason::unspecified);
  // The detail is re-emitted in deadletters and replies of our own.
  utf8_sanitize(out->detail);
  return s;
}

bool deadletter_is_pre_ownership(const DeadletterSummary& summary) noexcept {
  switch (static_cast<DeadletterReason>(summary.reason)) {
    case DeadletterReason::queue_rejected:
    case DeadletterReason::local_handoff_failed:
    case DeadletterReason::runtime_stopped:
      return true;
    default:
      return false;
  }
}

Status deadletter_set_attempt_count(void** bytes, uint64_t* length, uint32_t attempts, const void* original,
                                    uint64_t original_length) noexcept {
  if (bytes == nullptr || *bytes == nullptr || length == nullptr || *length == 0) return Status::invalid_arg;
  if (attempts == 0 && original == nullptr) return Status::ok;
  void* restamped = nullptr;
  uint64_t restamped_length = 0;
  const Status s =
      transport_restamp_deadletter(*bytes, *length, attempts, original, original_length, &restamped, &restamped_length);
  if (s != Status::ok) {
    rt_free(restamped);
    return s;
  }
  rt_free(*bytes);
  *bytes = restamped;
  *length = restamped_length;
  return Status::ok;
}

}  // namespace vorlet::v2
