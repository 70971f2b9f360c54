// Owned copies of texts and bounded copies into caller buffers. Every cut
// keeps UTF-8 valid: a cut never leaves an incomplete multi-byte sequence
// at the end, so a cut text still parses as a protobuf string.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

// A NUL-terminated heap copy of text (NULL copies as ""), freed with rt_free;
// nullptr only on exhaustion.
char* text_dup(const char* text) noexcept;

// A heap copy of the `len` bytes at text plus a NUL (len + 1 bytes; "" for
// len 0), freed with rt_free; nullptr only on exhaustion. For texts that
// carry their own length, such as the string fields of a parsed message.
char* text_dup_n(const char* text, uint64_t len) noexcept;

// The length to keep of the first `len` bytes of `text` when at most `max`
// bytes fit: min(len, max), shortened so that no incomplete UTF-8 sequence is
// left at the end. Bytes before the cut are kept as they are.
uint64_t utf8_cut_length(const char* text, uint64_t len, uint64_t max) noexcept;

// Copies `text` (NULL as "") into buffer, cut to capacity - 1 bytes with the
// UTF-8-safe cut, always NUL-terminated; reads at most `capacity` bytes of
// text. Does nothing when buffer is NULL or capacity is 0. Returns the
// number of bytes stored before the NUL.
uint64_t text_copy_bounded(char* buffer, uint64_t capacity, const char* text) noexcept;

// Makes a NUL-terminated text valid UTF-8 in place: every byte that does not
// belong to a well-formed sequence (stray continuation bytes, truncated or
// overlong sequences, surrogates, code points above U+10FFFF) becomes '?'.
// The length does not change. For texts that arrive from the network and
// become fields of messages this runtime builds, which must parse. Returns
// the number of bytes replaced; NULL is ignored.
uint64_t utf8_sanitize(char* text) noexcept;

}  // namespace vorlet::v2
