#include "codec/parsed_envelope.h"

#include <cstring>
#include <string_view>

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
  const std::string* const texts[] = {&env.message_id(), &env.source(),   &env.target(),
                                      &env.reply_to(),   &env.correlation_id(), &env.message_type()};
  char** const slots[] = {&pe->message_id, &pe->source,         &pe->target,
                          &pe->reply_to,   &pe->correlation_id, &pe->message_type};
  uint64_t total = 0;
  for (const std::string* t : texts) total += t->size() + 1;  // the message is below 2 GiB
  char* block = static_cast<char*>(rt_malloc(total));
  if (block == nullptr) {
    parsed_envelope_clear(pe);
    return fail(Status::nomem, err, err_cap, "memory allocation failed");
  }
  pe->text_block = block;
  for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
    std::memcpy(block, texts[i]->data(), texts[i]->size());
    block[texts[i]->size()] = '\0';
    *slots[i] = block;
    block += texts[i]->size() + 1;
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
  rt_free(pe->text_block);
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

int32_t envelope_peek_kind(const void* bytes, uint64_t len, int32_t* kind) noexcept {
  if (bytes == nullptr || kind == nullptr) return to_c(Status::invalid_arg);
  try {
    ScratchArena arena;
    auto* env = arena.make<transport::Envelope>();
    if (!message_parse_bounded(bytes, len, *env)) return to_c(Status::io);
    *kind = env->kind();
    return to_c(Status::ok);
  } catch (...) {
    return to_c(Status::nomem);
  }
}

int32_t envelope_peek_correlation(const void* bytes, uint64_t len, const char* message_id, int32_t* kind,
                                  bool* correlated) noexcept {
  if (bytes == nullptr || kind == nullptr || correlated == nullptr) return to_c(Status::invalid_arg);
  try {
    ScratchArena arena;
    auto* env = arena.make<transport::Envelope>();
    if (!message_parse_bounded(bytes, len, *env)) return to_c(Status::io);
    *kind = env->kind();
    // Compared whole: a correlation_id that only begins with the id, or
    // goes on past a NUL byte, names another request.
    *correlated = env->correlation_id() == std::string_view(message_id != nullptr ? message_id : "");
    return to_c(Status::ok);
  } catch (...) {
    return to_c(Status::nomem);
  }
}

}  // namespace vorlet::v2
