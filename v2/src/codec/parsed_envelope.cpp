#include "codec/parsed_envelope.h"

#include <cstring>

#include "codec/envelope_copy.h"
#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"
#include "codec/text.h"

namespace vorlet::v2 {
namespace {

int32_t fail(Status status, char* err, uint64_t err_cap, const char* text) noexcept {
  text_copy_bounded(err, err_cap, text);
  return to_c(status);
}

// Copies what the core routes on; never the payload, status or error texts.
int32_t fill(const transport::Envelope& env, ParsedEnvelope* pe, char* err, uint64_t err_cap) noexcept {
  pe->message_id = text_copy(env.message_id());
  pe->correlation_id = text_copy(env.correlation_id());
  pe->source = text_copy(env.source());
  pe->target = text_copy(env.target());
  pe->reply_to = text_copy(env.reply_to());
  pe->message_type = text_copy(env.message_type());
  if (pe->message_id == nullptr || pe->correlation_id == nullptr || pe->source == nullptr ||
      pe->target == nullptr || pe->reply_to == nullptr || pe->message_type == nullptr) {
    parsed_envelope_clear(pe);
    return fail(Status::nomem, err, err_cap, "memory allocation failed");
  }
  switch (header_array_copy(env, &pe->headers, &pe->header_count)) {
    case HeaderCopy::ok:
      break;
    case HeaderCopy::array_failed:
      parsed_envelope_clear(pe);
      return fail(Status::nomem, err, err_cap, "header allocation failed");
    case HeaderCopy::string_failed:
      parsed_envelope_clear(pe);
      return fail(Status::nomem, err, err_cap, "header string allocation failed");
  }
  pe->kind = env.kind();
  pe->one_way = env.one_way() ? 1 : 0;
  pe->timeout_ms = env.timeout_ms();
  pe->payload_schema_version = env.payload_schema_version();
  pe->payload_format = static_cast<uint32_t>(env.payload_format());
  pe->delivery_hint = static_cast<uint32_t>(env.delivery_hint());
  // The copies stay: callers clear the record whatever the outcome.
  if (pe->target[0] == '\0') return fail(Status::invalid_arg, err, err_cap, "target is required");
  return to_c(Status::ok);
}

}  // namespace

void parsed_envelope_init(ParsedEnvelope* pe) noexcept {
  if (pe != nullptr) std::memset(pe, 0, sizeof *pe);
}

void parsed_envelope_clear(ParsedEnvelope* pe) noexcept {
  if (pe == nullptr) return;
  header_array_free(pe->headers, pe->header_count);
  rt_free(pe->message_id);
  rt_free(pe->correlation_id);
  rt_free(pe->source);
  rt_free(pe->target);
  rt_free(pe->reply_to);
  rt_free(pe->message_type);
  std::memset(pe, 0, sizeof *pe);
}

int32_t parsed_envelope_parse(const void* bytes, uint64_t len, ParsedEnvelope* pe, char* err, uint64_t err_cap) noexcept {
  if (bytes == nullptr || pe == nullptr) return fail(Status::invalid_arg, err, err_cap, "invalid arguments");
  parsed_envelope_clear(pe);
  try {
    ScratchArena arena;
    auto* env = arena.make<transport::Envelope>();
    if (!message_parse_bounded(bytes, len, *env)) return fail(Status::io, err, err_cap, "protobuf parse failed");
    return fill(*env, pe, err, err_cap);
  } catch (...) {
    // Only the message library allocates by throwing; fill() never throws.
    parsed_envelope_clear(pe);
    return fail(Status::nomem, err, err_cap, "memory allocation failed");
  }
}

}  // namespace vorlet::v2
