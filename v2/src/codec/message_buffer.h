// Moving messages of the two schemas between bytes and message objects.
// Message objects stay local to one call on one thread; only the bytes
// travel on.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace google::protobuf {
class MessageLite;
}

namespace vorlet::v2 {

// The largest encoding protobuf parses or writes (2^31 - 1 bytes).
inline constexpr uint64_t kMaxMessageBytes = 2147483647u;

// Parses `len` bytes into msg (cleared first). False when len is above
// kMaxMessageBytes (nothing is read then) or the bytes do not decode; msg then
// holds an unspecified part of the input and is to be discarded.
bool message_parse_bounded(const void* bytes, uint64_t len, google::protobuf::MessageLite& msg);

// Serializes msg into a new rt_malloc block owned by the caller (a 1-byte
// block for an empty encoding). Stores NULL and 0 first; io when the encoding
// would exceed kMaxMessageBytes, nomem when the block cannot be had.
Status message_serialize_to_buffer(const google::protobuf::MessageLite& msg, void** out, uint64_t* out_len);

}  // namespace vorlet::v2
