#include "support/proc_probe.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

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

uint64_t voluntary_switches() {
  uint64_t total = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream status(it->path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      const std::string key = "voluntary_ctxt_switches:";
      if (line.compare(0, key.size(), key) == 0) total += std::stoull(line.substr(key.size()));
    }
  }
  return total;
}

namespace {

// A "kB" line of /proc/self/status, in bytes.
uint64_t status_kib_line(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size(), key) == 0) return std::stoull(line.substr(key.size())) * 1024;
  }
  return 0;
}

}  // namespace

uint64_t resident_bytes() { return status_kib_line("VmRSS:"); }

uint64_t peak_resident_bytes() { return status_kib_line("VmHWM:"); }

// Writing 5 to clear_refs resets the peak to the current resident size.
bool reset_peak_resident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// /proc/net/tcp lists a listening socket (state 0A) with its accept queue
// in the rx_queue column.
int64_t listen_backlog(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    if (!(fields >> slot >> local >> remote >> state >> queues)) continue;
    const size_t colon = local.find(':');
    if (state != "0A" || colon == std::string::npos) continue;
    if (std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
    const size_t split = queues.find(':');
    if (split == std::string::npos) continue;
    return static_cast<int64_t>(std::stoull(queues.substr(split + 1), nullptr, 16));
  }
  return -1;
}

uint64_t descriptor_limit_leaving(size_t free) {
  std::set<uint64_t> open;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    // The listing's own descriptor is free again once the listing ends.
    std::error_code link_ec;
    const auto target = std::filesystem::read_symlink(it->path(), link_ec).string();
    if (target.size() >= 3 && target.compare(target.size() - 3, 3, "/fd") == 0 && target.rfind("/proc/", 0) == 0) {
      continue;
    }
    open.insert(std::stoull(it->path().filename().string()));
  }
  // One past the last of `free` free numbers, or the first free one.
  uint64_t limit = 0;
  for (size_t slots = 0;; ++limit) {
    if (open.count(limit) != 0) continue;
    if (slots == free) return limit;
    ++slots;
  }
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
