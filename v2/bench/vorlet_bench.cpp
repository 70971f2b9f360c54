// The runtime's local and remote roads side by side with what the platform
// alone does with the same frames: plain pipes and a relay thread, a relay
// that parses every envelope, a ping-pong over two pipes, one loopback TCP
// connection per exchange, a plain server serving one connection at a time
// to many peers. The round trips also show the system calls, context
// switches, wake-ups and CPU time the whole process spends on each; the
// light-load runs show what a steady rate of envelopes costs per envelope
// and per core, beside a relay that blocks in read at the same rate; the
// idle run shows what a started runtime costs with no traffic (its floor is
// nothing); the route runs show delivery with many routes against one, and
// how the flat apply grows with the snapshot beside a standard hash map's
// copy of it; the readers runs show routing latency while a host thread
// reads the runtime in a loop, beside the same with nobody reading. Every
// runtime run is listed with what it delivered beside what became
// deadletters.
//
//   vorlet_bench [--tiny] [--no-baseline] [--json FILE] [--oneway N] [--bytes B] [--pipe N]
//                [--producers N] [--roundtrip N] [--remote N] [--fanin N] [--peers N] [--memory N]
//                [--allocs N] [--routes N] [--idle-ms MS] [--readers N] [--reader-routes 1000,...]
//                [--light-ms MS] [--light-rates 100,1000,...,0] [--light-runtimes 1,16]
//                [--payloads 64,1024,...] [--relay-payloads 64,1024,...] [--threads 1,2,...]
//                [--only oneway,relay,pipe,producers,roundtrip,remote,fanin,light,memory,allocs,idle,
//                        routes,readers]
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "alloc_counter.h"
#include "bench_support.h"
#include "envelope_parser.h"

namespace bench {
namespace {

struct Options {
  uint64_t oneway = 200000;         // envelopes per one-way run (at most)
  uint64_t bytes = 1ull << 30;      // payload bytes per one-way run (at most)
  uint64_t pipe = 200000;           // envelopes through the request pipe
  uint64_t producers = 400000;      // envelopes per producer-scaling run
  uint64_t roundtrip = 5000;        // local round trips per run
  uint64_t remote = 1500;           // remote round trips (each one connection)
  uint64_t fanin = 8000;            // exchanges of the fan-in run, over all its peers
  uint32_t peers = 16;              // peers of the fan-in run
  uint64_t memory = 1000000;        // envelopes of the memory run
  uint64_t allocs = 20000;          // envelopes of each counted run
  uint64_t routes = 10000;          // routes of the scaling run (the apply also runs 10 times as many)
  uint64_t idle_ms = 2000;          // length of the idle window
  uint64_t readers = 2000;          // paced envelopes per run of the readers scenario
  std::vector<uint64_t> reader_routes{1000, 100000};
  uint64_t light_ms = 2000;                        // length of each paced run of the light-load scenario
  std::vector<uint64_t> light_rates{100, 1000, 10000, 0};  // envelopes/s per runtime; 0: flat out
  std::vector<uint64_t> light_runtimes{1, 16};
  std::vector<uint64_t> relay_payloads{64, 1024, 16384};  // the parsing relay scenario's
  std::vector<uint64_t> payloads{64, 1024, 16384, 61440};
  std::vector<uint32_t> threads{1, 2, 4, 8};
  std::set<std::string> only;
  std::string json;
  bool baselines = true;  // off: the runtime alone, for a profiler

