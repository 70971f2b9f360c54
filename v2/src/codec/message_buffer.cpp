#include "codec/message_buffer.h"

#include <google/protobuf/message_lite.h>

#include "base/alloc.h"

namespace vorlet::v2 {

bool message_parse_bounded(const void* bytes, uint64_t len, google::protobuf::MessageLite& msg) {
  if (len > kMaxMessageBytes) return false;
  return msg.ParseFromArray(bytes, static_cast<int>(len));
}

Status message_serialize_to_buffer(const google::protobuf::MessageLite& msg, void** out, uint64_t* out_len) {
  *out = nullptr;
  *out_len = 0;
  // Sizing first lets the encoding go straight into the caller's block, with
  // no intermediate string holding a second copy of the payload.
  const size_t size = msg.ByteSizeLong();
  if (size > kMaxMessageBytes) return Status::io;
  auto* block = static_cast<uint8_t*>(rt_malloc(size));
  if (block == nullptr) return Status::nomem;
  msg.SerializeWithCachedSizesToArray(block);
  *out = block;
  *out_len = size;
  return Status::ok;
}

}  // namespace vorlet::v2
