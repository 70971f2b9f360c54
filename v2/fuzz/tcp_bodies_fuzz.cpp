// Request and reply bodies of the TCP protocol as a peer sends them, checked
// against an independent reading of the layout: the decoders accept exactly
// the well-formed bodies and point at the right bytes; a received text is
// handed on cut and terminated; a reply built from what was decoded decodes
// to the same fields.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "tcp/tcp_frame.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;

namespace {

void fuzz_request(const uint8_t* data, size_t size) {
  TcpRequest request{};
  const bool decoded = tcp_request_decode(data, size, &request);
  const bool well_formed = size >= 16 && std::memcmp(data, "V2Q1", 4) == 0 && le64(data + 8) == size - 16;
  FUZZ_CHECK(decoded == well_formed);
  if (!decoded) return;
  FUZZ_CHECK(request.timeout_ms == le32(data + 4));
  FUZZ_CHECK(request.payload == data + 16 && request.payload_length == size - 16);
}

void check_copied_text(const char* copy, uint64_t capacity, const char* text, uint64_t length) {
  FUZZ_CHECK(terminated_within(copy, capacity));
  const uint64_t n = std::strlen(copy);
  FUZZ_CHECK(std::memcmp(copy, text, n) == 0);
  const void* nul = std::memchr(text, '\0', length);
  const uint64_t avail = nul != nullptr ? static_cast<uint64_t>(static_cast<const char*>(nul) - text) : length;
  const uint64_t room = capacity - 1;
  if (avail <= room) {
    FUZZ_CHECK(n == avail);
  } else {
    // Cut to the room, and back by at most three bytes so as not to split a
    // sequence: only when the first byte dropped continues one.
    FUZZ_CHECK(n <= room && n + 3 >= room);
    if (n < room) FUZZ_CHECK((static_cast<unsigned char>(text[room]) & 0xC0) == 0x80);
  }
}

void fuzz_reply(const uint8_t* data, size_t size) {
  TcpReply reply{};
  const bool decoded = tcp_reply_decode(data, size, &reply);
  const bool well_formed = size >= 16 && std::memcmp(data, "V2R1", 4) == 0 && le32(data + 12) <= size - 16;
  FUZZ_CHECK(decoded == well_formed);
  if (!decoded) return;
  FUZZ_CHECK(reply.result_kind == static_cast<int32_t>(le32(data + 4)));
  FUZZ_CHECK(reply.reason == static_cast<int32_t>(le32(data + 8)));
  FUZZ_CHECK(reply.text_length == le32(data + 12));
  FUZZ_CHECK(reinterpret_cast<const uint8_t*>(reply.text) == data + 16);
  FUZZ_CHECK(reply.payload == data + 16 + reply.text_length);
  FUZZ_CHECK(reply.payload_length == size - 16 - reply.text_length);

  char text[160];
  for (uint64_t capacity : {uint64_t{1}, uint64_t{9}, uint64_t{sizeof text}}) {
    std::memset(text, 0x55, sizeof text);
    tcp_received_text_copy(text, capacity, reply.text, reply.text_length);
    check_copied_text(text, capacity, reply.text, reply.text_length);
  }

  // Build a reply from what was decoded and decode it again.
  TcpBody built;
  FUZZ_CHECK(tcp_reply_body_build(reply.result_kind, reply.reason, text, reply.payload, reply.payload_length,
                                  &built));
  TcpReply again{};
  FUZZ_CHECK(tcp_reply_decode(built.data(), built.size(), &again));
  FUZZ_CHECK(again.result_kind == reply.result_kind && again.reason == reply.reason);
  FUZZ_CHECK(again.text_length == std::strlen(text) && std::memcmp(again.text, text, again.text_length) == 0);
  FUZZ_CHECK(again.payload_length == reply.payload_length);
  if (reply.payload_length > 0) FUZZ_CHECK(std::memcmp(again.payload, reply.payload, reply.payload_length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_request(data, size);
  fuzz_reply(data, size);
  return 0;
}
