// Byte-level looks at a record the library filled or left alone.
#pragma once

#include <cstddef>

namespace vorlet::v2::test {

// Every byte of rec is 0: what an emptied or never-written record holds.
template <class T>
bool all_zero(const T& rec) {
  const auto* p = reinterpret_cast<const unsigned char*>(&rec);
  for (size_t i = 0; i < sizeof rec; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

}  // namespace vorlet::v2::test