  bool runs(const char* name) const { return only.empty() || only.count(name) != 0; }
};

constexpr uint64_t kMiB = 1ull << 20;

// Rows that set the runtime against itself.
constexpr const char* kVersusNote =
    "  rows named \"A vs B\" hold the runtime's figure for A, and for B in the baseline column";

// What the wake-up rows count.
constexpr const char* kWakeUpsNote =
    "  wake-ups: the voluntary context switches of the whole process (getrusage), per operation: each is a "
    "thread going to sleep (poll, read, accept, a futex, a sleep) and being woken again, so it counts the "
    "times a sleeping thread is woken; a thread that spins or yields adds none, and involuntary switches "
    "(preemption by other work on a shared machine) are left out; ctx switches/op counts both kinds";

double seconds_between(uint64_t a, uint64_t b) { return static_cast<double>(b - a) / 1e9; }

uint64_t runs_for(const Options& o, uint64_t cap, uint64_t payload) {
  const uint64_t by_bytes = o.bytes / std::max<uint64_t>(payload, 1);
  return std::max<uint64_t>(1, std::min(cap, std::max<uint64_t>(by_bytes, 200)));
}

// ---------------------------------------------------------------------
// One-way: envelopes into the runtime, frames out of its delivered pipe.
// ---------------------------------------------------------------------

enum class Road { submit, request_pipe };

struct OneWay {
  double seconds = 0;
  uint64_t frame_bytes = 0;  // body bytes of one frame
  uint64_t delivered = 0;
  uint64_t deadlettered = 0;
  uint64_t refusals = 0;  // submit answered -6
  uint64_t allocations = 0;
  vorlet_v2_RuntimeStats stats{};
};

// Counts frames on one host pipe until it reads end of file; the last
// frame of the run notes the time.
void count_frames(int fd, uint64_t expect_length, std::atomic<uint64_t>* mine, std::atomic<uint64_t>* total,
                  uint64_t n, std::atomic<uint64_t>* end_ns, bool check_length) {
  BufferedReader reader(fd);
  const uint8_t* body = nullptr;
  uint64_t length = 0;
  while (reader.next(&body, &length, -1)) {
    if (check_length && length != expect_length) die("delivered frame has the wrong length", static_cast<long>(length));
    mine->fetch_add(1, std::memory_order_relaxed);
    if (total->fetch_add(1, std::memory_order_acq_rel) + 1 == n) end_ns->store(now_ns(), std::memory_order_release);
  }
}

void wait_for(const std::atomic<uint64_t>& total, uint64_t n, const char* what) {
  const uint64_t deadline = now_ns() + 300ull * 1000000000ull;
  while (total.load(std::memory_order_acquire) < n) {
    if (now_ns() > deadline) die(what, static_cast<long>(total.load()));
    usleep(200);
  }
}

// A producer refused because the ingress is full waits before it tries
// again, doubling the wait while it stays full, as a host would that lets
// the runtime drain rather than spin against it: a producer that only
// yields keeps its core busy, and with eight of them the runtime's own
// threads lose the processor. Even the longest wait is a fraction of what
// the runtime takes to drain a full ring (4096 envelopes at about a
// million a second), so one producer never lets it run dry.
constexpr uint64_t kRefusedFirstWaitUs = 50;
constexpr uint64_t kRefusedLongestWaitUs = 1000;

// window > 0 keeps at most that many envelopes between the producers and
// the host, so that no queue overflows (for counting what one delivered
// envelope costs); 0 lets them run flat out.
// routes > 1 puts that many routes in the snapshot, the one the envelopes
// name last of them.
OneWay runtime_oneway(Road road, uint64_t payload, uint64_t n, uint32_t producers, bool count_allocs = false,
                      uint64_t window = 0, uint64_t routes = 1) {
  const uint16_t port = free_port();
  std::vector<RouteSpec> specs;
  specs.reserve(routes);
  for (uint64_t i = 1; i < routes; ++i) specs.push_back({"bench.route." + std::to_string(i), port, true});
  specs.push_back({"bench.local", port, true});
  RuntimeHost host(specs);
  const std::vector<uint8_t> envelope = build_request("one-way", "bench.local", payload, true);
  OneWay out;
  out.frame_bytes = envelope.size();

  std::atomic<uint64_t> delivered{0}, deadlettered{0}, total{0}, end_ns{0}, refusals{0};
  std::thread on_delivered(count_frames, host.handles().delivered_read_fd, envelope.size(), &delivered, &total, n,
                           &end_ns, true);
  std::thread on_deadletter(count_frames, host.handles().deadletter_read_fd, 0, &deadlettered, &total, n, &end_ns,
                            false);

  if (count_allocs) alloc_counter_open();
  const uint64_t start = now_ns();
  auto produce = [&](uint64_t count) {
    uint64_t refused = 0;
    for (uint64_t i = 0; i < count; ++i) {
      if (window != 0) {
        while (i >= window && total.load(std::memory_order_acquire) + window <= i) sched_yield();
      }
      if (road == Road::request_pipe) {
        write_frame(host.handles().request_write_fd, envelope.data(), envelope.size());
        continue;
      }
      int32_t s;
      uint64_t backoff_us = 0;
      while ((s = vorlet_v2_runtime_submit_envelope(host.runtime(), envelope.data(), envelope.size())) ==
             VORLET_V2_WOULD_BLOCK) {
        ++refused;
        backoff_us = backoff_us == 0 ? kRefusedFirstWaitUs : std::min(backoff_us * 2, kRefusedLongestWaitUs);
        usleep(static_cast<useconds_t>(backoff_us));
      }
      if (s != VORLET_V2_OK) die("submit", s);
    }
    refusals.fetch_add(refused, std::memory_order_relaxed);
  };
  std::vector<std::thread> workers;
  for (uint32_t p = 0; p < producers; ++p) workers.emplace_back(produce, n / producers + (p < n % producers ? 1 : 0));
  for (std::thread& t : workers) t.join();
  wait_for(total, n, "frames missing on the one-way road");
  if (count_allocs) out.allocations = alloc_counter_close();

  out.seconds = seconds_between(start, end_ns.load());
  out.stats = host.stats();
  host.stop();
  on_delivered.join();
  on_deadletter.join();
  out.delivered = delivered.load();
  out.deadlettered = deadlettered.load();
  out.refusals = refusals.load();
  return out;
}

// A relay thread's work: reads frames from in_fd one by one, blocking in
// read, and writes each on to out_fd; closes out_fd once in_fd reads end of
// file. body_bytes: the body buffer it starts with.
void relay_frames(int in_fd, int out_fd, uint64_t body_bytes) {
  std::vector<uint8_t> body(body_bytes);
  uint8_t prefix[8];
  while (read_exact(in_fd, prefix, 8)) {
    const uint64_t length = frame_length(prefix);
    if (length > body.size()) body.resize(length);
    if (!read_exact(in_fd, body.data(), length)) die("relay: closed inside a frame");
    write_frame(out_fd, body.data(), length);
  }
  close(out_fd);
}

// The same frames through two plain pipes and a relay thread that reads
// and writes them one by one.
OneWay baseline_oneway(uint64_t frame_bytes, uint64_t n, uint32_t producers) {
  int in[2], out_pipe[2];
  make_pipe(in);
  make_pipe(out_pipe);
  const std::vector<uint8_t> frame(frame_bytes, 0x5a);
  std::thread relay(relay_frames, in[0], out_pipe[1], frame_bytes + 16);
  std::atomic<uint64_t> got{0}, total{0}, end_ns{0};
  std::thread consumer(count_frames, out_pipe[0], frame_bytes, &got, &total, n, &end_ns, true);

  std::mutex write_lock;  // frames from several producers must not interleave
  const uint64_t start = now_ns();
  auto produce = [&](uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      if (producers == 1) {
        write_frame(in[1], frame.data(), frame.size());
      } else {
        std::lock_guard<std::mutex> hold(write_lock);
        write_frame(in[1], frame.data(), frame.size());
      }
    }
  };
  std::vector<std::thread> workers;
  for (uint32_t p = 0; p < producers; ++p) workers.emplace_back(produce, n / producers + (p < n % producers ? 1 : 0));
  for (std::thread& t : workers) t.join();
  close(in[1]);
  relay.join();
  consumer.join();
  close(in[0]);
  close(out_pipe[0]);
  OneWay result;
  result.seconds = seconds_between(start, end_ns.load());
  result.frame_bytes = frame_bytes;
  result.delivered = got.load();
  return result;
}

void account_oneway(Report& report, const char* scenario, uint64_t payload, uint32_t threads, uint64_t n,
                    const OneWay& rt) {
  report.account({scenario, payload, threads, n, rt.delivered, rt.stats.deadletters_emitted, rt.refusals});
}

// Only what reached the host counts toward the rates; what became
// deadletters is in the table of runs.
void report_oneway(Report& report, const char* scenario, uint64_t payload, uint32_t threads, uint64_t n,
                   const OneWay& rt, const OneWay& base) {
  const double rt_rate = static_cast<double>(rt.delivered) / rt.seconds;
  const double base_rate = static_cast<double>(base.delivered) / base.seconds;
  report.add({scenario, payload, threads, rt_rate, base_rate, "envelopes/s", true});
  report.add({scenario, payload, threads, rt_rate * static_cast<double>(rt.frame_bytes) / kMiB,
              base_rate * static_cast<double>(base.frame_bytes) / kMiB, "MiB/s", true});
  account_oneway(report, scenario, payload, threads, n, rt);
}

void scenario_oneway(const Options& o, Report& report, Road road) {
  const char* name = road == Road::submit ? "local one-way (submit)" : "local one-way (request pipe)";
  for (uint64_t payload : o.payloads) {
    const uint64_t n = runs_for(o, road == Road::submit ? o.oneway : o.pipe, payload);
    const OneWay rt = runtime_oneway(road, payload, n, 1);
    const OneWay base = o.baselines ? baseline_oneway(rt.frame_bytes, n, 1) : OneWay{};
    report_oneway(report, name, payload, 1, n, rt, base);
  }
}

void scenario_producers(const Options& o, Report& report) {
  const uint64_t payload = 64;
  double rt_one = 0, base_one = 0;
  double rt_single = 0, rt_eight = 0;  // the runtime's rates with 1 and with 8 producers
  for (uint32_t threads : o.threads) {
    const OneWay rt = runtime_oneway(Road::submit, payload, o.producers, threads);
    const OneWay base = o.baselines ? baseline_oneway(rt.frame_bytes, o.producers, threads) : OneWay{};
    const double rt_rate = static_cast<double>(rt.delivered) / rt.seconds;
    const double base_rate = static_cast<double>(base.delivered) / base.seconds;
    if (rt_one == 0) {
      rt_one = rt_rate;
      base_one = base_rate;
    }
    if (threads == 1) rt_single = rt_rate;
    if (threads == 8) rt_eight = rt_rate;
    report.add({"producers", payload, threads, rt_rate, base_rate, "envelopes/s", true});
    report.add({"producers: scaling vs first", payload, threads, rt_rate / rt_one, base_rate / base_one, "x", true});
    account_oneway(report, "producers", payload, threads, o.producers, rt);
  }
  // The runtime against itself: its floor here is what one producer gets.
  if (rt_single != 0 && rt_eight != 0) {
    report.add({"producers: 8 vs 1", payload, 8, rt_eight, rt_single, "envelopes/s", true});
    report.note_once(kVersusNote);
  }
}

// Writes every byte of the parts, in as few calls as the pipe allows: one
// when it has room for all of them.
void write_all(int fd, std::vector<iovec>* parts) {
  size_t first = 0;
  while (first < parts->size()) {
    const int count = static_cast<int>(std::min<size_t>(parts->size() - first, IOV_MAX));
    const ssize_t n = writev(fd, parts->data() + first, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("writev", errno);
    }
    uint64_t left = static_cast<uint64_t>(n);
    while (left > 0) {
      iovec& part = (*parts)[first];
      if (left >= part.iov_len) {
        left -= part.iov_len;
        ++first;
      } else {
        part.iov_base = static_cast<uint8_t*>(part.iov_base) + left;
        part.iov_len -= left;
        left = 0;
      }
    }
  }
}

// The floor of a relay that must validate every envelope: it reads up to
// 64 KiB at once, parses every envelope of the whole frames once with
// protobuf, checks its target, and writes the frames that pass in one call
// (more only when the pipe takes part of them). The producer writes the
// same envelopes one frame at a time, as baseline_oneway's does.
OneWay baseline_parsing_relay(const std::vector<uint8_t>& envelope, const std::string& target, uint64_t n) {
  int in[2], out_pipe[2];
  make_pipe(in);
  make_pipe(out_pipe);
  std::thread relay([&] {
    constexpr uint64_t kReadBytes = 64 * 1024;
    EnvelopeParser parser;
    std::vector<uint8_t> held(2 * kReadBytes);
    uint64_t end = 0;  // bytes held, a partial frame's from the last batch first
    std::vector<iovec> batch;
    for (;;) {
      if (held.size() - end < kReadBytes) held.resize(end + kReadBytes);
      const ssize_t got = read(in[0], held.data() + end, kReadBytes);
      if (got < 0) {
        if (errno == EINTR) continue;
        die("parsing relay: read", errno);
      }
      if (got == 0) {
        if (end != 0) die("parsing relay: closed inside a frame");
        break;
      }
      end += static_cast<uint64_t>(got);
      batch.clear();
      uint64_t at = 0;
      while (end - at >= 8) {
        const uint64_t length = frame_length(held.data() + at);
        if (end - at - 8 < length) break;
        if (!parser.decodes_for(held.data() + at + 8, length, target)) die("parsing relay: an envelope failed its check");
        uint8_t* frame = held.data() + at;
        if (!batch.empty() && static_cast<uint8_t*>(batch.back().iov_base) + batch.back().iov_len == frame) {
          batch.back().iov_len += 8 + length;
        } else {
          batch.push_back({frame, 8 + length});
        }
        at += 8 + length;
      }
      write_all(out_pipe[1], &batch);
      std::memmove(held.data(), held.data() + at, end - at);
      end -= at;
    }
    close(out_pipe[1]);
  });
  std::atomic<uint64_t> got{0}, total{0}, end_ns{0};
  std::thread consumer(count_frames, out_pipe[0], envelope.size(), &got, &total, n, &end_ns, true);
  const uint64_t start = now_ns();
  for (uint64_t i = 0; i < n; ++i) write_frame(in[1], envelope.data(), envelope.size());
  close(in[1]);
  relay.join();
  consumer.join();
  close(in[0]);
  close(out_pipe[0]);
  OneWay result;
  result.seconds = seconds_between(start, end_ns.load());
  result.frame_bytes = envelope.size();
  result.delivered = got.load();
  return result;
}

void scenario_relay(const Options& o, Report& report) {
  for (uint64_t payload : o.relay_payloads) {
    const uint64_t n = runs_for(o, o.oneway, payload);
    const OneWay rt = runtime_oneway(Road::submit, payload, n, 1);
    const OneWay base = o.baselines
                            ? baseline_parsing_relay(build_request("one-way", "bench.local", payload, true),
                                                     "bench.local", n)
                            : OneWay{};
    report_oneway(report, "local one-way vs parsing relay", payload, 1, n, rt, base);
  }
  report.note("  parsing relay: the runtime's one-way road (submit, deliveries only: what became deadletters is in "
              "the runs table) beside a relay thread between two pipes that reads up to 64 KiB at once, parses "
              "every envelope once with protobuf (the bench's own copy of the transport schema), checks its "
              "target and writes each batch of frames in one call; its producer writes one frame per call");
}

// ---------------------------------------------------------------------
// Round trips.
// ---------------------------------------------------------------------

struct Latency {
  double seconds = 0;
  uint64_t count = 0;
  std::vector<uint64_t> samples;  // ns
  Cost cost;                      // the whole process's, over the timed loop
  std::string uncounted;          // why system calls were not counted
  uint64_t deadletters = 0;       // the runtimes' deadletters_emitted
  uint64_t refusals = 0;          // begins answered -6
};

void note_uncounted(Report& report, const std::string& why) {
  if (!why.empty()) report.note_once("  syscalls: n/a: " + why);
}

// Per operation; NaN when nothing was measured.
double per_op(uint64_t total, uint64_t count, bool measured = true) {
  return measured && count != 0 ? static_cast<double>(total) / static_cast<double>(count) : NAN;
}

void report_latency(Report& report, const char* scenario, uint64_t payload, uint32_t inflight, const Latency& rt,
                    const Latency& base, bool baselines) {
  report.add({scenario, payload, inflight, static_cast<double>(rt.count) / rt.seconds,
              static_cast<double>(base.count) / base.seconds, "round trips/s", true});
  report.add({scenario, payload, inflight, percentile_us(rt.samples, 50), percentile_us(base.samples, 50), "p50 us",
              false});
  report.add({scenario, payload, inflight, percentile_us(rt.samples, 99), percentile_us(base.samples, 99), "p99 us",
              false});
  report.add({scenario, payload, inflight, per_op(rt.cost.syscalls, rt.count, rt.cost.syscalls_counted),
              per_op(base.cost.syscalls, base.count, base.cost.syscalls_counted), "syscalls/op", false});
  report.add({scenario, payload, inflight, per_op(rt.cost.context_switches, rt.count),
              per_op(base.cost.context_switches, base.count, baselines), "ctx switches/op", false});
  report.add({scenario, payload, inflight, per_op(rt.cost.voluntary_switches, rt.count),
              per_op(base.cost.voluntary_switches, base.count, baselines), "wake-ups/op", false});
  report.add({scenario, payload, inflight, per_op(rt.cost.cpu_ns, rt.count) / 1000.0,
              per_op(base.cost.cpu_ns, base.count, baselines) / 1000.0, "cpu us/op", false});
  report.account({scenario, payload, inflight, rt.count, rt.count, rt.deadletters, rt.refusals});
  note_uncounted(report, rt.uncounted);
  note_uncounted(report, base.uncounted);
  report.note_once(kWakeUpsNote);
}


// Answers every request delivered to the host with a raw reply through
// the request pipe, until the delivered pipe reads end of file.
void answer_requests(const vorlet_v2_HostHandles& handles, uint64_t payload) {
  BufferedReader reader(handles.delivered_read_fd);
  const uint8_t* body = nullptr;
  uint64_t length = 0;
  while (reader.next(&body, &length, -1)) {
    const std::vector<uint8_t> reply = build_reply(body, length, payload);
    write_frame(handles.request_write_fd, reply.data(), reply.size());
  }
}

// Ping-pong of frames of the given sizes between two threads over two
// plain pipes, with up to inflight requests outstanding.
[[maybe_unused]] Latency baseline_pingpong(uint64_t request_bytes, uint64_t reply_bytes, uint64_t n, uint32_t inflight) {
  int there[2], back[2];
  make_pipe(there);
  make_pipe(back);
  std::thread peer([&] {
    BufferedReader reader(there[0]);
    const std::vector<uint8_t> reply(reply_bytes, 0xa5);
    const uint8_t* body = nullptr;
    uint64_t length = 0;
    while (reader.next(&body, &length, -1)) write_frame(back[1], reply.data(), reply.size());
    close(back[1]);
  });
  const std::vector<uint8_t> request(request_bytes, 0x5a);
  BufferedReader reader(back[0]);
  std::deque<uint64_t> sent;
  Latency out;
  out.samples.reserve(n);
  uint64_t issued = 0;
  CostMeter meter;
  meter.start();
  const uint64_t start = now_ns();
  while (out.count < n) {
    while (sent.size() < inflight && issued < n) {
      sent.push_back(now_ns());
      write_frame(there[1], request.data(), request.size());
      ++issued;
    }
    const uint8_t* body = nullptr;
    uint64_t length = 0;
    if (!reader.next(&body, &length)) die("ping-pong peer closed");
    out.samples.push_back(now_ns() - sent.front());
    sent.pop_front();
    ++out.count;
  }
  out.seconds = seconds_between(start, now_ns());
  out.cost = meter.stop();
  out.uncounted = meter.why();
  close(there[1]);
  peer.join();
  close(there[0]);
  close(back[0]);
  return out;
}

#ifdef VORLET_V2_REPLY_KIND_RESPONSE

Latency runtime_ask_roundtrip(uint64_t payload, uint64_t n, uint32_t inflight, uint64_t* request_bytes,
                              uint64_t* reply_bytes) {
  const uint16_t port = free_port();
  RuntimeHost host({{"bench.local", port, true}});
  vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(host.runtime(), &host.handles());
  if (client == nullptr) die("ask client create");
  std::vector<std::vector<uint8_t>> requests;
  requests.reserve(n);
  for (uint64_t i = 0; i < n; ++i) requests.push_back(build_request("ask-" + std::to_string(i), "bench.local", payload, false));
  *request_bytes = requests[0].size();
  *reply_bytes = build_reply(requests[0].data(), requests[0].size(), payload).size();
  std::thread responder(answer_requests, host.handles(), payload);

  struct InFlight {
    vorlet_v2_AskTicket* ticket;
    uint64_t began;
  };
  std::deque<InFlight> pending;
  Latency out;
  out.samples.reserve(n);
  uint64_t issued = 0;
  // Opened once every thread runs: the runtime's, the client's lanes and
  // the responder.
  CostMeter meter;
  meter.start();
  const uint64_t start = now_ns();
  while (out.count < n) {
    while (pending.size() < inflight && issued < n) {
      vorlet_v2_AskTicket* ticket = nullptr;
      const uint64_t began = now_ns();
      int32_t s;
      while ((s = vorlet_v2_ask_client_begin(client, requests[issued].data(), requests[issued].size(), &ticket)) ==
             VORLET_V2_WOULD_BLOCK) {
        ++out.refusals;
        sched_yield();
      }
      if (s != VORLET_V2_OK) die("ask begin", s);
      pending.push_back({ticket, began});
      ++issued;
    }
    InFlight front = pending.front();
    pending.pop_front();
    int32_t kind = 0;
    void* bytes = nullptr;
    uint64_t length = 0;
    const int32_t s = vorlet_v2_ask_ticket_await(front.ticket, 20000, &kind, &bytes, &length);
    if (s != VORLET_V2_OK || kind != VORLET_V2_REPLY_KIND_RESPONSE) die("ask await", s != 0 ? s : kind);
    out.samples.push_back(now_ns() - front.began);
    vorlet_v2_client_bytes_release(bytes);
    vorlet_v2_ask_ticket_destroy(front.ticket);
    ++out.count;
  }
  out.seconds = seconds_between(start, now_ns());
  out.cost = meter.stop();
  out.uncounted = meter.why();
  out.deadletters = host.stats().deadletters_emitted;
  vorlet_v2_ask_client_destroy(client);
  host.stop();
  responder.join();
  return out;
}

void scenario_roundtrip(const Options& o, Report& report) {
  const uint64_t payload = 64;
  for (uint32_t inflight : {1u, 16u}) {
    uint64_t request_bytes = 0, reply_bytes = 0;
    const Latency rt = runtime_ask_roundtrip(payload, o.roundtrip, inflight, &request_bytes, &reply_bytes);
    const Latency base =
        o.baselines ? baseline_pingpong(request_bytes, reply_bytes, o.roundtrip, inflight) : Latency{};
    report_latency(report, "local round trip (ask client)", payload, inflight, rt, base, o.baselines);
  }
}

#else

void scenario_roundtrip(const Options&, Report& report) {
  report.note("local round trip: this library has no ask client; skipped");
}

#endif

// Runtime A sends each request to runtime B over loopback; B's host
// answers through B's request pipe; A's host reads the response.
Latency runtime_remote_roundtrip(uint64_t payload, uint64_t n, uint64_t* request_bytes, uint64_t* reply_bytes) {
  const uint16_t port = free_port();
  RuntimeHost b({{"bench.remote", port, true}});
  RuntimeHost a({{"bench.remote", port, false}});
  std::thread responder(answer_requests, b.handles(), payload);
  BufferedReader responses(a.handles().response_read_fd);
  Latency out;
  out.samples.reserve(n);
  CostMeter meter;
  meter.start();
  const uint64_t start = now_ns();
  for (uint64_t i = 0; i < n; ++i) {
    const std::vector<uint8_t> request = build_request("remote-" + std::to_string(i), "bench.remote", payload, false);
    if (i == 0) {
      *request_bytes = request.size();
      *reply_bytes = build_reply(request.data(), request.size(), payload).size();
    }
    const uint64_t began = now_ns();
    const int32_t s = vorlet_v2_runtime_submit_envelope(a.runtime(), request.data(), request.size());
    if (s != VORLET_V2_OK) die("remote submit", s);
    const uint8_t* body = nullptr;
    uint64_t length = 0;
    if (!responses.next(&body, &length)) die("runtime A closed its response pipe");
    out.samples.push_back(now_ns() - began);
    ++out.count;
  }
  out.seconds = seconds_between(start, now_ns());
  out.cost = meter.stop();
  out.uncounted = meter.why();
  const vorlet_v2_RuntimeStats st = a.stats();
  if (st.deadletters_emitted != 0) die("remote round trips ended as deadletters", static_cast<long>(st.deadletters_emitted));
  out.deadletters = st.deadletters_emitted + b.stats().deadletters_emitted;
  a.stop();
  b.stop();
  responder.join();
  return out;
}

void put_u32(std::vector<uint8_t>* body, uint32_t v) {
  for (int i = 0; i < 4; ++i) body->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_u64(std::vector<uint8_t>* body, uint64_t v) {
  for (int i = 0; i < 8; ++i) body->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The tcp-frame request body that carries an envelope to a listener.
std::vector<uint8_t> tcp_request_body(const std::vector<uint8_t>& envelope, uint32_t timeout_ms) {
  std::vector<uint8_t> body{'V', '2', 'Q', '1'};
  put_u32(&body, timeout_ms);
  put_u64(&body, envelope.size());
  body.insert(body.end(), envelope.begin(), envelope.end());
  return body;
}

// The reply body a listener sends for a host's response: kind 1, no reason,
// no text, the response as the host wrote it.
std::vector<uint8_t> tcp_response_body(const std::vector<uint8_t>& response) {
  std::vector<uint8_t> body{'V', '2', 'R', '1'};
  put_u32(&body, 1);
  put_u32(&body, 0);
  put_u32(&body, 0);
  body.insert(body.end(), response.begin(), response.end());
  return body;
}

// Reads one frame's body from a socket; false when the peer closed before
// its prefix.
bool read_frame(int fd, std::vector<uint8_t>* body) {
  uint8_t prefix[8];
  if (!read_exact(fd, prefix, 8)) return false;
  const uint64_t length = frame_length(prefix);
  body->resize(length);
  if (!read_exact(fd, body->data(), length)) die("closed inside a frame");
  return true;
}

// One exchange as a peer makes it: connect, one request frame, one reply
// frame (its body in *reply), close.
void tcp_exchange(uint16_t port, const std::vector<uint8_t>& request, std::vector<uint8_t>* reply) {
  const int fd = tcp_connect_loopback(port);
  write_frame(fd, request.data(), request.size());
  if (!read_frame(fd, reply)) die("the server closed without a reply");
  close(fd);
}

// A plain server that serves one connection at a time, as the runtime's
// listener does and with nothing else: accept, read one request frame,
// write the one reply it has, close.
class SerialServer {
 public:
  SerialServer(std::vector<uint8_t> reply, int backlog) : reply_(std::move(reply)) {
    listener_ = tcp_listen_loopback(&port_, backlog);
    thread_ = std::thread([this] { serve(); });
  }
  ~SerialServer() {
    done_.store(true);
    close(tcp_connect_loopback(port_));  // unblocks accept
    thread_.join();
    close(listener_);
  }
  SerialServer(const SerialServer&) = delete;
  SerialServer& operator=(const SerialServer&) = delete;

  uint16_t port() const { return port_; }

 private:
  void serve() {
    std::vector<uint8_t> body;
    while (!done_.load()) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      if (read_frame(fd, &body)) write_frame(fd, reply_.data(), reply_.size());
      close(fd);
    }
  }

  const std::vector<uint8_t> reply_;
  uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The same request and reply bodies exchanged serially, one loopback
// connection per exchange, against a minimal server thread.
Latency baseline_tcp_exchange(uint64_t request_bytes, uint64_t reply_bytes, uint64_t n) {
  std::vector<uint8_t> request{'V', '2', 'Q', '1'};
  put_u32(&request, 5000);
  put_u64(&request, request_bytes);
  request.resize(16 + request_bytes, 0x5a);
  std::vector<uint8_t> reply{'V', '2', 'R', '1'};
  put_u32(&reply, 1);
  put_u32(&reply, 0);
  put_u32(&reply, 0);
  reply.resize(16 + reply_bytes, 0xa5);

  SerialServer server(reply, 16);
  Latency out;
  out.samples.reserve(n);
  std::vector<uint8_t> body;
  CostMeter meter;
  meter.start();
  const uint64_t start = now_ns();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t began = now_ns();
    tcp_exchange(server.port(), request, &body);
    out.samples.push_back(now_ns() - began);
    ++out.count;
  }
  out.seconds = seconds_between(start, now_ns());
  out.cost = meter.stop();
  out.uncounted = meter.why();
  return out;
}

void scenario_remote(const Options& o, Report& report) {
  const uint64_t payload = 64;
  uint64_t request_bytes = 0, reply_bytes = 0;
  const Latency rt = runtime_remote_roundtrip(payload, o.remote, &request_bytes, &reply_bytes);
  const Latency base = o.baselines ? baseline_tcp_exchange(request_bytes, reply_bytes, o.remote) : Latency{};
  report_latency(report, "remote round trip (loopback)", payload, 1, rt, base, o.baselines);
  report.note("  remote round trip: one request in flight from runtime A's host to runtime B's over loopback, one "
              "connection per exchange; the floor is raw TCP, one new connection per exchange against a plain "
              "server thread");
}

// ---------------------------------------------------------------------
// Remote fan-in: many peers, each with one request at a time, against one
// listener.
// ---------------------------------------------------------------------

struct FanIn {
  double seconds = 0;
  uint64_t exchanges = 0;
  uint64_t responses = 0;  // replies of kind 1
  std::string other;       // the first reply of another kind, described
  Cost cost;               // the whole process's, over the exchanges
  std::string uncounted;
  uint64_t deadletters = 0;  // the runtime's deadletters_emitted
};

// Peer p makes the exchanges of requests[p] one after another on a thread
// of its own; the peers start together, once every thread is up.
FanIn run_peers(uint16_t port, const std::vector<std::vector<std::vector<uint8_t>>>& requests) {
  std::mutex lock;
  std::condition_variable changed;
  size_t ready = 0;
  bool go = false;
  std::atomic<uint64_t> responses{0};
  std::string other;
  std::vector<std::thread> peers;
  for (size_t p = 0; p < requests.size(); ++p) {
    peers.emplace_back([&, p] {
      {
        std::unique_lock<std::mutex> hold(lock);
        ++ready;
        changed.notify_all();
        changed.wait(hold, [&] { return go; });
      }
      std::vector<uint8_t> reply;
      uint64_t mine = 0;
      for (const std::vector<uint8_t>& request : requests[p]) {
        tcp_exchange(port, request, &reply);
        if (reply.size() >= 16 && std::memcmp(reply.data(), "V2R1", 4) == 0 && get_u32(reply.data() + 4) == 1) {
          ++mine;
          continue;
        }
        std::lock_guard<std::mutex> hold(lock);
        if (!other.empty()) continue;
        if (reply.size() < 16) {
          other = "a reply of " + std::to_string(reply.size()) + " bytes";
          continue;
        }
        const uint32_t text = std::min<uint32_t>(get_u32(reply.data() + 12), static_cast<uint32_t>(reply.size() - 16));
        other = "kind " + std::to_string(get_u32(reply.data() + 4)) + ", reason " +
                std::to_string(get_u32(reply.data() + 8)) + ", \"" +
                std::string(reinterpret_cast<const char*>(reply.data() + 16), text) + "\"";
      }
      responses.fetch_add(mine);
    });
  }
  {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return ready == requests.size(); });
  }
  FanIn out;
  CostMeter meter;
  meter.start();
  const uint64_t start = now_ns();
  {
    std::lock_guard<std::mutex> hold(lock);
    go = true;
  }
  changed.notify_all();
  for (std::thread& t : peers) t.join();
  out.seconds = seconds_between(start, now_ns());
  out.cost = meter.stop();
  out.uncounted = meter.why();
  for (const auto& mine : requests) out.exchanges += mine.size();
  out.responses = responses.load();
  out.other = other;
  return out;
}

