// Requests a host hands to an ask client. First the parse and
// re-serialisation of begin, against protobuf's own reading: exactly the
// two-way requests with a message id (a text, no NUL inside) are taken, and what is submitted is
// the same envelope with an empty correlation id filled in. Then each
// accepted request goes through a live client on a started runtime whose
// host answers what is delivered to it: every ask comes back with the
// answer to it, a response correlated to its message id or a deadletter
// of its own envelope.
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/ask_ticket.h"
#include "fuzz_host.h"
#include "fuzz_support.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;
namespace pb = vorlet::v2::transport;

namespace {

vorlet_v2_AskClientHandle* g_client = nullptr;

void destroy_client() { vorlet_v2_ask_client_destroy(g_client); }

// What begin must submit for the bytes, or false when it must refuse them.
bool expected_submission(const uint8_t* data, size_t size, pb::Envelope* out) {
  if (size == 0 || !out->ParseFromArray(data, static_cast<int>(size))) return false;
  if (out->kind() != pb::MESSAGE_KIND_REQUEST || out->one_way() || out->message_id().empty()) return false;
  if (out->message_id().find('\0') != std::string::npos) return false;  // not a text
  if (out->correlation_id().empty()) out->set_correlation_id(out->message_id());
  return true;
}

void ask_through_the_client(const uint8_t* data, size_t size, const std::string& id) {
  vorlet_v2_AskTicket* ticket = nullptr;
  FUZZ_CHECK(vorlet_v2_ask_client_begin(g_client, data, size, &ticket) == VORLET_V2_OK);
  FUZZ_CHECK(std::strcmp(vorlet_v2_ask_ticket_message_id(ticket), id.c_str()) == 0);
  int32_t kind = 0;
  void* bytes = nullptr;
  uint64_t length = 0;
  FUZZ_CHECK(vorlet_v2_ask_ticket_await(ticket, 10000, &kind, &bytes, &length) == VORLET_V2_OK);
  if (kind == VORLET_V2_REPLY_KIND_RESPONSE) {
    pb::Envelope response;
    FUZZ_CHECK(response.ParseFromArray(bytes, static_cast<int>(length)));
    FUZZ_CHECK(response.kind() == pb::MESSAGE_KIND_RESPONSE && response.correlation_id() == id);
  } else {
    FUZZ_CHECK(kind == VORLET_V2_REPLY_KIND_DEADLETTER);
    pb::Deadletter deadletter;
    FUZZ_CHECK(deadletter.ParseFromArray(bytes, static_cast<int>(length)));
    FUZZ_CHECK(deadletter.original_envelope().message_id() == id);
  }
  vorlet_v2_client_bytes_release(bytes);
  vorlet_v2_ask_ticket_destroy(ticket);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzHost& host = FuzzHost::get(false);  // the client reads the replies
  vorlet_v2_HostHandles handles = host.handles();
  g_client = vorlet_v2_ask_client_create(host.runtime(), &handles);
  FUZZ_CHECK(g_client != nullptr);
  std::atexit(destroy_client);  // before the host goes
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string id;
  HeapBlock bytes;
  uint64_t length = 0;
  const Status s = ask_request_prepare(data, size, &id, &bytes, &length);
  pb::Envelope want;
  if (!expected_submission(data, size, &want)) {
    FUZZ_CHECK(s == Status::invalid_arg && bytes == nullptr && length == 0);
    return 0;
  }
  FUZZ_CHECK(s == Status::ok && id == want.message_id());
  pb::Envelope got;
  FUZZ_CHECK(got.ParseFromArray(bytes.get(), static_cast<int>(length)));
  FUZZ_CHECK(canonical_bytes(got) == canonical_bytes(want));
  ask_through_the_client(data, size, id);
  return 0;
}
