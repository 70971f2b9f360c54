#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/perf_event.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bench {

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void sleep_until(uint64_t at_ns) {
  // A time already passed would still cost a trip through the timer and
  // the scheduler.
  if (now_ns() >= at_ns) return;
  const timespec until{static_cast<time_t>(at_ns / 1000000000ull), static_cast<long>(at_ns % 1000000000ull)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void die(const char* what, long value) {
  std::fprintf(stderr, "vorlet_bench: %s (%ld)\n", what, value);
  std::fflush(stderr);
  std::_Exit(2);
}

void make_pipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) die("pipe", errno);
  if (fcntl(fds[1], F_SETPIPE_SZ, 65536) < 65536) die("pipe size", errno);
}

void write_frame(int fd, const void* body, uint64_t length) {
  uint8_t prefix[8];
  for (int i = 0; i < 8; ++i) prefix[i] = static_cast<uint8_t>(length >> (8 * i));
  uint64_t prefix_done = 0;
  uint64_t body_done = 0;
  while (prefix_done < 8 || body_done < length) {
    iovec parts[2];
    int count = 0;
    if (prefix_done < 8) parts[count++] = {prefix + prefix_done, 8 - prefix_done};
    if (body_done < length) {
      parts[count++] = {const_cast<uint8_t*>(static_cast<const uint8_t*>(body)) + body_done, length - body_done};
    }
    const ssize_t n = writev(fd, parts, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("frame write", errno);
    }
    uint64_t left = static_cast<uint64_t>(n);
    const uint64_t to_prefix = std::min<uint64_t>(left, 8 - prefix_done);
    prefix_done += to_prefix;
    body_done += left - to_prefix;
  }
}

bool read_exact(int fd, void* out, uint64_t n) {
  auto* p = static_cast<uint8_t*>(out);
  uint64_t done = 0;
  while (done < n) {
    const ssize_t got = read(fd, p + done, n - done);
    if (got > 0) {
      done += static_cast<uint64_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0 && done == 0) return false;
    die("read_exact", got < 0 ? errno : 0);
  }
  return true;
}

BufferedReader::BufferedReader(int fd, uint64_t capacity) : fd_(fd), buffer_(capacity) {}

bool BufferedReader::fill(uint64_t need, int timeout_ms) {
  if (end_ - begin_ >= need) return true;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() < need) buffer_.resize(need);
  while (end_ < need) {
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, timeout_ms);
    if (r == 0) die("no frame arrived in time on fd", fd_);
    if (r < 0) {
      if (errno == EINTR) continue;
      die("poll", errno);
    }
    const ssize_t got = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<uint64_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) return false;
    die("read", errno);
  }
  return true;
}

bool BufferedReader::next(const uint8_t** body, uint64_t* length, int timeout_ms) {
  if (!fill(8, timeout_ms)) {
    if (end_ != begin_) die("pipe closed inside a frame prefix");
    return false;
  }
  const uint64_t n = frame_length(buffer_.data() + begin_);
  if (!fill(8 + n, timeout_ms)) die("pipe closed inside a frame");
  *body = buffer_.data() + begin_ + 8;
  *length = n;
  begin_ += 8 + n;
  return true;
}

std::vector<uint8_t> build_request(const std::string& id, const std::string& target, uint64_t payload_bytes,
                                   bool one_way, int32_t timeout_ms) {
  std::vector<uint8_t> payload(payload_bytes, 0x5a);
  vorlet_v2_EnvelopeSpec spec{};
  spec.struct_size = sizeof spec;
  spec.message_id = id.c_str();
  spec.correlation_id = one_way ? nullptr : id.c_str();
  spec.source = "bench-host";
  spec.target = target.c_str();
  spec.reply_to = one_way ? nullptr : "bench-host";
  spec.kind = 1;
  spec.one_way = one_way ? 1 : 0;
  spec.timeout_ms = timeout_ms;
  spec.payload = payload.empty() ? nullptr : payload.data();
  spec.payload_len = payload.size();
  void* out = nullptr;
  uint64_t length = 0;
  const int32_t s = vorlet_v2_transport_build_envelope(&spec, &out, &length);
  if (s != VORLET_V2_OK) die("build envelope", s);
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + length);
  vorlet_v2_transport_buffer_release(out);
  return bytes;
}

