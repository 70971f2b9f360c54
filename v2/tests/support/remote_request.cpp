#include "support/remote_request.h"

#include "base/alloc.h"
#include "runtime/inbound_requests.h"

namespace vorlet::v2::test {

RemoteAnswer handle_remote_request(Runtime* rt, const std::string& bytes, uint32_t timeout_ms) {
  RemoteAnswer a{};
  uint8_t* reply = nullptr;
  uint64_t reply_length = 0;
  char text[160];
  a.status = inbound_requests_handle(rt, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                           timeout_ms, &a.kind, &reply, &reply_length, &a.reason, text, sizeof text);
  if (reply != nullptr) a.reply.assign(reinterpret_cast<const char*>(reply), reply_length);
  rt_free(reply);
  a.text = text;
  return a;
}

}  // namespace vorlet::v2::test
