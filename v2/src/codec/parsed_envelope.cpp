#include "codec/parsed_envelope.h"

#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "base/alloc.h"
#include "base/text.h"
#include "codec/codes.h"
#include "codec/envelope_copy.h"
#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"

namespace vorlet::v2 {
namespace {

Status fail(Status status, char* err, uint64_t err_cap, const char* text) noexcept {
  text_copy_bounded(err, err_cap, text);
  return status;
}

bool missing(const char* text) noexcept { return text == nullptr || text[0] == '\0'; }

Status refuse(char* text, uint64_t capacity, const char* message) noexcept {
  text_copy_bounded(text, capacity, message);
  return Status::invalid_arg;
}

// Copies what the core routes on; never the payload, status or error texts.
Status fill(const transport::Envelope& env, ParsedEnvelope* pe, char* err, uint64_t err_cap) noexcept {
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
  return Status::ok;
}

}  // namespace

ParsedEnvelope::~ParsedEnvelope() {
  header_array_free(headers, header_count);
  rt_free(text_block);
}

ParsedEnvelope::ParsedEnvelope(ParsedEnvelope&& from) noexcept { swap(from); }

ParsedEnvelope& ParsedEnvelope::operator=(ParsedEnvelope&& from) noexcept {
  ParsedEnvelope taken(std::move(from));
  swap(taken);  // what this record held goes with `taken`
  return *this;
}

void ParsedEnvelope::swap(ParsedEnvelope& other) noexcept {
  std::swap(headers, other.headers);
  std::swap(header_count, other.header_count);
  std::swap(message_id, other.message_id);
  std::swap(correlation_id, other.correlation_id);
  std::swap(source, other.source);
  std::swap(target, other.target);
  std::swap(reply_to, other.reply_to);
  std::swap(message_type, other.message_type);
  std::swap(kind, other.kind);
  std::swap(one_way, other.one_way);
  std::swap(timeout_ms, other.timeout_ms);
  std::swap(payload_schema_version, other.payload_schema_version);
  std::swap(payload_format, other.payload_format);
  std::swap(delivery_hint, other.delivery_hint);
  std::swap(text_block, other.text_block);
}

void parsed_envelope_init(ParsedEnvelope* pe) noexcept {
  if (pe != nullptr) new (pe) ParsedEnvelope();
}

void parsed_envelope_clear(ParsedEnvelope* pe) noexcept {
  if (pe == nullptr) return;
  ParsedEnvelope gone(std::move(*pe));  // frees it on the way out
}

ParsedEnvelope* parsed_envelope_move_to_heap(ParsedEnvelope* from) noexcept {
  if (from == nullptr) return nullptr;
  void* block = rt_malloc(sizeof(ParsedEnvelope));
  if (block == nullptr) return nullptr;
  return new (block) ParsedEnvelope(std::move(*from));
}

void parsed_envelope_free(ParsedEnvelope* pe) noexcept {
  if (pe == nullptr) return;
  pe->~ParsedEnvelope();
  rt_free(pe);
}

Status parsed_envelope_parse(const void* bytes, uint64_t len, ParsedEnvelope* pe, char* err,
                             uint64_t err_cap) noexcept {
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

Status parsed_envelope_validate_semantics(const ParsedEnvelope* pe, char* text, uint64_t capacity) noexcept {
  if (pe == nullptr) return Status::invalid_arg;
  switch (static_cast<MessageKind>(pe->kind)) {
    case MessageKind::response:
      if (missing(pe->correlation_id)) return refuse(text, capacity, "response envelope missing correlation_id");
      if (pe->one_way != 0) return refuse(text, capacity, "response envelope must not be one_way");
      if (!missing(pe->reply_to)) return refuse(text, capacity, "response envelope must not carry reply_to");
      if (pe->delivery_hint > wire(DeliveryHint::router_default)) {
        return refuse(text, capacity, "response envelope must not override delivery_hint");
      }
      return Status::ok;
    case MessageKind::request:
      if (pe->one_way != 0) {
        if (!missing(pe->reply_to)) return refuse(text, capacity, "one-way request must not carry reply_to");
        return Status::ok;
      }
      if (missing(pe->correlation_id)) return refuse(text, capacity, "request envelope missing correlation_id");
      return Status::ok;
    case MessageKind::unspecified:
      return refuse(text, capacity, "envelope kind is unspecified");
    default:
      return Status::ok;  // events, and kinds a newer schema may add
  }
}

Status envelope_peek_correlation(const void* bytes, uint64_t len, const char* message_id, int32_t* kind,
                                 bool* correlated) noexcept {
  if (bytes == nullptr || kind == nullptr || correlated == nullptr) return Status::invalid_arg;
  try {
    ScratchArena arena;
    auto* env = arena.make<transport::Envelope>();
    if (!message_parse_bounded(bytes, len, *env)) return Status::io;
    *kind = env->kind();
    // Compared whole: a correlation_id that only begins with the id, or
    // goes on past a NUL byte, names another request.
    *correlated = env->correlation_id() == std::string_view(message_id != nullptr ? message_id : "");
    return Status::ok;
  } catch (...) {
    return Status::nomem;
  }
}

}  // namespace vorlet::v2
