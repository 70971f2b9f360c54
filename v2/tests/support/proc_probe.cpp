#include "support/proc_probe.h"

#include <filesystem>
#include <fstream>
#include <system_error>

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

size_t thread_count() { return count_entries("/proc/self/task"); }

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
