// vorlet_v2_runtime_get_host_handles and vorlet_v2_monitor_consume as a
// host uses them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "vorlet_v2.h"

namespace {

size_t open_fds() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

vorlet_v2_Runtime* make_runtime() {
  const vorlet_v2_RuntimeOptions options{"host", "test", 0, 0};
  return vorlet_v2_runtime_create(&options);
}

void close_host_ends(const vorlet_v2_HostHandles& h) {
  for (int fd : {h.request_write_fd, h.response_read_fd, h.deadletter_read_fd, h.control_write_fd, h.monitor_read_fd,
                 h.delivered_read_fd}) {
    if (fd >= 0) close(fd);
  }
}

// Every host end is usable, not inherited and blocking (only the
// runtime's monitor end is non-blocking).
void expect_usable(int fd) {
  ASSERT_GE(fd, 0);
  const int flags = fcntl(fd, F_GETFD);
  ASSERT_GE(flags, 0);
  EXPECT_NE(flags & FD_CLOEXEC, 0) << fd;
  const int status_flags = fcntl(fd, F_GETFL);
  ASSERT_GE(status_flags, 0);
  EXPECT_EQ(status_flags & O_NONBLOCK, 0) << fd;
}

TEST(HostHandlesApi, SizeAndFlagTable) {
  struct Case {
    uint64_t size;
    uint32_t flags_in;
    int32_t status;
    uint32_t flags_out;
  };
  const Case cases[] = {
      {0, 0, VORLET_V2_OK, 0},     {1000, 3, VORLET_V2_OK, 3},   {40, 3, VORLET_V2_OK, 3},
      {27, 0, VORLET_V2_INVALID_ARG, 0}, {28, 1, VORLET_V2_OK, 0}, {32, 1, VORLET_V2_OK, 1},
      {32, 2, VORLET_V2_INVALID_ARG, 0}, {35, 2, VORLET_V2_INVALID_ARG, 0}, {36, 3, VORLET_V2_OK, 3},
      {36, 0xFFFFFFFCu, VORLET_V2_OK, 0},
  };
  for (const Case& c : cases) {
    const size_t baseline = open_fds();
    vorlet_v2_Runtime* rt = make_runtime();
    ASSERT_NE(rt, nullptr);
    // Room past the declared size shows what the call touches.
    unsigned char raw[64];
    std::memset(raw, 0xEE, sizeof raw);
    vorlet_v2_HostHandles in{};
    in.struct_size = c.size;
    in.flags = c.flags_in;
    std::memcpy(raw, &in, 12);
    auto* h = reinterpret_cast<vorlet_v2_HostHandles*>(raw);
    EXPECT_EQ(vorlet_v2_runtime_get_host_handles(rt, h), c.status) << "size " << c.size << " flags " << c.flags_in;
    const uint64_t eff = (c.size >= 1 && c.size <= 40) ? c.size : 40;
    if (c.status != VORLET_V2_OK) {
      EXPECT_EQ(h->struct_size, c.size);
      EXPECT_EQ(open_fds(), baseline);
      vorlet_v2_runtime_destroy(rt);
      continue;
    }
    EXPECT_EQ(h->struct_size, 40u);
    EXPECT_EQ(h->flags, c.flags_out);
    expect_usable(h->request_write_fd);
    expect_usable(h->response_read_fd);
    expect_usable(h->deadletter_read_fd);
    expect_usable(h->control_write_fd);
    vorlet_v2_HostHandles out{};
    std::memcpy(&out, raw, eff);
    if (eff >= 32) {
      if (c.flags_out & VORLET_V2_HOST_HANDLE_MONITOR_PIPE) {
        expect_usable(out.monitor_read_fd);
      } else {
        EXPECT_EQ(out.monitor_read_fd, -1);
      }
    }
    if (eff >= 36) {
      if (c.flags_out & VORLET_V2_HOST_HANDLE_DELIVERED_PIPE) {
        expect_usable(out.delivered_read_fd);
      } else {
        EXPECT_EQ(out.delivered_read_fd, -1);
      }
    }
    for (size_t i = eff; i < sizeof raw; ++i) EXPECT_EQ(raw[i], 0xEE) << "byte " << i << " of size " << c.size;
    const size_t pipes = 4 + ((c.flags_out & 1) ? 1 : 0) + ((c.flags_out & 2) ? 1 : 0);
    EXPECT_EQ(open_fds(), baseline + 2 * pipes);

    vorlet_v2_HostHandles again{};
    EXPECT_EQ(vorlet_v2_runtime_get_host_handles(rt, &again), VORLET_V2_BAD_STATE);
    vorlet_v2_runtime_destroy(rt);
    if (eff < 32) out.monitor_read_fd = -1;
    if (eff < 36) out.delivered_read_fd = -1;
    close_host_ends(out);
    EXPECT_EQ(open_fds(), baseline) << "size " << c.size;
  }
  vorlet_v2_HostHandles h{};
  EXPECT_EQ(vorlet_v2_runtime_get_host_handles(nullptr, &h), VORLET_V2_INVALID_ARG);
}

// A pipe that cannot be made half-way through leaves nothing open, and the
// call can be repeated once descriptors are available again.
TEST(HostHandlesApi, AFailedAttemptLeavesNothingOpen) {
  vorlet_v2_Runtime* rt = make_runtime();
  const size_t baseline = open_fds();
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  std::set<int> open;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    open.insert(std::stoi(e.path().filename().string()));
  }
  // Room for two or three pipes, not for all six: new descriptors take the
  // lowest free numbers below the limit.
  int limit = 0;
  for (int free_slots = 0; free_slots < 5; ++limit) {
    if (open.count(limit) == 0) ++free_slots;
  }
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(limit);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  vorlet_v2_HostHandles h{};
  h.flags = 3;
  const int32_t status = vorlet_v2_runtime_get_host_handles(rt, &h);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(status, VORLET_V2_IO);
  EXPECT_EQ(open_fds(), baseline);

  h = vorlet_v2_HostHandles{};
  h.flags = 3;
  ASSERT_EQ(vorlet_v2_runtime_get_host_handles(rt, &h), VORLET_V2_OK);
  vorlet_v2_runtime_destroy(rt);
  close_host_ends(h);
  EXPECT_EQ(open_fds(), baseline);
}

TEST(MonitorConsumeApi, NothingPendingAndBadDescriptors) {
  vorlet_v2_Runtime* rt = make_runtime();
  vorlet_v2_HostHandles h{};
  h.flags = VORLET_V2_HOST_HANDLE_MONITOR_PIPE;
  ASSERT_EQ(vorlet_v2_runtime_get_host_handles(rt, &h), VORLET_V2_OK);
  uint64_t drained = 99;
  EXPECT_EQ(vorlet_v2_monitor_consume(h.monitor_read_fd, &drained), VORLET_V2_WOULD_BLOCK);
  EXPECT_EQ(drained, 0u);
  EXPECT_EQ(vorlet_v2_monitor_consume(-1, &drained), VORLET_V2_INVALID_ARG);
  vorlet_v2_runtime_destroy(rt);  // closes the runtime's end
  EXPECT_EQ(vorlet_v2_monitor_consume(h.monitor_read_fd, &drained), VORLET_V2_CLOSED);
  close_host_ends(h);
}

}  // namespace