// n two-way requests over `peers` peers, each a tcp-frame request carrying
// an envelope with an id of its own, built before any clock starts.
std::vector<std::vector<std::vector<uint8_t>>> fanin_requests(uint64_t payload, uint64_t n, uint32_t peers) {
  std::vector<std::vector<std::vector<uint8_t>>> out(peers);
  for (uint32_t p = 0; p < peers; ++p) {
    const uint64_t count = n / peers + (p < n % peers ? 1 : 0);
    for (uint64_t i = 0; i < count; ++i) {
      const std::string id = "fanin-" + std::to_string(p) + "-" + std::to_string(i);
      out[p].push_back(tcp_request_body(build_request(id, "bench.remote", payload, false), 5000));
    }
  }
  return out;
}

// The peers against a runtime's listener; its host answers each request at
// once through the request pipe.
FanIn runtime_fanin(const std::vector<std::vector<std::vector<uint8_t>>>& requests, uint64_t payload) {
  const uint16_t port = free_port();
  RuntimeHost host({{"bench.remote", port, true}});
  std::thread responder(answer_requests, host.handles(), payload);
  FanIn out = run_peers(port, requests);
  out.deadletters = host.stats().deadletters_emitted;
  host.stop();
  responder.join();
  return out;
}

// The same peers against a plain server serving one connection at a time,
// with the reply the runtime's listener sends for the host's response.
FanIn baseline_fanin(const std::vector<std::vector<std::vector<uint8_t>>>& requests, uint64_t payload) {
  const std::vector<uint8_t> envelope = build_request("fanin-0-0", "bench.remote", payload, false);
  SerialServer server(tcp_response_body(build_reply(envelope.data(), envelope.size(), payload)), 256);
  return run_peers(server.port(), requests);
}

