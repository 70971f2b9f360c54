#include "support/proc_probe.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>
#include <chrono>

namespace vorlet::v2::test {
namespace {

size_t count_entries(const char* dir) {
  std::error_code ec;
  size_t n = 0;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n;
}

}  // namespace

// The iterator's own descriptor is counted too, the same way every time.
size_t open_descriptor_count() { return count_entries("/proc/self/fd"); }

// A thread that was just joined can still be listed for a moment while the
// kernel finishes its exit, so take the count once it holds still.
size_t thread_count() {
  size_t last = count_entries("/proc/self/task");
  int steady = 0;
  for (int i = 0; i < 250 && steady < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const size_t now = count_entries("/proc/self/task");
    steady = now == last ? steady + 1 : 0;
    last = now;
  }
  return last;
}

std::string descriptor_target(int fd) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  return ec ? std::string() : target.string();
}

uint32_t descriptor_flags(int fd) {
  std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
  std::string key;
  while (info >> key) {
    if (key == "flags:") {
      std::string octal;
      info >> octal;
      return static_cast<uint32_t>(std::stoul(octal, nullptr, 8));
    }
  }
  return 0;
}

}  // namespace vorlet::v2::test