std::vector<uint8_t> build_reply(const uint8_t* request, uint64_t length, uint64_t payload_bytes) {
  static const std::vector<uint8_t> payload(1 << 16, 0xa5);
  vorlet_v2_RawReplyOptions options{};
  options.struct_size = sizeof options;
  options.request = request;
  options.request_len = length;
  options.source = "bench-answer";
  options.payload = payload_bytes == 0 ? nullptr : payload.data();
  options.payload_len = std::min<uint64_t>(payload_bytes, payload.size());
  void* out = nullptr;
  uint64_t out_length = 0;
  const int32_t s = vorlet_v2_client_build_raw_reply(&options, &out, &out_length);
  if (s != VORLET_V2_OK) die("build reply", s);
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + out_length);
  vorlet_v2_client_bytes_release(out);
  return bytes;
}

RuntimeHost::RuntimeHost(const std::vector<RouteSpec>& routes, int32_t queue_capacity) {
  vorlet_v2_RuntimeOptions options{"bench", "bench", 0, queue_capacity};
  runtime_ = vorlet_v2_runtime_create(&options);
  if (runtime_ == nullptr) die("runtime create");
  handles_.struct_size = sizeof handles_;
  handles_.flags = VORLET_V2_HOST_HANDLE_DELIVERED_PIPE;
  int32_t s = vorlet_v2_runtime_get_host_handles(runtime_, &handles_);
  if (s != VORLET_V2_OK) die("host handles", s);

  std::vector<vorlet_v2_EndpointDesc> endpoints(routes.size());
  std::vector<vorlet_v2_RouteDesc> descs(routes.size());
  for (size_t i = 0; i < routes.size(); ++i) {
    endpoints[i] = {"127.0.0.1", routes[i].port, 1, routes[i].local ? VORLET_V2_ENDPOINT_FLAG_LOCAL : 0u};
    descs[i] = {routes[i].target.c_str(), VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoints[i], 1};
  }
  const vorlet_v2_RouteSnapshotDesc snapshot{1, descs.data(), descs.size()};
  s = vorlet_v2_runtime_apply_control_snapshot(runtime_, &snapshot);
  if (s != VORLET_V2_OK) die("apply snapshot", s);
  s = vorlet_v2_runtime_start(runtime_);
  if (s != VORLET_V2_OK) die("runtime start", s);
}

vorlet_v2_RuntimeStats RuntimeHost::stats() const {
  vorlet_v2_RuntimeStats st{};
  st.struct_size = sizeof st;
  (void)vorlet_v2_runtime_get_stats(runtime_, &st);
  return st;
}

void RuntimeHost::stop() {
  if (stopped_) return;
  stopped_ = true;
  (void)vorlet_v2_runtime_stop(runtime_);
}

RuntimeHost::~RuntimeHost() {
  stop();
  vorlet_v2_runtime_destroy(runtime_);
  const int fds[] = {handles_.request_write_fd, handles_.response_read_fd, handles_.deadletter_read_fd,
                     handles_.control_write_fd, handles_.monitor_read_fd,  handles_.delivered_read_fd};
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

uint16_t free_port() {
  uint16_t port = 0;
  const int fd = tcp_listen_loopback(&port);
  close(fd);
  return port;
}

int tcp_listen_loopback(uint16_t* port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket", errno);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(*port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind", errno);
  if (listen(fd, backlog) != 0) die("listen", errno);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

int tcp_connect_loopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket", errno);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  while (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINTR) die("connect", errno);
  }
  return fd;
}