void scenario_fanin(const Options& o, Report& report) {
  const uint64_t payload = 64;
  const auto requests = fanin_requests(payload, o.fanin, o.peers);
  const FanIn rt = runtime_fanin(requests, payload);
  const FanIn base = o.baselines ? baseline_fanin(requests, payload) : FanIn{};
  const std::string name = "remote fan-in: " + std::to_string(o.peers) + " peers, one listener";
  const bool b = o.baselines;
  report.add({name, payload, o.peers, static_cast<double>(rt.exchanges) / rt.seconds,
              static_cast<double>(base.exchanges) / base.seconds, "exchanges/s", true});
  report.add({name, payload, o.peers, per_op(rt.cost.voluntary_switches, rt.exchanges),
              per_op(base.cost.voluntary_switches, base.exchanges, b), "wake-ups/op", false});
  report.add({name, payload, o.peers, per_op(rt.cost.cpu_ns, rt.exchanges) / 1000.0,
              per_op(base.cost.cpu_ns, base.exchanges, b) / 1000.0, "cpu us/op", false});
  report.account({name, payload, o.peers, rt.exchanges, rt.responses, rt.deadletters, rt.exchanges - rt.responses});
  if (base.responses != base.exchanges) die("fan-in floor: a reply was not a response");
  report.note("  remote fan-in: each peer is a thread making one exchange at a time, one connection each (connect, "
              "one tcp-frame request, one reply, close), all peers against one runtime's listener whose host "
              "answers at once; the floor is a plain server serving one connection at a time (listen backlog "
              "256) with the same reply; in its run row, refusals counts the replies that were not a response");
  if (!rt.other.empty()) report.note("  remote fan-in: a reply that was not a response: " + rt.other);
  note_uncounted(report, rt.uncounted);
  report.note_once(kWakeUpsNote);
}

