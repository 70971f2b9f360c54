// Owned copies of texts, allocated through the allocation shims.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

// A NUL-terminated heap copy of text (NULL copies as ""), freed with rt_free;
// nullptr only on exhaustion.
char* text_dup(const char* text) noexcept;

}  // namespace vorlet::v2