namespace {

// The tracepoint's id, from tracefs where it is usually mounted or from
// its older place under debugfs; 0 when neither can be read.
uint64_t sys_enter_id() {
  for (const char* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                           "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
    std::ifstream in(path);
    uint64_t id = 0;
    if (in >> id) return id;
  }
  return 0;
}

std::vector<pid_t> process_threads() {
  std::vector<pid_t> out;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return out;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') out.push_back(static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10)));
  }
  closedir(dir);
  return out;
}

}  // namespace

SyscallCounter::~SyscallCounter() { close_all(); }

void SyscallCounter::close_all() {
  for (int fd : fds_) close(fd);
  fds_.clear();
  own_ = -1;
}

bool SyscallCounter::start() {
  close_all();
  why_.clear();
  const uint64_t id = sys_enter_id();
  if (id == 0) {
    why_ = "the raw_syscalls:sys_enter tracepoint id cannot be read (tracefs not mounted, or not readable to "
           "this user); mount it as root (mount -t tracefs nodev /sys/kernel/tracing) and run the bench as root";
    return false;
  }
  perf_event_attr attr{};
  attr.size = sizeof attr;
  attr.type = PERF_TYPE_TRACEPOINT;
  attr.config = id;
  attr.disabled = 1;
  attr.inherit = 1;
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  for (pid_t tid : process_threads()) {
    const long fd = syscall(SYS_perf_event_open, &attr, tid, -1, -1, PERF_FLAG_FD_CLOEXEC);
    if (fd < 0) {
      if (errno == ESRCH) continue;  // the thread ended meanwhile
      why_ = std::string("perf_event_open on the tracepoint failed: ") + std::strerror(errno) +
             "; run as root, or set kernel.perf_event_paranoid to -1";
      close_all();
      return false;
    }
    fds_.push_back(static_cast<int>(fd));
    if (tid == self) own_ = static_cast<int>(fd);
  }
  for (int fd : fds_) {
    if (fd != own_) ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
  }
  if (own_ >= 0) ioctl(own_, PERF_EVENT_IOC_ENABLE, 0);
  return true;
}

uint64_t SyscallCounter::stop() {
  if (own_ >= 0) ioctl(own_, PERF_EVENT_IOC_DISABLE, 0);
  uint64_t total = 0;
  for (int fd : fds_) {
    uint64_t count = 0;
    if (read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) total += count;
  }
  close_all();
  return total;
}

ProcessUsage process_usage() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto ns = [](const timeval& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_usec) * 1000ull;
  };
  ProcessUsage out;
  out.context_switches = static_cast<uint64_t>(u.ru_nvcsw) + static_cast<uint64_t>(u.ru_nivcsw);
  out.voluntary_switches = static_cast<uint64_t>(u.ru_nvcsw);
  out.cpu_ns = ns(u.ru_utime) + ns(u.ru_stime);
  out.minor_faults = static_cast<uint64_t>(u.ru_minflt);
  return out;
}

void CostMeter::start() {
  counting_ = calls_.start();
  begin_ = process_usage();
}

Cost CostMeter::stop() {
  const ProcessUsage end = process_usage();
  Cost out;
  out.syscalls_counted = counting_;
  if (counting_) out.syscalls = calls_.stop();
  counting_ = false;
  out.context_switches = end.context_switches - begin_.context_switches;
  out.voluntary_switches = end.voluntary_switches - begin_.voluntary_switches;
  out.cpu_ns = end.cpu_ns - begin_.cpu_ns;
  return out;
}

void Report::add(Row row) { rows_.push_back(std::move(row)); }

void Report::account(RunCount run) { runs_.push_back(std::move(run)); }

void Report::note(const std::string& line) { notes_.push_back(line); }

void Report::note_once(const std::string& line) {
  if (std::find(notes_.begin(), notes_.end(), line) == notes_.end()) notes_.push_back(line);
}

namespace {

bool has_ratio(const Row& r) { return r.baseline != 0 && std::isfinite(r.runtime) && std::isfinite(r.baseline); }

void print_figure(FILE* out, double v) {
  if (std::isfinite(v)) {
    std::fprintf(out, " %14.2f", v);
  } else {
    std::fprintf(out, " %14s", "n/a");
  }
}

}  // namespace