// ---------------------------------------------------------------------
// Memory and allocations.
// ---------------------------------------------------------------------

uint64_t status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::strtoull(line.c_str() + n + 1, nullptr, 10);
    }
  }
  return 0;
}

void scenario_memory(const Options& o, Report& report) {
  // Resets the process's peak to what is resident now.
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  const uint64_t before_kib = status_kib("VmRSS");
  const uint64_t payload = 64;
  const OneWay rt = runtime_oneway(Road::submit, payload, o.memory, 1);
  const uint64_t peak_kib = status_kib("VmHWM");
  account_oneway(report, "memory", payload, 1, o.memory, rt);
  const vorlet_v2_RuntimeStats& st = rt.stats;
  // Every frame in flight holds one pooled 64 KiB block: the three rings,
  // the three pipe queues, the idle pool, and a writer's batch, a reader's
  // and a worker's frame in hand; the fixed part covers thread stacks, the
  // runtime object and the ring arrays.
  const uint64_t slots = st.queue_capacity + st.local_delivery_capacity + st.remote_outbound_capacity +
                         st.delivered_pipe_capacity + st.response_pipe_capacity + st.deadletter_pipe_capacity + 32 +
                         3 * 8 + 8;
  const double bound_mib = static_cast<double>(slots) * (65536.0 + 16.0) / kMiB + 16.0;
  const double growth_mib = static_cast<double>(peak_kib > before_kib ? peak_kib - before_kib : 0) / 1024.0;
  report.add({"memory: peak RSS growth vs bound", payload, 1, growth_mib, bound_mib, "MiB", false});
  char line[200];
  std::snprintf(line, sizeof line, "  memory: %llu envelopes, RSS %.1f MiB before, peak %.1f MiB; bound = %llu slots x 64 KiB + 16 MiB",
                static_cast<unsigned long long>(o.memory), before_kib / 1024.0, peak_kib / 1024.0,
                static_cast<unsigned long long>(slots));
  report.note(line);
}

void scenario_allocs(const Options& o, Report& report) {
  if (!alloc_counter_available()) {
    report.note("allocations: not counted in this build (sanitizers replace the allocator)");
    return;
  }
  for (Road road : {Road::submit, Road::request_pipe}) {
    for (uint64_t payload : {uint64_t{64}, uint64_t{16384}}) {
      const char* name = road == Road::submit ? "allocations (submit road)" : "allocations (request pipe road)";
      const OneWay rt = runtime_oneway(road, payload, o.allocs, 1, true, 64);
      report.add({name, payload, 1, static_cast<double>(rt.allocations) / static_cast<double>(o.allocs), 0,
                  "allocs/envelope", false});
      account_oneway(report, name, payload, 1, o.allocs, rt);
      if (rt.deadlettered != 0) report.note("  allocations: some envelopes were deadlettered; the count includes them");
    }
  }
}

// ---------------------------------------------------------------------
// Idle: a started runtime that listens, with an ask client, and no traffic.
// ---------------------------------------------------------------------

void scenario_idle(const Options& o, Report& report) {
  RuntimeHost host({{"bench.local", free_port(), true}});
#ifdef VORLET_V2_REPLY_KIND_RESPONSE
  vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(host.runtime(), &host.handles());
  if (client == nullptr) die("ask client create");
  const char* name = "idle (listener, ask client)";
#else
  const char* name = "idle (listener)";
#endif
  usleep(100000);  // lets every thread reach its wait
  CostMeter meter;
  meter.start();
  const uint64_t start = now_ns();
  usleep(static_cast<useconds_t>(o.idle_ms * 1000));
  const double seconds = seconds_between(start, now_ns());
  const Cost cost = meter.stop();
#ifdef VORLET_V2_REPLY_KIND_RESPONSE
  vorlet_v2_ask_client_destroy(client);
#endif
  host.stop();
  const double calls = cost.syscalls_counted ? static_cast<double>(cost.syscalls) / seconds : NAN;
  report.add({name, 0, 0, calls, 0, "syscalls/s", false});
  report.add({name, 0, 0, static_cast<double>(cost.context_switches) / seconds, 0, "ctx switches/s", false});
  char line[200];
  std::snprintf(line, sizeof line,
                "  idle: %.2f s without traffic; the whole process is counted, the bench's one sleep call (and "
                "its one switch) included",
                seconds);
  report.note(line);
  note_uncounted(report, meter.why());
}

// ---------------------------------------------------------------------
// Route count: delivery with many routes in the snapshot, and the apply.
// ---------------------------------------------------------------------

// The median delivered rate of three one-way runs, 64 B, flat out.
double median_oneway_rate(Report& report, const char* scenario, uint64_t n, uint64_t routes) {
  std::vector<double> rates;
  for (int run = 0; run < 3; ++run) {
    const OneWay rt = runtime_oneway(Road::submit, 64, n, 1, false, 0, routes);
    rates.push_back(static_cast<double>(rt.delivered) / rt.seconds);
    account_oneway(report, scenario, 64, 1, n, rt);
  }
  std::sort(rates.begin(), rates.end());
  return rates[1];
}

// The snapshot of the apply runs: that many routes, each with one remote
// endpoint. The records are built before any clock starts.
struct ApplyInput {
  std::vector<std::string> targets;
  vorlet_v2_EndpointDesc endpoint{"127.0.0.1", 9, 1, 0};
  std::vector<vorlet_v2_RouteDesc> descs;

  explicit ApplyInput(uint64_t routes) : descs(routes) {
    targets.reserve(routes);
    for (uint64_t i = 0; i < routes; ++i) targets.push_back("bench.route." + std::to_string(i));
    for (uint64_t i = 0; i < routes; ++i) {
      descs[i] = {targets[i].c_str(), VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoint, 1};
    }
  }
  ApplyInput(const ApplyInput&) = delete;
  ApplyInput& operator=(const ApplyInput&) = delete;
};

// One timed copy of a snapshot: its microseconds and the minor page faults
// it took (memory the process had to be given, which the C library may
// have handed back after the previous run).
struct ApplyRun {
  double us = 0;
  uint64_t faults = 0;
};

// One flat apply of a snapshot of that many routes on a new runtime.
ApplyRun apply_run(uint64_t routes) {
  const ApplyInput in(routes);
  const vorlet_v2_RouteSnapshotDesc snapshot{1, in.descs.data(), in.descs.size()};
  vorlet_v2_RuntimeOptions options{"bench", "bench", 0, 0};
  vorlet_v2_Runtime* runtime = vorlet_v2_runtime_create(&options);
  if (runtime == nullptr) die("runtime create");
  const uint64_t faults = process_usage().minor_faults;
  const uint64_t start = now_ns();
  const int32_t s = vorlet_v2_runtime_apply_control_snapshot(runtime, &snapshot);
  const uint64_t end = now_ns();
  ApplyRun run{static_cast<double>(end - start) / 1000.0, process_usage().minor_faults - faults};
  if (s != VORLET_V2_OK) die("apply snapshot", s);
  vorlet_v2_runtime_destroy(runtime);
  return run;
}

