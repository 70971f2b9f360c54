#include "codec/envelope_copy.h"

#include "base/text.h"

namespace vorlet::v2 {

char* text_copy(const std::string& text) noexcept { return text_dup_n(text.data(), text.size()); }

HeaderCopy header_array_copy(const transport::Envelope& envelope, vorlet_v2_HeaderEntry** headers,
                             uint64_t* count) noexcept {
  *headers = nullptr;
  *count = 0;
  const auto& map = envelope.headers();
  if (map.empty()) return HeaderCopy::ok;
  auto* array = static_cast<vorlet_v2_HeaderEntry*>(rt_calloc(map.size(), sizeof(vorlet_v2_HeaderEntry)));
  if (array == nullptr) return HeaderCopy::array_failed;
  *headers = array;
  *count = map.size();
  vorlet_v2_HeaderEntry* entry = array;
  for (const auto& [key, value] : map) {
    entry->key = text_copy(key);
    if (entry->key == nullptr) return HeaderCopy::string_failed;
    entry->value = text_copy(value);
    if (entry->value == nullptr) return HeaderCopy::string_failed;
    ++entry;
  }
  return HeaderCopy::ok;
}

void header_array_free(vorlet_v2_HeaderEntry* headers, uint64_t count) noexcept {
  if (headers == nullptr) return;
  for (uint64_t i = 0; i < count; ++i) {
    owned_free(headers[i].key);
    owned_free(headers[i].value);
  }
  rt_free(headers);
}

}  // namespace vorlet::v2
