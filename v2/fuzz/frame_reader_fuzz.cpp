// The public frame reader on a pipe: frame_read_try, behind
// vorlet_v2_frame_read_try, with which a host reads the frames of its pipes
// (the library's own readers take theirs through the frame splitter, see
// frame_splitter_fuzz). The first byte picks the reader's
// frame limit, the second how the stream is cut into writes; the rest is
// the stream, written into a pipe piece by piece with the reader called
// until it would block after each piece, then the write end closed. What
// the reader reports (frames, refusals, the close) must be exactly what an
// independent reading of the stream gives.
#include <cstring>
#include <string>
#include <vector>

#include "pool/frame_buffer.h"
#include "codec/frame_reader.h"
#include "fuzz_support.h"
#include "platform/pipe.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;

namespace {

struct Outcome {
  Status status;
  std::string body;
  bool operator==(const Outcome& o) const { return status == o.status && body == o.body; }
};

std::vector<Outcome> expected(const uint8_t* s, size_t n, uint64_t limit) {
  std::vector<Outcome> out;
  size_t pos = 0;
  for (;;) {
    const size_t rest = n - pos;
    if (rest == 0) break;
    if (rest < 8) {  // closed inside the length
      out.push_back({Status::io, {}});
      break;
    }
    const uint64_t length = le64(s + pos);
    pos += 8;
    if (length > limit) {  // refused; only the length is consumed
      out.push_back({Status::io, {}});
      continue;
    }
    if (n - pos < length) {  // closed inside the body
      out.push_back({Status::io, {}});
      break;
    }
    out.push_back({Status::ok, std::string(reinterpret_cast<const char*>(s + pos), length)});
    pos += length;
  }
  out.push_back({Status::closed, {}});
  return out;
}

// Calls the reader until it would block (or, with the writer gone, until
// it reports the close), noting every other outcome.
void drain(FrameReader* reader, std::vector<Outcome>* got, bool until_closed) {
  for (int calls = 0; calls < 100000; ++calls) {
    void* frame = nullptr;
    uint64_t length = 7;
    const Status s = frame_read_try(reader, &frame, &length);
    if (s == Status::would_block) {
      FUZZ_CHECK(frame == nullptr && length == 0);
      if (!until_closed) return;
      continue;
    }
    Outcome o{s, {}};
    if (s == Status::ok) {
      FUZZ_CHECK((frame == nullptr) == (length == 0));
      o.body.assign(static_cast<const char*>(frame), length);
      frame_buffer_release(frame);
    } else {
      FUZZ_CHECK(frame == nullptr && length == 0);
    }
    got->push_back(o);
    if (s == Status::closed) return;
  }
  FUZZ_CHECK(!"the reader never settled");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const uint64_t kLimits[] = {1, 7, 8, 16, 100, 4096, 65536, 1048576};
  const uint64_t limit = kLimits[data[0] % 8];
  uint32_t cut = data[1] | 1u;
  const uint8_t* stream = data + 2;
  const size_t n = size - 2;

  int32_t read_end = -1, write_end = -1;
  FUZZ_CHECK(platform::pipe_create(&read_end, &write_end) == Status::ok);
  FrameReader* reader = frame_reader_create(read_end, limit);
  FUZZ_CHECK(reader != nullptr);

  std::vector<Outcome> got;
  size_t pos = 0;
  while (pos < n) {
    cut = cut * 1103515245u + 12345u;
    size_t piece = 1 + (cut >> 16) % 300;
    if (piece > n - pos) piece = n - pos;
    size_t written = 0;
    while (written < piece) {
      uint64_t w = 0;
      FUZZ_CHECK(platform::pipe_write(write_end, stream + pos + written, piece - written, nullptr, 0, &w) ==
                 Status::ok);
      written += w;
    }
    pos += piece;
    drain(reader, &got, false);
  }
  platform::fd_close(write_end);
  drain(reader, &got, true);

  FUZZ_CHECK(got == expected(stream, n, limit));
  // Closed between frames stays closed.
  void* frame = nullptr;
  uint64_t length = 0;
  FUZZ_CHECK(frame_read_try(reader, &frame, &length) == Status::closed);
  frame_reader_destroy(reader);
  platform::fd_close(read_end);
  return 0;
}
