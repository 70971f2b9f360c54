// The flat form of a parsed envelope that the core validates and routes on,
// the guard that owns one, and the envelope's own consistency rules. It
// holds no payload: the core forwards the bytes it received unchanged.
#pragma once

#include <cstdint>
#include <memory>

#include "codec/status.h"
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
// ok, invalid_arg, nomem or io; the error text goes to err (cut to
// err_cap - 1).
Status parsed_envelope_parse(const void* bytes, uint64_t len, ParsedEnvelope* pe, char* err, uint64_t err_cap) noexcept;

// A parse moved to the heap, to travel with the frame it was made from:
// the new record takes everything *from owns and *from is left empty;
// nullptr on exhaustion (*from is then unchanged). A record owns its texts
// and points into no bytes, so a move is a plain copy of its fields.
ParsedEnvelope* parsed_envelope_move_to_heap(ParsedEnvelope* from) noexcept;
// Clears and frees a record of parsed_envelope_move_to_heap; NULL-safe.
void parsed_envelope_free(ParsedEnvelope* pe) noexcept;

struct ParsedEnvelopeFree {
  void operator()(ParsedEnvelope* pe) const noexcept { parsed_envelope_free(pe); }
};
// Owns one record of parsed_envelope_move_to_heap until release().
using ParsedEnvelopePtr = std::unique_ptr<ParsedEnvelope, ParsedEnvelopeFree>;

// A parsed envelope for the length of one item or request; cleared on
// every path out.
struct ParsedEnvelopeGuard {
  ParsedEnvelope pe;
  ParsedEnvelopeGuard() noexcept { parsed_envelope_init(&pe); }
  ~ParsedEnvelopeGuard() { parsed_envelope_clear(&pe); }
  ParsedEnvelopeGuard(const ParsedEnvelopeGuard&) = delete;
  ParsedEnvelopeGuard& operator=(const ParsedEnvelopeGuard&) = delete;
};

// The envelope's own consistency rules, first refusal wins: ok, or
// invalid_arg with the rule's message in text (cut to capacity - 1; nothing
// written for a NULL text or a capacity of 0). A NULL envelope is refused
// without a message.
Status parsed_envelope_validate_semantics(const ParsedEnvelope* pe, char* text, uint64_t capacity) noexcept;

// Whether bytes are an envelope, of which kind, and whether its
// correlation_id is exactly message_id (NULL counts as ""): whether a reply
// answers that request. Nothing of the parsed form is kept. ok with *kind
// and *correlated set; invalid_arg (NULL bytes or outputs), nomem or io
// (not an envelope).
Status envelope_peek_correlation(const void* bytes, uint64_t len, const char* message_id, int32_t* kind,
                                 bool* correlated) noexcept;

}  // namespace vorlet::v2
