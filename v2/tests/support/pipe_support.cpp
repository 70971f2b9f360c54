#include "support/pipe_support.h"

#include <filesystem>

#include "pool/frame_buffer.h"
#include "base/clock.h"
#include "platform/sleep.h"
#include "platform/pipe.h"

namespace vorlet::v2::test {

TestPipe::TestPipe() { platform::pipe_create(&read_fd, &write_fd); }

TestPipe::~TestPipe() {
  close_read();
  close_write();
}

void TestPipe::close_read() {
  platform::fd_close(read_fd);
  read_fd = -1;
}

void TestPipe::close_write() {
  platform::fd_close(write_fd);
  write_fd = -1;
}

size_t open_fd_count() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

Status read_frame(FrameReader* reader, std::vector<unsigned char>* body, uint32_t timeout_ms) {
  uint64_t start = 0;
  clock_monotonic_ns(&start);
  for (;;) {
    void* frame = nullptr;
    uint64_t length = 0;
    const Status s = frame_read_try(reader, &frame, &length);
    if (s == Status::ok) {
      const auto* bytes = static_cast<const unsigned char*>(frame);
      body->assign(bytes, bytes + length);
      frame_buffer_release(frame);
      return s;
    }
    if (s != Status::would_block) return s;
    uint64_t now = 0;
    clock_monotonic_ns(&now);
    if (now - start > static_cast<uint64_t>(timeout_ms) * 1000000ull) return s;
    platform::sleep_ms(1);
  }
}

std::vector<unsigned char> pattern(uint64_t n, uint32_t seed) {
  std::vector<unsigned char> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (uint64_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<unsigned char>(x >> 16);
  }
  return out;
}

}  // namespace vorlet::v2::test
