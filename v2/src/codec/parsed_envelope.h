// The flat form of a parsed envelope that the core validates and routes on,
// which owns its texts, and the envelope's own consistency rules. It
// holds no payload: the core forwards the bytes it received unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "base/status.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

using HeaderEntry = vorlet_v2_HeaderEntry;

// Owns every text, the header array and each key and value in it. The six
// texts sit one after another in one block (text_block), so a parse costs
// one allocation for them, not six. After a successful parse every text is
// non-NULL ("" for an empty field); a zeroed record is the empty state.
//
// Move-only: a copy would free every text twice, so none can be made by
// accident. A move hands everything over and leaves the source empty; the
// destructor frees what the record owns. A record inside a job (a zeroed
// block from a free list, never constructed as a whole) is begun and ended
// by the job's new and free.
struct ParsedEnvelope {
  HeaderEntry* headers = nullptr;
  uint64_t header_count = 0;
  char* message_id = nullptr;
  char* correlation_id = nullptr;
  char* source = nullptr;
  char* target = nullptr;
  char* reply_to = nullptr;
  char* message_type = nullptr;
  int32_t kind = 0;
  uint32_t one_way = 0;
  int32_t timeout_ms = 0;
  uint32_t payload_schema_version = 0;
  uint32_t payload_format = 0;
  uint32_t delivery_hint = 0;
  char* text_block = nullptr;  // owns the six texts above

  ParsedEnvelope() noexcept = default;
  ~ParsedEnvelope();
  ParsedEnvelope(ParsedEnvelope&& from) noexcept;
  // Frees what this record held, then takes everything `from` owns.
  ParsedEnvelope& operator=(ParsedEnvelope&& from) noexcept;
  ParsedEnvelope(const ParsedEnvelope&) = delete;
  ParsedEnvelope& operator=(const ParsedEnvelope&) = delete;

  // Exchanges every field with `other`: the one list of them that a move
  // and a clear go through.
  void swap(ParsedEnvelope& other) noexcept;
};

static_assert(!std::is_copy_constructible_v<ParsedEnvelope>, "a copy would free every text twice");
static_assert(!std::is_copy_assignable_v<ParsedEnvelope>, "a copy would free every text twice");
static_assert(std::is_nothrow_move_constructible_v<ParsedEnvelope> && std::is_nothrow_move_assignable_v<ParsedEnvelope>,
              "a hand-over cannot fail");

// Makes *pe the empty record without freeing anything: for a record that
// owns nothing. NULL-safe.
void parsed_envelope_init(ParsedEnvelope* pe) noexcept;
// Frees what *pe owns and leaves it empty; NULL-safe, and again is harmless.
void parsed_envelope_clear(ParsedEnvelope* pe) noexcept;
// ok, invalid_arg, nomem or io; the error text goes to err (cut to
// err_cap - 1).
Status parsed_envelope_parse(const void* bytes, uint64_t len, ParsedEnvelope* pe, char* err, uint64_t err_cap) noexcept;

// A parse moved to the heap, to travel with the frame it was made from:
// the new record takes everything *from owns and *from is left empty;
// nullptr on exhaustion (*from is then unchanged). The move itself
// allocates nothing: the record's one allocation is its own block.
ParsedEnvelope* parsed_envelope_move_to_heap(ParsedEnvelope* from) noexcept;
// Ends and frees a record of parsed_envelope_move_to_heap; NULL-safe.
void parsed_envelope_free(ParsedEnvelope* pe) noexcept;

struct ParsedEnvelopeFree {
  void operator()(ParsedEnvelope* pe) const noexcept { parsed_envelope_free(pe); }
};
// Owns one record of parsed_envelope_move_to_heap until release().
using ParsedEnvelopePtr = std::unique_ptr<ParsedEnvelope, ParsedEnvelopeFree>;

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
