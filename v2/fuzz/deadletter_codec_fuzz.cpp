// Deadletter bytes from a peer, as the remote worker takes them: the peek at
// reason, attempts and detail, and the re-stamp of the attempt count, which
// must keep everything else. The same bytes also go in as the envelope of a
// deadletter the runtime builds, where they become its original envelope
// exactly when they parse as one.
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "codec/deadletter.h"
#include "fuzz_support.h"
#include "vorlet/v2/transport.pb.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;
namespace pb = vorlet::v2::transport;

namespace {

struct Peeked {
  Status status;
  int32_t reason;
  uint32_t attempts;
  DeadletterSummary summary;
};

Peeked peek(const void* bytes, uint64_t len) {
  Peeked p{};
  std::memset(p.summary.detail, 0x55, sizeof p.summary.detail);
  p.reason = 77;
  p.attempts = 77;
  p.status = transport_peek_deadletter(bytes, len, &p.reason, &p.attempts, p.summary.detail, sizeof p.summary.detail);
  FUZZ_CHECK(terminated_within(p.summary.detail, sizeof p.summary.detail));
  return p;
}

void fuzz_peek_and_restamp(const uint8_t* data, size_t size) {
  const Peeked first = peek(data, size);
  if (first.status != Status::ok) {
    FUZZ_CHECK(first.status == Status::io);
    FUZZ_CHECK(first.reason == 0 && first.attempts == 0);
    return;
  }
  // A deadletter that parses holds valid UTF-8, and the cut keeps it so.
  FUZZ_CHECK(utf8_valid(first.summary.detail, std::strlen(first.summary.detail)));

  pb::Deadletter original;
  FUZZ_CHECK(original.ParseFromArray(data, static_cast<int>(size)));
  for (uint32_t attempts : {0u, 3u, 4294967295u}) {
    void* out = nullptr;
    uint64_t out_len = 0;
    FUZZ_CHECK(transport_restamp_deadletter_attempts(data, size, attempts, &out, &out_len) == Status::ok);
    const Peeked again = peek(out, out_len);
    FUZZ_CHECK(again.status == Status::ok && again.reason == first.reason && again.attempts == attempts);
    FUZZ_CHECK(std::strcmp(again.summary.detail, first.summary.detail) == 0);
    // Nothing but the attempt count changed, undeclared fields included.
    pb::Deadletter restamped;
    FUZZ_CHECK(restamped.ParseFromArray(out, static_cast<int>(out_len)));
    restamped.set_endpoint_attempt_count(original.endpoint_attempt_count());
    FUZZ_CHECK(canonical_bytes(restamped) == canonical_bytes(original));
    rt_free(out);
  }
}

void fuzz_build_around(const uint8_t* data, size_t size) {
  void* out = nullptr;
  uint64_t out_len = 0;
  FUZZ_CHECK(transport_build_deadletter(data, size, 9, "invalid envelope", 5, "peer.example", 7001, 2, &out,
                                        &out_len) == Status::ok);
  pb::Deadletter built;
  FUZZ_CHECK(built.ParseFromArray(out, static_cast<int>(out_len)));
  FUZZ_CHECK(built.reason() == 9 && built.detail() == "invalid envelope" && built.active_generation() == 5 &&
             built.resolved_host() == "peer.example" && built.resolved_port() == 7001 &&
             built.endpoint_attempt_count() == 2);
  pb::Envelope envelope;
  const bool parses = envelope.ParseFromArray(data, static_cast<int>(size));
  FUZZ_CHECK(built.has_original_envelope() == parses);
  if (parses) FUZZ_CHECK(canonical_bytes(built.original_envelope()) == canonical_bytes(envelope));
  rt_free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_peek_and_restamp(data, size);
  fuzz_build_around(data, size);
  return 0;
}
