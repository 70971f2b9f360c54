// One call of the inbound request handler as the TCP listener makes it, and
// everything it gave back, for tests that play a peer without a socket.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"
#include "runtime/runtime.h"

namespace vorlet::v2::test {

struct RemoteAnswer {
  Status status;
  int32_t kind;
  int32_t reason;
  std::string reply;
  std::string text;
};

// Hands the request bytes to inbound_requests_handle with this wait
// bound; the reply buffer it returned is copied and freed.
RemoteAnswer handle_remote_request(Runtime* rt, const std::string& bytes, uint32_t timeout_ms);

}  // namespace vorlet::v2::test
