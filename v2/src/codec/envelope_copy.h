// Copies of an envelope's texts and headers into the flat records the core
// and the views hand out. Every copy is an rt_malloc block owned by the
// record it is stored in.
#pragma once

#include <cstdint>
#include <string>

#include "base/alloc.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

// A NUL-terminated copy of a message's string field (length + 1 bytes; ""
// for an empty field); nullptr only on exhaustion.
char* text_copy(const std::string& text) noexcept;

enum class HeaderCopy {
  ok,
  array_failed,   // the array itself could not be allocated
  string_failed,  // a key or value copy could not be allocated
};

// Copies the header map, in its own iteration order, into a new zeroed
// array. `*headers` and `*count` are set as soon as the array exists, so on
// string_failed the caller's record already owns the partial array and
// releases it with header_array_free. An empty map gives NULL and 0.
HeaderCopy header_array_copy(const transport::Envelope& envelope, vorlet_v2_HeaderEntry** headers,
                             uint64_t* count) noexcept;

// Releases each key and value of the `count` entries and then the array.
// NULL is ignored; entries whose texts are NULL are fine.
void header_array_free(vorlet_v2_HeaderEntry* headers, uint64_t count) noexcept;

// Releases a text (or payload) that a flat record owns; the public records
// hand them out as const so that hosts do not write through them.
inline void owned_free(const void* block) noexcept { rt_free(const_cast<void*>(block)); }

}  // namespace vorlet::v2
