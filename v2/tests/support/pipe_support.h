// Pipes a test owns, and patient frame reads on the host's side of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/frame_reader.h"
#include "base/status.h"

namespace vorlet::v2::test {

// The body of one frame as a host reads it.
using FrameBytes = std::vector<unsigned char>;

// The bytes of a frame body as a string, for parsing and comparing.
inline std::string str(const FrameBytes& b) { return std::string(b.begin(), b.end()); }

// A pipe owned by the test; both ends are closed when it goes.
struct TestPipe {
  int32_t read_fd = -1;
  int32_t write_fd = -1;
  TestPipe();
  ~TestPipe();
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;
  void close_read();
  void close_write();
};

// Descriptors open in this process now.
size_t open_fd_count();

// Calls frame_read_try until it gives something other than would_block, or
// until about timeout_ms have passed (then would_block). On ok the body is
// copied into *body and the frame released.
Status read_frame(FrameReader* reader, FrameBytes* body, uint32_t timeout_ms = 10000);

// A body of n bytes whose content tells frames and positions apart.
FrameBytes pattern(uint64_t n, uint32_t seed);

}  // namespace vorlet::v2::test