// The floor of an apply: the same snapshot deep-copied into a standard
// hash map keyed by target, refusing a duplicate, with about as many
// allocations per route as the runtime's table makes (the node, the
// target's text, the endpoint array; the host fits in its string).
ApplyRun map_copy_run(uint64_t routes) {
  struct Endpoint {
    std::string host;
    uint16_t port;
    uint32_t weight;
    uint32_t flags;
  };
  const ApplyInput in(routes);
  std::unordered_map<std::string, std::vector<Endpoint>> map;
  const uint64_t faults = process_usage().minor_faults;
  const uint64_t start = now_ns();
  map.reserve(routes);
  for (const vorlet_v2_RouteDesc& route : in.descs) {
    std::vector<Endpoint> endpoints;
    endpoints.reserve(route.endpoint_count);
    for (uint64_t k = 0; k < route.endpoint_count; ++k) {
      const vorlet_v2_EndpointDesc& e = route.endpoints[k];
      endpoints.push_back({e.host, e.port, e.weight == 0 ? 1 : e.weight, e.flags});
    }
    if (!map.emplace(route.target, std::move(endpoints)).second) die("duplicate target");
  }
  const uint64_t end = now_ns();
  return {static_cast<double>(end - start) / 1000.0, process_usage().minor_faults - faults};
}

// Runs `run` as the apply rows do: three times at `routes` (the median
// counts) and once at ten times as many. Adds the two times, the time per
// route at both sizes and the page faults per 1000 routes at both; returns
// how many times the time per route grew.
double apply_scaling(Report& report, const std::string& name, uint64_t routes, ApplyRun (*run)(uint64_t)) {
  std::vector<ApplyRun> small;
  for (int i = 0; i < 3; ++i) small.push_back(run(routes));
  std::sort(small.begin(), small.end(), [](const ApplyRun& a, const ApplyRun& b) { return a.us < b.us; });
  const uint64_t large_routes = routes * 10;
  const ApplyRun large = run(large_routes);
  const double small_per_route = small[1].us / static_cast<double>(routes);
  const double large_per_route = large.us / static_cast<double>(large_routes);
  auto per_1000 = [](uint64_t faults, uint64_t n) {
    return 1000.0 * static_cast<double>(faults) / static_cast<double>(n);
  };
  const std::string small_name = name + " " + std::to_string(routes);
  const std::string large_name = name + " " + std::to_string(large_routes);
  const std::string versus = large_name + " vs " + std::to_string(routes);
  report.add({small_name, 0, 1, small[1].us, 0, "us", false});
  report.add({large_name, 0, 1, large.us, 0, "us", false});
  report.add({versus, 0, 1, large_per_route, small_per_route, "us/route", false});
  report.add({versus, 0, 1, per_1000(large.faults, large_routes), per_1000(small[1].faults, routes),
              "faults/1000 routes", false});
  return large_per_route / small_per_route;
}

void scenario_routes(const Options& o, Report& report) {
  const std::string count = std::to_string(o.routes);
  const double with_many = median_oneway_rate(report, ("routes: " + count + " routes").c_str(), o.oneway, o.routes);
  const double with_one = median_oneway_rate(report, "routes: 1 route", o.oneway, 1);
  report.add({"routes: delivery, " + count + " vs 1", 64, 1, with_many, with_one, "envelopes/s", true});
  report.note_once(kVersusNote);
  report.note("  routes: delivery rates are the median of three runs each; the target is the last route of the "
              "snapshot");

  // The smaller size is the median of three; the larger runs once.
  const double apply_growth = apply_scaling(report, "routes: apply", o.routes, apply_run);
  const double floor_growth = apply_scaling(report, "routes: floor, std map copy", o.routes, map_copy_run);
  report.add({"routes: growth per route, apply vs floor", 0, 1, apply_growth, floor_growth, "times", false});
  report.note("  routes: the floor copies the same snapshot into a std::unordered_map by target; where its "
              "time per route grows from the smaller to the larger size as the apply's does (a ratio near 1 "
              "in the growth row), the growth is the memory's (caches, and pages the process is given fresh "
              "at the larger size: the faults rows), not the apply's work");
}

// ---------------------------------------------------------------------
// Readers: routing while a host thread reads the runtime in a loop.
// ---------------------------------------------------------------------

// What a reader thread takes, again and again, for as long as a run lasts.
enum class Reader { none, topology, catalog, stats, monitor };

const char* reader_name(Reader r) {
  switch (r) {
    case Reader::none:
      return "nobody reading";
    case Reader::topology:
      return "topology snapshot in a loop";
    case Reader::catalog:
      return "route catalog in a loop";
    case Reader::stats:
      return "get_stats in a loop";
    case Reader::monitor:
      return "monitor snapshot in a loop";
  }
  return "?";
}

void read_once(vorlet_v2_Runtime* runtime, Reader r) {
  switch (r) {
    case Reader::none:
      return;
    case Reader::topology: {
      vorlet_v2_TopologySnapshot snap{};
      if (vorlet_v2_runtime_get_topology_snapshot(runtime, &snap) == VORLET_V2_OK) {
        vorlet_v2_runtime_free_topology_snapshot(&snap);
      }
      return;
    }
    case Reader::catalog: {
      vorlet_v2_RouteCatalog catalog{};
      if (vorlet_v2_runtime_get_route_catalog(runtime, &catalog) == VORLET_V2_OK) {
        vorlet_v2_runtime_free_route_catalog(&catalog);
      }
      return;
    }
    case Reader::stats: {
      vorlet_v2_RuntimeStats stats{};
      stats.struct_size = sizeof stats;
      (void)vorlet_v2_runtime_get_stats(runtime, &stats);
      return;
    }
    case Reader::monitor: {
      vorlet_v2_MonitorSnapshot snap{};
      if (vorlet_v2_runtime_get_monitor_snapshot(runtime, &snap) == VORLET_V2_OK) {
        vorlet_v2_runtime_free_monitor_snapshot(&snap);
      }
      return;
    }
  }
}

// One-way envelopes submitted one every 200 us on a local route (the last
// of `routes`), each timed from its submit to the host's read of it, while
// a host thread takes `reader` in a loop. Delivery keeps the submit order,
// so the k-th frame read is the k-th submitted.
Latency readers_run(uint64_t routes, Reader reader, uint64_t n) {
  constexpr uint64_t kGapNs = 200000;
  const uint16_t port = free_port();
  std::vector<RouteSpec> specs;
  specs.reserve(routes);
  for (uint64_t i = 1; i < routes; ++i) specs.push_back({"bench.route." + std::to_string(i), port, true});
  specs.push_back({"bench.local", port, true});
  RuntimeHost host(specs);
  const std::vector<uint8_t> envelope = build_request("paced", "bench.local", 64, true);

  std::vector<uint64_t> submitted(n, 0);
  std::atomic<uint64_t> sent{0};
  Latency out;
  out.samples.resize(n);
  std::thread receiver([&] {
    // A frame that does not come within the reader's bound ends the run.
    BufferedReader frames(host.handles().delivered_read_fd);
    for (uint64_t k = 0; k < n; ++k) {
      const uint8_t* body = nullptr;
      uint64_t length = 0;
      if (!frames.next(&body, &length, 60000)) die("readers: the delivered pipe ended early");
      const uint64_t at = now_ns();
      while (sent.load(std::memory_order_acquire) <= k) sched_yield();
      out.samples[k] = at - submitted[k];
    }
  });
  std::atomic<bool> reading{true};
  std::thread loop([&] {
    if (reader == Reader::none) return;
    while (reading.load(std::memory_order_relaxed)) read_once(host.runtime(), reader);
  });
  // The reader gets going before the first envelope.
  usleep(20000);
  const uint64_t start = now_ns();
  for (uint64_t k = 0; k < n; ++k) {
    sleep_until(start + k * kGapNs);
    submitted[k] = now_ns();
    int32_t s;
    while ((s = vorlet_v2_runtime_submit_envelope(host.runtime(), envelope.data(), envelope.size())) ==
           VORLET_V2_WOULD_BLOCK) {
      ++out.refusals;
      usleep(50);
    }
    if (s != VORLET_V2_OK) die("readers: submit", s);
    sent.store(k + 1, std::memory_order_release);
  }
  receiver.join();
  reading.store(false);
  loop.join();
  out.seconds = seconds_between(start, now_ns());
  out.count = n;
  out.deadletters = host.stats().deadletters_emitted;
  return out;
}

void scenario_readers(const Options& o, Report& report) {
  const Reader readers[] = {Reader::none, Reader::topology, Reader::catalog, Reader::stats, Reader::monitor};
  for (const uint64_t routes : o.reader_routes) {
    double first_p50 = 0, first_p99 = 0, first_max = 0;
    for (const Reader reader : readers) {
      const Latency run = readers_run(routes, reader, o.readers);
      const double p50 = percentile_us(run.samples, 50);
      const double p99 = percentile_us(run.samples, 99);
      const double max = percentile_us(run.samples, 100);
      if (reader == Reader::none) {
        first_p50 = p50;
        first_p99 = p99;
        first_max = max;
      }
      const std::string name = "readers: " + std::to_string(routes) + " routes, " + reader_name(reader);
      report.add({name + ", p50", 64, 1, p50, first_p50, "us", false});
      report.add({name + ", p99", 64, 1, p99, first_p99, "us", false});
      report.add({name + ", max", 64, 1, max, first_max, "us", false});
      report.account({name, 64, 1, run.count, run.count, run.deadletters, run.refusals});
    }
  }
  report.note("  readers: one-way envelopes on a local route, one every 200 us, timed from submit to the host's "
              "read, while a host thread takes the named reading in a loop; the baseline column is the same "
              "figure with nobody reading");
}

