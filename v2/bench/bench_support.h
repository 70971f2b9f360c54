// What the benchmark host needs besides the library: a clock, pipes and
// sockets of its own for the baselines, a buffered frame reader, envelope
// bytes, a runtime brought up as a host would, what the process spends in
// system calls, context switches and CPU, and the result table.
// Benchmark code plays the host, so it uses POSIX directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "vorlet_v2.h"

namespace bench {

uint64_t now_ns();
// Sleeps until the monotonic clock reads at_ns; returns at once, without a
// system call, when it has passed. Pacing on absolute times, so that a late
// wake does not push every later slot back.
void sleep_until(uint64_t at_ns);

// Stops the run with a message: a benchmark that cannot do its work has no
// figures to report.
[[noreturn]] void die(const char* what, long value = 0);

// ---- pipes and frames ----

// A pipe with the runtime's buffer size (65536 bytes); both ends blocking.
void make_pipe(int fds[2]);
// Writes prefix and body of one frame, blocking until all of it is out.
void write_frame(int fd, const void* body, uint64_t length);
// The body length a frame's 8-byte little-endian prefix gives.
inline uint64_t frame_length(const uint8_t* prefix) {
  uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = (length << 8) | prefix[i];
  return length;
}
// Reads exactly n bytes; false at end of file before the first byte.
bool read_exact(int fd, void* out, uint64_t n);

// Reads frames out of large reads, as a host that wants throughput does.
// A frame returned stays valid until the next call.
class BufferedReader {
 public:
  explicit BufferedReader(int fd, uint64_t capacity = 1u << 20);
  // false at end of file between frames; dies when nothing comes for
  // timeout_ms (a frame the run expected is missing).
  bool next(const uint8_t** body, uint64_t* length, int timeout_ms = 20000);

 private:
  bool fill(uint64_t need, int timeout_ms);
  int fd_;
  std::vector<uint8_t> buffer_;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
};

// ---- envelopes ----

std::vector<uint8_t> build_request(const std::string& id, const std::string& target, uint64_t payload_bytes,
                                   bool one_way, int32_t timeout_ms = 5000);
// The raw reply the host answers a two-way request with.
std::vector<uint8_t> build_reply(const uint8_t* request, uint64_t length, uint64_t payload_bytes);

// ---- a runtime as a host brings it up ----

struct RouteSpec {
  std::string target;
  uint16_t port;
  bool local;
};

class RuntimeHost {
 public:
  // Created, handles taken (with the delivered-request pipe), the routes
  // applied and started. A local route makes the runtime listen on its port.
  explicit RuntimeHost(const std::vector<RouteSpec>& routes, int32_t queue_capacity = 0);
  ~RuntimeHost();
  RuntimeHost(const RuntimeHost&) = delete;
  RuntimeHost& operator=(const RuntimeHost&) = delete;

  vorlet_v2_Runtime* runtime() const { return runtime_; }
  const vorlet_v2_HostHandles& handles() const { return handles_; }
  vorlet_v2_RuntimeStats stats() const;
  // Stops the runtime (its host-bound pipes then read end of file).
  void stop();

 private:
  vorlet_v2_Runtime* runtime_ = nullptr;
  vorlet_v2_HostHandles handles_{};
  bool stopped_ = false;
};

// A loopback port nothing listens on right now.
uint16_t free_port();

// ---- loopback TCP for the remote baseline ----

// backlog: the listen queue's length (what connections wait in while the
// server serves another).
int tcp_listen_loopback(uint16_t* port, int backlog = 16);
int tcp_connect_loopback(uint16_t port);

// ---- what the process spends ----

// Counts the system calls the process's threads enter, with one counter
// per thread on the raw_syscalls:sys_enter tracepoint. Threads that exist
// at start are counted, and so are threads they start later (the
// counters are inherited); start it once the threads of interest run.
class SyscallCounter {
 public:
  SyscallCounter() = default;
  ~SyscallCounter();
  SyscallCounter(const SyscallCounter&) = delete;
  SyscallCounter& operator=(const SyscallCounter&) = delete;

  // false when system calls cannot be counted here; why() then says why
  // and how to enable it.
  bool start();
  // System calls since start, summed over the threads; closes the counters.
  uint64_t stop();
  const std::string& why() const { return why_; }

 private:
  void close_all();
  std::vector<int> fds_;
  // The calling thread's own counter is enabled last and disabled first,
  // so that the counting itself adds about one call.
  int own_ = -1;
  std::string why_;
};

// Context switches (voluntary and not), CPU time (user and system) and
// minor page faults (first touches of memory the process was given) of the
// whole process so far, every thread's, ended ones included. A voluntary
// switch is a thread going to sleep (in poll, read, a futex, a sleep) and
// so, once it is woken, one wake-up; a thread that spins or yields instead
// adds none.
struct ProcessUsage {
  uint64_t context_switches = 0;
  uint64_t voluntary_switches = 0;
  uint64_t cpu_ns = 0;
  uint64_t minor_faults = 0;
};
ProcessUsage process_usage();

// What the process spent over one window: system calls when they could
// be counted, context switches and CPU time always.
struct Cost {
  bool syscalls_counted = false;
  uint64_t syscalls = 0;
  uint64_t context_switches = 0;
  uint64_t voluntary_switches = 0;  // of context_switches: the wake-ups
  uint64_t cpu_ns = 0;
};

class CostMeter {
 public:
  void start();
  Cost stop();
  // Empty when system calls were counted.
  const std::string& why() const { return calls_.why(); }

 private:
  SyscallCounter calls_;
  bool counting_ = false;
  ProcessUsage begin_;
};

// ---- results ----

// A figure that could not be measured is NaN and prints as n/a; a
// baseline of 0 (a floor of nothing) has no ratio.
struct Row {
  std::string scenario;
  uint64_t payload;
  uint32_t threads;
  double runtime;
  double baseline;
  std::string units;
  // true when a higher figure is better (rates); false for latencies and
  // memory, where the ratio is still runtime / baseline.
  bool higher_better;
};

// Where the envelopes of one runtime run went: every scenario that
// submits reports what reached the host beside what came back as
// deadletters, since a flat-out producer overfills the local ring and the
// surplus becomes deadletters by design.
struct RunCount {
  std::string scenario;
  uint64_t payload;
  uint32_t threads;
  uint64_t submitted;
  uint64_t delivered;    // reached the host (or, for round trips, came back answered)
  uint64_t deadletters;  // the runtimes' deadletters_emitted
  uint64_t refusals;     // submit or ask begin answered -6 (each retried)
};

class Report {
 public:
  void add(Row row);
  void account(RunCount run);
  void note(const std::string& line);
  // Adds the line only the first time it is given.
  void note_once(const std::string& line);
  void print(FILE* out) const;
  bool write_json(const std::string& path) const;

 private:
  std::vector<Row> rows_;
  std::vector<RunCount> runs_;
  std::vector<std::string> notes_;
};

// Percentile (0..100) of latencies in nanoseconds, in microseconds.
double percentile_us(std::vector<uint64_t> samples, double pct);

}  // namespace bench
