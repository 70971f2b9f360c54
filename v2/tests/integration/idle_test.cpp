// A started runtime with nothing to do sleeps: none of its threads, nor the
// listener, nor an ask client's lanes, wakes while no traffic comes. A thread
// that wakes takes a context switch, and an asleep thread makes no system
// call, so unchanged switch counts show both. A reader whose reads fail
// neither spins nor gives up: it pauses between tries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <thread>

#include "client/ask_client.h"
#include "codec/frame_io.h"
#include "runtime/host_pipes.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/test_runtime.h"
#include "support/proc_probe.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {
namespace {

using test::FrameBytes;
using test::kLocalTarget;
using test::TestRuntime;
using test::RequestSpec;

// Each thread's context switches so far (voluntary and involuntary), by
// thread id.
std::map<std::string, uint64_t> switches_by_thread() {
  std::map<std::string, uint64_t> out;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream status(it->path() / "status");
    std::string line;
    uint64_t total = 0;
    while (std::getline(status, line)) {
      for (const std::string key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
        if (line.compare(0, key.size(), key) == 0) total += std::stoull(line.substr(key.size()));
      }
    }
    out[it->path().filename().string()] = total;
  }
  return out;
}

// The entries of now whose thread was not in before: the threads the
// runtime and the client started (a sanitizer's own threads are older).
std::map<std::string, uint64_t> only_new(const std::map<std::string, uint64_t>& now,
                                         const std::map<std::string, uint64_t>& before) {
  std::map<std::string, uint64_t> out;
  for (const auto& [tid, count] : now) {
    if (before.count(tid) == 0) out[tid] = count;
  }
  return out;
}

// Watches the new threads over about a second: each must be where it was.
void expect_no_thread_wakes(const std::map<std::string, uint64_t>& before, const char* when) {
  SCOPED_TRACE(when);
  // Whatever start or the last exchange set going settles first.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto first = only_new(switches_by_thread(), before);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const auto second = only_new(switches_by_thread(), before);
  // Three writers, the dispatcher, two workers, two readers, the listener
  // and the client's two lanes.
  EXPECT_EQ(first.size(), 11u);
  for (const auto& [tid, count] : first) {
    const auto later = second.find(tid);
    ASSERT_NE(later, second.end()) << "thread " << tid << " ended";
    EXPECT_EQ(later->second, count) << "thread " << tid << " woke " << later->second - count << " times";
  }
}

TEST(IdleRuntime, NoThreadWakesWithoutTraffic) {
  (void)test::baseline_thread_count();  // a sanitizer's helper thread comes with the first thread
  const auto before = switches_by_thread();
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  ASSERT_NE(fx.listen_port(), 0);
  vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(to_handle(fx.rt), &fx.handles);
  ASSERT_NE(client, nullptr);
  expect_no_thread_wakes(before, "after start");

  // One ask answered by the test as the host and one one-way request
  // through the request pipe, then idle again: every reader went back to
  // sleep after the bytes it read.
  const std::string question = test::request_envelope(RequestSpec{"idle-ask", kLocalTarget});
  vorlet_v2_AskTicket* ticket = nullptr;
  ASSERT_EQ(vorlet_v2_ask_client_begin(client, question.data(), question.size(), &ticket), 0);
  FrameBytes delivered;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &delivered), Status::ok);
  const std::string answer = test::response_for(std::string(delivered.begin(), delivered.end()));
  ASSERT_EQ(vorlet_v2_runtime_submit_envelope(to_handle(fx.rt), answer.data(), answer.size()), 0);
  int32_t kind = 0;
  void* bytes = nullptr;
  uint64_t length = 0;
  ASSERT_EQ(vorlet_v2_ask_ticket_await(ticket, 5000, &kind, &bytes, &length), 0);
  EXPECT_EQ(kind, VORLET_V2_REPLY_KIND_RESPONSE);
  vorlet_v2_client_bytes_release(bytes);
  vorlet_v2_ask_ticket_destroy(ticket);
  // And a request through the request pipe.
  const std::string piped = test::request_envelope(RequestSpec{"idle-pipe", kLocalTarget, true});
  ASSERT_EQ(frame_write(fx.handles.request_write_fd, piped.data(), piped.size()), Status::ok);
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &delivered), Status::ok);
  EXPECT_EQ(std::string(delivered.begin(), delivered.end()), piped);
  expect_no_thread_wakes(before, "after an ask and a piped request");

  vorlet_v2_ask_client_destroy(client);
  ASSERT_EQ(fx.stop(), Status::ok);
}

// The request pipe's read end turned, for a while, into a directory: it
// polls readable and every read fails. The reader pauses between tries
// instead of spinning, and reads the pipe again once it is back.
TEST(RequestPipeReader, AReadThatKeepsFailingIsTriedAgainAfterPauses) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  const int32_t fd = host_handles_request_read_fd(&fx.rt->host_handles);
  const int saved = ::dup(fd);
  ASSERT_GE(saved, 0);
  const int directory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  ASSERT_GE(::dup2(directory, fd), 0);
  ::close(directory);
  // The reader sleeps on the pipe it had: a frame wakes it, and from then
  // on it polls the directory and its reads fail. The frame waits in the
  // pipe, which the saved descriptor keeps.
  const std::string first = test::request_envelope(RequestSpec{"waiting", kLocalTarget, true});
  ASSERT_EQ(frame_write(fx.handles.request_write_fd, first.data(), first.size()), Status::ok);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::clock_t cpu_before = std::clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_ms, 300.0);  // a spinning reader would take about 600

  ASSERT_GE(::dup2(saved, fd), 0);
  ::close(saved);
  FrameBytes delivered;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &delivered), Status::ok);
  EXPECT_EQ(std::string(delivered.begin(), delivered.end()), first);
  ASSERT_EQ(fx.stop(), Status::ok);
}

}  // namespace
}  // namespace vorlet::v2