// ---------------------------------------------------------------------
// Light load: what a steady rate of one-way envelopes costs the process.
// ---------------------------------------------------------------------

// Wakes the thread that waits for the end of a run once, when the frame
// that completes the run has been read: a waiter that polled would add its
// own wake-ups and CPU to what the run measures.
class FinishLine {
 public:
  explicit FinishLine(uint64_t target) : target_(target) {}

  void add(uint64_t frames) {
    const uint64_t before = count_.fetch_add(frames, std::memory_order_acq_rel);
    if (before < target_ && before + frames >= target_) {
      std::lock_guard<std::mutex> hold(lock_);
      reached_ = true;
      crossed_.notify_all();
    }
  }
  void wait(const char* what) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!crossed_.wait_for(hold, std::chrono::seconds(300), [&] { return reached_; })) {
      die(what, static_cast<long>(count_.load()));
    }
  }

 private:
  const uint64_t target_;
  std::atomic<uint64_t> count_{0};
  std::mutex lock_;
  std::condition_variable crossed_;
  bool reached_ = false;
};

// Reads the frames that reach some pipes as a host waiting in poll does:
// sleeps in poll on all of them, reads what each ready pipe holds, counts
// the whole frames, until each pipe has read end of file. (*counts)[i] is
// the frames of fds[i].
void poll_frames(std::vector<int> fds, std::vector<uint64_t>* counts, FinishLine* line) {
  struct Held {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(1u << 16);
    uint64_t begin = 0;
    uint64_t end = 0;
    bool open = true;
  };
  std::vector<Held> held(fds.size());
  counts->assign(fds.size(), 0);
  std::vector<pollfd> waits;
  std::vector<size_t> which;
  for (;;) {
    waits.clear();
    which.clear();
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!held[i].open) continue;
      waits.push_back({fds[i], POLLIN, 0});
      which.push_back(i);
    }
    if (waits.empty()) return;
    const int r = poll(waits.data(), waits.size(), 60000);
    if (r == 0) die("no frame arrived in time");
    if (r < 0) {
      if (errno == EINTR) continue;
      die("poll", errno);
    }
    for (size_t k = 0; k < waits.size(); ++k) {
      if (waits[k].revents == 0) continue;
      Held& h = held[which[k]];
      if (h.begin == h.end) h.begin = h.end = 0;
      if (h.end == h.bytes.size()) {
        std::memmove(h.bytes.data(), h.bytes.data() + h.begin, h.end - h.begin);
        h.end -= h.begin;
        h.begin = 0;
        if (h.end == h.bytes.size()) h.bytes.resize(2 * h.bytes.size());
      }
      const ssize_t got = read(fds[which[k]], h.bytes.data() + h.end, h.bytes.size() - h.end);
      if (got < 0) {
        if (errno == EINTR) continue;
        die("read", errno);
      }
      if (got == 0) {
        if (h.begin != h.end) die("pipe closed inside a frame");
        h.open = false;
        continue;
      }
      h.end += static_cast<uint64_t>(got);
      uint64_t frames = 0;
      while (h.end - h.begin >= 8) {
        const uint64_t length = frame_length(h.bytes.data() + h.begin);
        if (h.end - h.begin - 8 < length) break;
        h.begin += 8 + length;
        ++frames;
      }
      if (frames != 0) {
        (*counts)[which[k]] += frames;
        line->add(frames);
      }
    }
  }
}

struct Paced {
  double seconds = 0;  // from the first submit to the last frame read
  uint64_t submitted = 0;
  uint64_t delivered = 0;
  uint64_t deadletters = 0;  // the runtimes' deadletters_emitted
  uint64_t refusals = 0;     // submits answered -6 (each retried)
  uint64_t cpu_ns = 0;       // the whole process's, over the same window
  uint64_t wakeups = 0;      // its voluntary context switches
};

// Threads made before a paced run start together at this time, long enough
// after it for the runtimes' threads to reach their waits.
uint64_t paced_start() { return now_ns() + 20000000ull; }

// Opens the run's window just before the producers' first slot; the
// caller closes it once the last frame is read.
class PacedWindow {
 public:
  explicit PacedWindow(uint64_t start) {
    sleep_until(start - 1000000ull);
    begin_ = process_usage();
    begin_ns_ = now_ns();
  }
  void close(Paced* out) const {
    const ProcessUsage end = process_usage();
    out->seconds = seconds_between(begin_ns_, now_ns());
    out->cpu_ns = end.cpu_ns - begin_.cpu_ns;
    out->wakeups = end.voluntary_switches - begin_.voluntary_switches;
  }

 private:
  ProcessUsage begin_;
  uint64_t begin_ns_ = 0;
};

// The slot of envelope i of producer p of `producers` at `rate` a second
// (0: flat out, every slot the start): the producers' slots are spread
// evenly over the gap, as independent sources' would fall.
uint64_t paced_slot(uint64_t start, uint64_t rate, uint64_t i, uint32_t p, uint32_t producers) {
  if (rate == 0) return start;
  const uint64_t gap = 1000000000ull / rate;
  return start + gap * p / producers + i * gap;
}

// `runtimes` runtimes with one local route each. Per runtime, a producer
// thread submits `per_runtime` one-way envelopes at `rate` a second (0:
// flat out), sleeping until each one's slot, and a host thread waits in
// poll on the delivered and deadletter pipes and reads every frame.
Paced runtime_paced(uint32_t runtimes, uint64_t rate, uint64_t per_runtime, uint64_t payload) {
  std::vector<std::unique_ptr<RuntimeHost>> hosts;
  for (uint32_t r = 0; r < runtimes; ++r) {
    hosts.push_back(std::make_unique<RuntimeHost>(std::vector<RouteSpec>{{"bench.local", free_port(), true}}));
  }
  const std::vector<uint8_t> envelope = build_request("paced", "bench.local", payload, true);
  FinishLine line(runtimes * per_runtime);
  std::vector<std::vector<uint64_t>> counts(runtimes);
  std::vector<std::thread> readers;
  for (uint32_t r = 0; r < runtimes; ++r) {
    const vorlet_v2_HostHandles& h = hosts[r]->handles();
    readers.emplace_back(poll_frames, std::vector<int>{h.delivered_read_fd, h.deadletter_read_fd}, &counts[r], &line);
  }
  const uint64_t start = paced_start();
  std::atomic<uint64_t> refusals{0};
  std::vector<std::thread> producers;
  for (uint32_t r = 0; r < runtimes; ++r) {
    producers.emplace_back([&, r] {
      uint64_t refused = 0;
      for (uint64_t i = 0; i < per_runtime; ++i) {
        sleep_until(paced_slot(start, rate, i, r, runtimes));
        int32_t s;
        uint64_t backoff_us = 0;
        while ((s = vorlet_v2_runtime_submit_envelope(hosts[r]->runtime(), envelope.data(), envelope.size())) ==
               VORLET_V2_WOULD_BLOCK) {
          ++refused;
          backoff_us = backoff_us == 0 ? kRefusedFirstWaitUs : std::min(backoff_us * 2, kRefusedLongestWaitUs);
          usleep(static_cast<useconds_t>(backoff_us));
        }
        if (s != VORLET_V2_OK) die("paced submit", s);
      }
      refusals.fetch_add(refused);
    });
  }
  Paced out;
  const PacedWindow window(start);
  line.wait("frames missing on the paced road");
  window.close(&out);
  for (std::thread& t : producers) t.join();
  for (const auto& host : hosts) {
    out.deadletters += host->stats().deadletters_emitted;
    host->stop();
  }
  for (std::thread& t : readers) t.join();
  for (const auto& c : counts) out.delivered += c[0];
  out.submitted = runtimes * per_runtime;
  out.refusals = refusals.load();
  return out;
}

// The floor: per runtime, a producer writes the same frames into a pipe at
// the same rate, a relay thread blocks in read and writes each frame on to
// a second pipe, and a consumer waits in poll on that pipe and reads each.
Paced relay_paced(uint32_t relays, uint64_t rate, uint64_t per_relay, const std::vector<uint8_t>& frame) {
  struct Pipes {
    int in[2];
    int out[2];
  };
  std::vector<Pipes> pipes(relays);
  for (Pipes& p : pipes) {
    make_pipe(p.in);
    make_pipe(p.out);
  }
  FinishLine line(relays * per_relay);
  std::vector<std::vector<uint64_t>> counts(relays);
  std::vector<std::thread> threads;
  for (uint32_t r = 0; r < relays; ++r) {
    threads.emplace_back(poll_frames, std::vector<int>{pipes[r].out[0]}, &counts[r], &line);
    threads.emplace_back(relay_frames, pipes[r].in[0], pipes[r].out[1], frame.size());
  }
  const uint64_t start = paced_start();
  for (uint32_t r = 0; r < relays; ++r) {
    threads.emplace_back([&, r] {
      for (uint64_t i = 0; i < per_relay; ++i) {
        sleep_until(paced_slot(start, rate, i, r, relays));
        write_frame(pipes[r].in[1], frame.data(), frame.size());
      }
      close(pipes[r].in[1]);
    });
  }
  Paced out;
  const PacedWindow window(start);
  line.wait("frames missing on the paced relay");
  window.close(&out);
  for (std::thread& t : threads) t.join();
  for (Pipes& p : pipes) {
    close(p.in[0]);
    close(p.out[0]);
  }
  for (const auto& c : counts) out.delivered += c[0];
  out.submitted = relays * per_relay;
  return out;
}

