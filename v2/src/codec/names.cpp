#include "codec/names.h"

#include <cstdio>
#include <cstring>

namespace vorlet::v2 {
namespace {

// Appends text while keeping the running length of the whole list.
class FlagListWriter {
 public:
  FlagListWriter(char* buffer, uint64_t capacity) noexcept
      : buffer_(capacity > 0 ? buffer : nullptr), capacity_(capacity) {
    if (buffer_ != nullptr) buffer_[0] = '\0';
  }

  void append(const char* text) noexcept {
    for (const char* p = text; *p != '\0'; ++p) {
      if (buffer_ != nullptr && length_ < capacity_ - 1) buffer_[length_] = *p;
      ++length_;
    }
  }

  uint64_t finish() noexcept {
    if (buffer_ != nullptr) buffer_[length_ < capacity_ ? length_ : capacity_ - 1] = '\0';
    return length_;
  }

 private:
  char* buffer_;
  uint64_t capacity_;
  uint64_t length_ = 0;
};

}  // namespace

uint64_t format_flag_list(uint32_t flags, char* buffer, uint64_t capacity, const uint32_t* order,
                          uint64_t order_count, FlagNameFn name) noexcept {
  FlagListWriter out(buffer, capacity);
  if (flags == 0) {
    out.append("none");
    return out.finish();
  }
  uint32_t leftover = flags;
  bool placed = false;
  for (uint64_t i = 0; i < order_count; ++i) {
    const uint32_t bit = order[i];
    if ((flags & bit) == 0) continue;
    const char* text = name(bit);
    if (text == nullptr) continue;
    if (placed) out.append(",");
    out.append(text);
    placed = true;
    leftover &= ~bit;
  }
  if (leftover != 0) {
    char unknown[32];
    std::snprintf(unknown, sizeof unknown, "unknown(0x%x)", leftover);
    if (placed) out.append(",");
    out.append(unknown);
  }
  return out.finish();
}

}  // namespace vorlet::v2
