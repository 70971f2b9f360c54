// Flag-list formatting behind the two exported formatters.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

using FlagNameFn = const char* (*)(uint32_t);

// Names of the set bits in `order` order joined by ",", then any leftover
// bits as "unknown(0x..)"; "none" for 0. At most capacity - 1 characters
// and a NUL reach the buffer; returns the whole text's length.
uint64_t format_flag_list(uint32_t flags, char* buffer, uint64_t capacity, const uint32_t* order,
                          uint64_t order_count, FlagNameFn name) noexcept;

}  // namespace vorlet::v2
