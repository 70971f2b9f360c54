#include "codec/text.h"

#include <cstring>

#include "codec/alloc.h"

namespace vorlet::v2 {

char* text_dup(const char* text) noexcept {
  if (text == nullptr) text = "";
  const size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(rt_malloc(n + 1));
  if (copy != nullptr) std::memcpy(copy, text, n + 1);
  return copy;
}

}  // namespace vorlet::v2
