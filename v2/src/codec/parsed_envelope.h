// The flat form of a parsed envelope that the core validates and routes on.
// It holds no payload: the core forwards the bytes it received unchanged.
#pragma once

#include <cstdint>

#include "vorlet_v2.h"

namespace vorlet::v2 {

using HeaderEntry = vorlet_v2_HeaderEntry;

// Owns every text, the header array and each key and value in it. The six
// texts sit one after another in one block (text_block), so a parse costs
// one allocation for them, not six. After a successful parse every text is
// non-NULL ("" for an empty field); a zeroed record is the empty state.
struct ParsedEnvelope {
  HeaderEntry* headers;
  uint64_t header_count;
  char* message_id;
  char* correlation_id;
  char* source;
  char* target;
  char* reply_to;
  char* message_type;
  int32_t kind;
  uint32_t one_way;
  int32_t timeout_ms;
  uint32_t payload_schema_version;
  uint32_t payload_format;
  uint32_t delivery_hint;
  char* text_block;  // owns the six texts above
};

void parsed_envelope_init(ParsedEnvelope* pe) noexcept;
void parsed_envelope_clear(ParsedEnvelope* pe) noexcept;
// 0, -1, -2 or -5; the error text goes to err (cut to err_cap - 1).
int32_t parsed_envelope_parse(const void* bytes, uint64_t len, ParsedEnvelope* pe, char* err, uint64_t err_cap) noexcept;

// Whether bytes are an envelope, and of which kind, without taking the
// parsed form: 0 with *kind set, -1 (NULL arguments), -2 or -5 (not an
// envelope).
int32_t envelope_peek_kind(const void* bytes, uint64_t len, int32_t* kind) noexcept;

// envelope_peek_kind, and whether the envelope's correlation_id is exactly
// message_id (NULL counts as ""): whether a reply answers that request.
// 0 with *kind and *correlated set; -1 (NULL bytes or outputs), -2 or -5.
int32_t envelope_peek_correlation(const void* bytes, uint64_t len, const char* message_id, int32_t* kind,
                                  bool* correlated) noexcept;

}  // namespace vorlet::v2
