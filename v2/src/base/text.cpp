#include "base/text.h"

#include <cstring>

#include "base/alloc.h"

namespace vorlet::v2 {

char* text_dup(const char* text) noexcept {
  if (text == nullptr) text = "";
  const size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(rt_malloc(n + 1));
  if (copy != nullptr) std::memcpy(copy, text, n + 1);
  return copy;
}

char* text_dup_n(const char* text, uint64_t len) noexcept {
  if (len == UINT64_MAX) return nullptr;
  auto* copy = static_cast<char*>(rt_malloc(len + 1));
  if (copy == nullptr) return nullptr;
  if (len != 0) std::memcpy(copy, text, len);
  copy[len] = '\0';
  return copy;
}

uint64_t utf8_cut_length(const char* text, uint64_t len, uint64_t max) noexcept {
  if (len <= max) return len;
  // The cut splits a sequence exactly when the first dropped byte is a
  // continuation byte; then cut before that sequence's lead byte. A sequence
  // is at most four bytes, so more than three continuation bytes means the
  // text was not UTF-8 there and the plain cut stands.
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  uint64_t cut = max;
  for (int step = 0; step < 3 && cut > 0 && (s[cut] & 0xC0) == 0x80; ++step) --cut;
  return (s[cut] & 0xC0) == 0x80 ? max : cut;
}

uint64_t text_copy_bounded(char* buffer, uint64_t capacity, const char* text) noexcept {
  if (buffer == nullptr || capacity == 0) return 0;
  if (text == nullptr) text = "";
  // Only the first `capacity` bytes can matter, so no more are read: the
  // source need not be terminated within them.
  const void* nul = std::memchr(text, '\0', capacity);
  const uint64_t len = nul != nullptr ? static_cast<uint64_t>(static_cast<const char*>(nul) - text) : capacity;
  const uint64_t n = utf8_cut_length(text, len, capacity - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return n;
}

namespace {

// The length of the well-formed sequence starting at s, or 0 when none does.
uint64_t utf8_sequence_length(const unsigned char* s) noexcept {
  const unsigned char b = s[0];
  if (b < 0x80) return 1;
  uint64_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  // A NUL fails every range test, so the scan never passes the terminator.
  if (s[1] < lo || s[1] > hi) return 0;
  for (uint64_t i = 2; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  return n;
}

}  // namespace

uint64_t utf8_sanitize(char* text) noexcept {
  if (text == nullptr) return 0;
  auto* s = reinterpret_cast<unsigned char*>(text);
  uint64_t replaced = 0;
  while (*s != 0) {
    const uint64_t n = utf8_sequence_length(s);
    if (n == 0) {
      *s++ = '?';
      ++replaced;
    } else {
      s += n;
    }
  }
  return replaced;
}

}  // namespace vorlet::v2