void scenario_light(const Options& o, Report& report) {
  const uint64_t payload = 64;
  const std::vector<uint8_t> envelope = build_request("paced", "bench.local", payload, true);
  for (const uint64_t runtimes_wide : o.light_runtimes) {
    const uint32_t runtimes = static_cast<uint32_t>(runtimes_wide);
    for (const uint64_t rate : o.light_rates) {
      const uint64_t per_runtime =
          rate == 0 ? o.oneway : std::max<uint64_t>(1, rate * o.light_ms / 1000);
      const Paced rt = runtime_paced(runtimes, rate, per_runtime, payload);
      const Paced base = o.baselines ? relay_paced(runtimes, rate, per_runtime, envelope) : Paced{};
      std::string name = "light load: " + std::to_string(runtimes) + (runtimes == 1 ? " runtime, " : " runtimes, ");
      name += rate == 0 ? "flat out" : std::to_string(rate) + "/s" + (runtimes == 1 ? "" : " each");
      const bool b = o.baselines;
      auto core_share = [](const Paced& p) { return 100.0 * static_cast<double>(p.cpu_ns) / (p.seconds * 1e9); };
      report.add({name, payload, runtimes, per_op(rt.cpu_ns, rt.delivered) / 1000.0,
                  per_op(base.cpu_ns, base.delivered, b) / 1000.0, "cpu us/envelope", false});
      report.add({name, payload, runtimes, core_share(rt), b ? core_share(base) : NAN, "% of a core", false});
      report.add({name, payload, runtimes, per_op(rt.wakeups, rt.delivered), per_op(base.wakeups, base.delivered, b),
                  "wake-ups/envelope", false});
      if (rate == 0) {
        report.add({name, payload, runtimes, static_cast<double>(rt.delivered) / rt.seconds,
                    b ? static_cast<double>(base.delivered) / base.seconds : NAN, "envelopes/s", true});
      }
      report.account({name, payload, runtimes, rt.submitted, rt.delivered, rt.deadletters, rt.refusals});
    }
  }
  report.note("  light load: one-way envelopes of " + std::to_string(payload) +
              " B to a local route; per runtime a producer thread pacing its submits on absolute times "
              "(clock_nanosleep; the producers' slots spread evenly over the gap) for " +
              std::to_string(o.light_ms) + " ms, or " + std::to_string(o.oneway) +
              " envelopes flat out, and a host thread waiting in poll on the delivered and deadletter "
              "pipes and reading every frame; CPU is the whole process's (getrusage: the bench's own threads "
              "too) from the first slot to the last frame read, per delivered envelope and as a share of one "
              "core; the floor: per runtime a producer writing the same frames into a pipe at the same rate, a "
              "relay thread blocking in read and writing each on to a second pipe, a consumer polling that pipe");
  report.note_once(kWakeUpsNote);
}

// ---------------------------------------------------------------------

std::vector<uint64_t> parse_list(const char* text) {
  std::vector<uint64_t> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) out.push_back(std::strtoull(item.c_str(), nullptr, 10));
  }
  return out;
}

void usage() {
  std::fprintf(stderr,
               "usage: vorlet_bench [--tiny] [--no-baseline] [--json FILE] [--oneway N] [--bytes B] [--pipe N] [--producers N]\n"
               "                    [--roundtrip N] [--remote N] [--fanin N] [--peers N] [--memory N] [--allocs N]\n"
               "                    [--routes N] [--idle-ms MS] [--readers N] [--reader-routes a,b,...]\n"
               "                    [--light-ms MS] [--light-rates a,b,...] (0: flat out) [--light-runtimes a,b,...]\n"
               "                    [--payloads a,b,...] [--relay-payloads a,b,...] [--threads a,b,...]\n"
               "                    [--only oneway,relay,pipe,producers,roundtrip,remote,fanin,light,memory,allocs,idle,\n"
               "                            routes,readers]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    auto number = [&]() { return std::strtoull(value(), nullptr, 10); };
    if (arg == "--tiny") {
      o.oneway = o.pipe = o.producers = 200;
      o.roundtrip = o.remote = 20;
      o.memory = 2000;
      o.allocs = 200;
      o.routes = 1000;
      o.idle_ms = 200;
      o.readers = 100;
      o.reader_routes = {100, 1000};
      o.fanin = 32;
      o.light_ms = 20;
    } else if (arg == "--no-baseline") {
      o.baselines = false;
    } else if (arg == "--json") {
      o.json = value();
    } else if (arg == "--oneway") {
      o.oneway = number();
    } else if (arg == "--bytes") {
      o.bytes = number();
    } else if (arg == "--pipe") {
      o.pipe = number();
    } else if (arg == "--producers") {
      o.producers = number();
    } else if (arg == "--roundtrip") {
      o.roundtrip = number();
    } else if (arg == "--remote") {
      o.remote = number();
    } else if (arg == "--memory") {
      o.memory = number();
    } else if (arg == "--allocs") {
      o.allocs = number();
    } else if (arg == "--routes") {
      o.routes = number();
    } else if (arg == "--idle-ms") {
      o.idle_ms = number();
    } else if (arg == "--readers") {
      o.readers = number();
    } else if (arg == "--reader-routes") {
      o.reader_routes = parse_list(value());
    } else if (arg == "--fanin") {
      o.fanin = number();
    } else if (arg == "--peers") {
      o.peers = static_cast<uint32_t>(std::max<uint64_t>(number(), 1));
    } else if (arg == "--light-ms") {
      o.light_ms = number();
    } else if (arg == "--light-rates") {
      o.light_rates = parse_list(value());
    } else if (arg == "--light-runtimes") {
      o.light_runtimes = parse_list(value());
    } else if (arg == "--relay-payloads") {
      o.relay_payloads = parse_list(value());
    } else if (arg == "--payloads") {
      o.payloads = parse_list(value());
    } else if (arg == "--threads") {
      o.threads.clear();
      for (uint64_t t : parse_list(value())) o.threads.push_back(static_cast<uint32_t>(std::max<uint64_t>(t, 1)));
    } else if (arg == "--only") {
      for (const char* p = value(); *p != '\0';) {
        const char* comma = std::strchr(p, ',');
        const size_t len = comma == nullptr ? std::strlen(p) : static_cast<size_t>(comma - p);
        o.only.insert(std::string(p, len));
        p += len + (comma == nullptr ? 0 : 1);
      }
    } else {
      usage();
    }
  }
  if (o.payloads.empty() || o.threads.empty()) usage();
  o.oneway = std::max<uint64_t>(o.oneway, 1);
  o.pipe = std::max<uint64_t>(o.pipe, 1);
  o.producers = std::max<uint64_t>(o.producers, 1);
  o.roundtrip = std::max<uint64_t>(o.roundtrip, 1);
  o.remote = std::max<uint64_t>(o.remote, 1);
  o.memory = std::max<uint64_t>(o.memory, 1);
  o.allocs = std::max<uint64_t>(o.allocs, 1);
  o.routes = std::max<uint64_t>(o.routes, 1);
  o.readers = std::max<uint64_t>(o.readers, 1);
  for (uint64_t& r : o.reader_routes) r = std::max<uint64_t>(r, 1);
  o.fanin = std::max<uint64_t>(o.fanin, 1);
  o.light_ms = std::max<uint64_t>(o.light_ms, 1);
  for (uint64_t& r : o.light_runtimes) r = std::clamp<uint64_t>(r, 1, 1024);
  return o;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  const Options o = parse(argc, argv);
  Report report;
  const uint64_t start = now_ns();
  if (o.runs("oneway")) scenario_oneway(o, report, Road::submit);
  if (o.runs("relay")) scenario_relay(o, report);
  if (o.runs("pipe")) scenario_oneway(o, report, Road::request_pipe);
  if (o.runs("producers")) scenario_producers(o, report);
  if (o.runs("roundtrip")) scenario_roundtrip(o, report);
  if (o.runs("remote")) scenario_remote(o, report);
  if (o.runs("fanin")) scenario_fanin(o, report);
  if (o.runs("light")) scenario_light(o, report);
  if (o.runs("memory")) scenario_memory(o, report);
  if (o.runs("allocs")) scenario_allocs(o, report);
  if (o.runs("idle")) scenario_idle(o, report);
  if (o.runs("routes")) scenario_routes(o, report);
  if (o.runs("readers")) scenario_readers(o, report);
  char line[96];
  std::snprintf(line, sizeof line, "total %.1f s", seconds_between(start, now_ns()));
  report.note(line);
  report.print(stdout);
  if (!o.json.empty() && !report.write_json(o.json)) {
    std::fprintf(stderr, "vorlet_bench: cannot write %s\n", o.json.c_str());
    return 1;
  }
  return 0;
}