void Report::print(FILE* out) const {
  std::fprintf(out, "%-38s %9s %7s %14s %14s %8s  %s\n", "scenario", "payload", "threads", "runtime", "baseline",
               "ratio", "units");
  for (const Row& r : rows_) {
    std::fprintf(out, "%-38s %9llu %7u", r.scenario.c_str(), static_cast<unsigned long long>(r.payload), r.threads);
    print_figure(out, r.runtime);
    print_figure(out, r.baseline);
    if (has_ratio(r)) {
      std::fprintf(out, " %8.3f", r.runtime / r.baseline);
    } else {
      std::fprintf(out, " %8s", "-");
    }
    std::fprintf(out, "  %s\n", r.units.c_str());
  }
  if (!runs_.empty()) {
    std::fprintf(out, "\n%-38s %9s %7s %12s %12s %12s %12s\n", "runtime run", "payload", "threads", "submitted",
                 "delivered", "deadletters", "refusals");
    for (const RunCount& r : runs_) {
      std::fprintf(out, "%-38s %9llu %7u %12llu %12llu %12llu %12llu\n", r.scenario.c_str(),
                   static_cast<unsigned long long>(r.payload), r.threads,
                   static_cast<unsigned long long>(r.submitted), static_cast<unsigned long long>(r.delivered),
                   static_cast<unsigned long long>(r.deadletters), static_cast<unsigned long long>(r.refusals));
    }
    std::fprintf(out, "\n");
  }
  for (const std::string& n : notes_) std::fprintf(out, "%s\n", n.c_str());
}

namespace {

std::string json_text(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

}  // namespace

bool Report::write_json(const std::string& path) const {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(f, "{\n  \"results\": [\n");
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Row& r = rows_[i];
    const double ratio = has_ratio(r) ? r.runtime / r.baseline : NAN;
    std::fprintf(f,
                 "    {\"scenario\": %s, \"payload\": %llu, \"threads\": %u, \"runtime\": %s, \"baseline\": %s, "
                 "\"ratio\": %s, \"units\": %s, \"higher_is_better\": %s}%s\n",
                 json_text(r.scenario).c_str(), static_cast<unsigned long long>(r.payload), r.threads,
                 json_number(r.runtime).c_str(), json_number(r.baseline).c_str(), json_number(ratio).c_str(),
                 json_text(r.units).c_str(), r.higher_better ? "true" : "false", i + 1 < rows_.size() ? "," : "");
  }
  std::fprintf(f, "  ],\n  \"runs\": [\n");
  for (size_t i = 0; i < runs_.size(); ++i) {
    const RunCount& r = runs_[i];
    std::fprintf(f,
                 "    {\"scenario\": %s, \"payload\": %llu, \"threads\": %u, \"submitted\": %llu, "
                 "\"delivered\": %llu, \"deadletters\": %llu, \"refusals\": %llu}%s\n",
                 json_text(r.scenario).c_str(), static_cast<unsigned long long>(r.payload), r.threads,
                 static_cast<unsigned long long>(r.submitted), static_cast<unsigned long long>(r.delivered),
                 static_cast<unsigned long long>(r.deadletters), static_cast<unsigned long long>(r.refusals),
                 i + 1 < runs_.size() ? "," : "");
  }
  std::fprintf(f, "  ],\n  \"notes\": [");
  for (size_t i = 0; i < notes_.size(); ++i) {
    std::fprintf(f, "%s\n    %s", i == 0 ? "" : ",", json_text(notes_[i]).c_str());
  }
  std::fprintf(f, "%s]\n}\n", notes_.empty() ? "" : "\n  ");
  return std::fclose(f) == 0;
}

double percentile_us(std::vector<uint64_t> samples, double pct) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t i = static_cast<size_t>(std::ceil(pct / 100.0 * static_cast<double>(samples.size()))) ;
  if (i > 0) --i;
  if (i >= samples.size()) i = samples.size() - 1;
  return static_cast<double>(samples[i]) / 1000.0;
}

}  // namespace bench
