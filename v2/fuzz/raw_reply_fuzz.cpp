// The raw reply builder, given any bytes as the request it answers: it must
// refuse exactly what is not a two-way request with a message id and a
// source, and answer the rest with the response the request asks for.
#include <string>

#include "fuzz_support.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

using namespace vorlet::v2::fuzz;
namespace pb = vorlet::v2::transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char kPayload[] = "reply-payload";
  vorlet_v2_RawReplyOptions options{};
  options.struct_size = sizeof options;
  options.request = data;
  options.request_len = size;
  options.source = "fuzz.replier";
  options.payload = kPayload;
  options.payload_len = sizeof kPayload - 1;
  void* out = nullptr;
  uint64_t out_len = 7;
  const int32_t s = vorlet_v2_client_build_raw_reply(&options, &out, &out_len);

  pb::Envelope request;
  const bool answerable = size > 0 && request.ParseFromArray(data, static_cast<int>(size)) &&
                          request.kind() == pb::MESSAGE_KIND_REQUEST && !request.one_way() &&
                          !request.message_id().empty() && !request.source().empty();
  if (!answerable) {
    FUZZ_CHECK(s == -1 && out == nullptr && out_len == 0);
    return 0;
  }
  FUZZ_CHECK(s == 0 && out != nullptr);
  pb::Envelope reply;
  FUZZ_CHECK(reply.ParseFromArray(out, static_cast<int>(out_len)));
  FUZZ_CHECK(reply.message_id() == request.message_id() + ".reply");
  FUZZ_CHECK(reply.correlation_id() == request.message_id());
  FUZZ_CHECK(reply.source() == "fuzz.replier" && reply.target() == request.source());
  FUZZ_CHECK(reply.kind() == pb::MESSAGE_KIND_RESPONSE && !reply.one_way() && reply.reply_to().empty());
  FUZZ_CHECK(reply.timeout_ms() == request.timeout_ms());
  FUZZ_CHECK(reply.payload() == std::string(kPayload, sizeof kPayload - 1));
  FUZZ_CHECK(reply.delivery_hint() == pb::DELIVERY_HINT_ROUTER_DEFAULT && reply.status() == pb::BUSINESS_STATUS_OK);
  FUZZ_CHECK(reply.headers().empty() && reply.message_type().empty());
  vorlet_v2_client_bytes_release(out);
  return 0;
}
