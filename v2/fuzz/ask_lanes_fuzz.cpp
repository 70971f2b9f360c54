// The ask client's lanes, given any frame on either pipe (the first byte
// picks the lane): the response lane takes only responses and completes the
// ask of their correlation id, the deadletter lane takes any deadletter and
// completes the ask of its original envelope's message id. A frame that
// breaks a lane's rules is refused with its text; one that matches no
// pending ask changes nothing.
#include <cstring>
#include <memory>
#include <string>

#include "client/ask_client.h"
#include "fuzz_support.h"
#include "vorlet/v2/transport.pb.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;
namespace pb = vorlet::v2::transport;
using LaneKind = AskClientImpl::LaneKind;

namespace {

// A client whose lanes never start: the frames are handed to it here.
std::shared_ptr<AskClientImpl> g_client;

// What the lane must make of the frame: the error text it must refuse it
// with (NULL: taken), and the key it must complete.
const char* expected(LaneKind lane, const uint8_t* frame, size_t length, std::string* key) {
  if (lane == LaneKind::response) {
    pb::Envelope e;
    if (!e.ParseFromArray(frame, static_cast<int>(length))) return "failed to parse response envelope";
    if (e.kind() != pb::MESSAGE_KIND_RESPONSE) return "unexpected non-response frame on response lane";
    *key = e.correlation_id();
    return nullptr;
  }
  pb::Deadletter d;
  if (!d.ParseFromArray(frame, static_cast<int>(length))) return "failed to parse deadletter";
  *key = d.original_envelope().message_id();
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_client = AskClientImpl::make(nullptr, -1, -1, ask_lane_frame_limit(0));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const LaneKind lane = (data[0] & 1) != 0 ? LaneKind::deadletter : LaneKind::response;
  const uint8_t* frame = data + 1;
  const size_t length = size - 1;

  const char* const keys[] = {"m-1", "m-2"};
  std::shared_ptr<PendingAsk> asks[2];
  for (int i = 0; i < 2; ++i) {
    asks[i] = std::make_shared<PendingAsk>();
    FUZZ_CHECK(g_client->insert_pending(keys[i], asks[i]) == Status::ok);
  }
  std::string key;
  const char* want = expected(lane, frame, length, &key);
  const char* got = g_client->take_frame(lane, frame, length);
  FUZZ_CHECK((want == nullptr) == (got == nullptr));
  if (want != nullptr) FUZZ_CHECK(std::strcmp(want, got) == 0);

  for (int i = 0; i < 2; ++i) {
    PendingAsk& ask = *asks[i];
    const bool matched = want == nullptr && key == keys[i];
    FUZZ_CHECK(ask.done == matched);
    if (!matched) continue;
    FUZZ_CHECK(ask.result == Status::ok && ask.length == length);
    FUZZ_CHECK(ask.kind == (lane == LaneKind::response ? ReplyKind::response : ReplyKind::deadletter));
    if (length > 0) FUZZ_CHECK(std::memcmp(ask.bytes, frame, length) == 0);
  }
  FUZZ_CHECK(g_client->pending_count() == (want == nullptr && (key == keys[0] || key == keys[1]) ? 1u : 2u));
  g_client->fail_all_pending(Status::closed);
  return 0;
}
