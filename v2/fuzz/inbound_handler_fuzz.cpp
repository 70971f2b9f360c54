// Requests from a remote peer, handed to the inbound handler of a started
// runtime as the TCP listener hands them: whatever the bytes, the handler
// answers with a response correlated to the request, a deadletter, or a
// failure with a reason and a text, and never leaves a reply behind on a
// failure.
#include <cstring>

#include "base/alloc.h"
#include "codec/codes.h"
#include "codec/deadletter.h"
#include "fuzz_host.h"
#include "fuzz_support.h"
#include "runtime/inbound_requests.h"
#include "vorlet/v2/transport.pb.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;
namespace pb = vorlet::v2::transport;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)FuzzHost::get(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  void* runtime = FuzzHost::get(true).runtime();
  int32_t kind = wire(ReplyKind::none);
  uint8_t* reply = nullptr;
  uint64_t reply_length = 0;
  int32_t reason = wire(DeadletterReason::delivery_failed);
  char text[160] = "";
  const Status s = inbound_requests_handle(runtime, data, size, 1000, &kind, &reply, &reply_length, &reason,
                                                 text, sizeof text);
  FUZZ_CHECK(terminated_within(text, sizeof text));
  if (s != Status::ok) {
    FUZZ_CHECK(kind == wire(ReplyKind::none) && reply == nullptr && reply_length == 0);
    if (size > 0) FUZZ_CHECK(s != Status::invalid_arg);
    return 0;
  }
  FUZZ_CHECK(kind == wire(ReplyKind::response) || kind == wire(ReplyKind::deadletter));
  FUZZ_CHECK((reply == nullptr) == (reply_length == 0));
  if (kind == wire(ReplyKind::response)) {
    pb::Envelope request, response;
    FUZZ_CHECK(request.ParseFromArray(data, static_cast<int>(size)));
    // A one-way request is answered, empty, once it is handed on; any other
    // with the host's answer to this very request.
    if (request.one_way() && reply_length == 0) return 0;
    FUZZ_CHECK(response.ParseFromArray(reply, static_cast<int>(reply_length)));
    FUZZ_CHECK(response.kind() == pb::MESSAGE_KIND_RESPONSE);
    FUZZ_CHECK(response.correlation_id() == request.message_id());
  } else {
    int32_t dl_reason = wire(DeadletterReason::unspecified);
    uint32_t attempts = 0;
    char detail[kDeadletterDetailCapacity];
    FUZZ_CHECK(transport_peek_deadletter(reply, reply_length, &dl_reason, &attempts, detail, sizeof detail) ==
               Status::ok);
    FUZZ_CHECK(dl_reason != wire(DeadletterReason::unspecified));
  }
  rt_free(reply);
  return 0;
}
