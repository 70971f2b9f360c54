#include "observe/dubbing_registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

uint32_t failing_clock(uint64_t*) noexcept { return 2; }

// A runtime (with a monitor pipe) whose state the test sets directly.
struct Jobs {
  Jobs() { set_state(RuntimeState::started); }

  Runtime* rt() const { return host.rt; }
  void set_state(RuntimeState state) {
    MutexLock hold(&rt()->runtime_lock);
    rt()->state = state;
  }
  uint64_t monitor_seq() const { return rt()->counters.load(Counter::monitor_seq); }

  uint64_t submit(const char* label = "label") {
    const DubbingJobRequest request{sizeof(DubbingJobRequest), label, "source.mp4", "voice", "de"};
    uint64_t handle = 0;
    EXPECT_EQ(dubbing_registry_submit_job(rt(), &request, &handle), Status::ok);
    return handle;
  }
  Status update(uint64_t handle, uint32_t state, const char* reason = nullptr, const char* text_1 = nullptr) {
    const DubbingJobUpdate update{sizeof(DubbingJobUpdate), handle, state, VORLET_V2_DUBBING_STAGE_ASR, 500,
                                  reason, text_1, nullptr};
    return dubbing_registry_publish_update(rt(), &update);
  }
  DubbingJobRecord get(uint64_t handle) {
    DubbingJobRecord record{};
    EXPECT_EQ(dubbing_registry_get_job(rt(), handle, &record), Status::ok);
    return record;
  }
  std::vector<uint64_t> list(uint64_t capacity, uint64_t* count = nullptr) {
    std::vector<uint64_t> handles(capacity, 0);
    EXPECT_EQ(dubbing_registry_list_jobs(rt(), handles.data(), capacity, count), Status::ok);
    return handles;
  }

  test::TestRuntime host{0, test::TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE}};
};

bool tail_is_zero(const char* field, size_t size) {
  for (size_t i = std::strlen(field); i < size; ++i) {
    if (field[i] != 0) return false;
  }
  return true;
}

// NULL arguments first, then the clock, then the runtime state, then the
// registry's own checks. No refused call changes anything.
TEST(DubbingJobs, StatusesComeInTheirOrder) {
  Jobs jobs;
  const uint64_t live = jobs.submit();
  const DubbingJobRequest valid{0, nullptr, "a", "b", "c"};
  const DubbingJobRequest short_size{39, nullptr, "a", "b", "c"};
  const DubbingJobRequest no_text_2{40, "l", "a", nullptr, "c"};
  const DubbingJobUpdate good{0, live, 2, 2, 1, nullptr, nullptr, nullptr};
  DubbingJobUpdate size_27 = good;
  size_27.struct_size = 27;
  DubbingJobUpdate handle_0 = good;
  handle_0.handle = 0;
  DubbingJobUpdate progress_1001 = good;
  progress_1001.progress = 1001;
  DubbingJobUpdate unknown = good;
  unknown.handle = 999;
  uint64_t handle = 0;
  DubbingJobRecord record{};
  Runtime* rt = jobs.rt();

  struct Case {
    const char* what;
    RuntimeState state;
    std::function<Status()> call;
    Status expected;
  };
  const Case cases[] = {
      {"submit NULL request, failing clock", RuntimeState::created,
       [&] { return dubbing_registry_submit_job(rt, nullptr, &handle, failing_clock); }, Status::invalid_arg},
      {"submit NULL handle out", RuntimeState::started,
       [&] { return dubbing_registry_submit_job(rt, &valid, nullptr); }, Status::invalid_arg},
      {"submit, failing clock, not started", RuntimeState::created,
       [&] { return dubbing_registry_submit_job(rt, &valid, &handle, failing_clock); }, Status::io},
      {"submit size 39, not started", RuntimeState::created,
       [&] { return dubbing_registry_submit_job(rt, &short_size, &handle); }, Status::bad_state},
      {"submit size 39, started", RuntimeState::started,
       [&] { return dubbing_registry_submit_job(rt, &short_size, &handle); }, Status::invalid_arg},
      {"submit without text 2", RuntimeState::started,
       [&] { return dubbing_registry_submit_job(rt, &no_text_2, &handle); }, Status::invalid_arg},
      {"submit after stop", RuntimeState::stopped, [&] { return dubbing_registry_submit_job(rt, &valid, &handle); },
       Status::bad_state},
      {"update NULL, failing clock", RuntimeState::started,
       [&] { return dubbing_registry_publish_update(rt, nullptr, failing_clock); }, Status::invalid_arg},
      {"update, failing clock", RuntimeState::started,
       [&] { return dubbing_registry_publish_update(rt, &good, failing_clock); }, Status::io},
      {"update size 27, not started", RuntimeState::created,
       [&] { return dubbing_registry_publish_update(rt, &size_27); }, Status::bad_state},
      {"update size 27, started", RuntimeState::started,
       [&] { return dubbing_registry_publish_update(rt, &size_27); }, Status::invalid_arg},
      {"update handle 0", RuntimeState::started, [&] { return dubbing_registry_publish_update(rt, &handle_0); },
       Status::invalid_arg},
      {"update progress 1001", RuntimeState::started,
       [&] { return dubbing_registry_publish_update(rt, &progress_1001); }, Status::invalid_arg},
      {"update unknown handle", RuntimeState::started,
       [&] { return dubbing_registry_publish_update(rt, &unknown); }, Status::bad_state},
      {"update after stop", RuntimeState::stopped, [&] { return dubbing_registry_publish_update(rt, &good); },
       Status::bad_state},
      {"cancel handle 0, failing clock", RuntimeState::started,
       [&] { return dubbing_registry_cancel_job(rt, 0, failing_clock); }, Status::invalid_arg},
      {"cancel NULL runtime", RuntimeState::started, [&] { return dubbing_registry_cancel_job(nullptr, live); },
       Status::invalid_arg},
      {"cancel, failing clock", RuntimeState::stopped,
       [&] { return dubbing_registry_cancel_job(rt, live, failing_clock); }, Status::io},
      {"cancel unknown handle", RuntimeState::stopped, [&] { return dubbing_registry_cancel_job(rt, 999); },
       Status::bad_state},
      {"get NULL out", RuntimeState::started, [&] { return dubbing_registry_get_job(rt, live, nullptr); },
       Status::invalid_arg},
      {"get handle 0", RuntimeState::started, [&] { return dubbing_registry_get_job(rt, 0, &record); },
       Status::invalid_arg},
      {"get unknown handle", RuntimeState::stopped, [&] { return dubbing_registry_get_job(rt, 999, &record); },
       Status::bad_state},
      {"list NULL runtime", RuntimeState::started,
       [&] { return dubbing_registry_list_jobs(nullptr, nullptr, 0, nullptr); },
       Status::invalid_arg},
  };
  const DubbingJobRecord before = jobs.get(live);
  for (const Case& c : cases) {
    jobs.set_state(c.state);
    const uint64_t seq = jobs.monitor_seq();
    EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_EQ(jobs.monitor_seq(), seq) << c.what;
  }
  const DubbingJobRecord after = jobs.get(live);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  EXPECT_EQ(rt->dubbing.next_handle, 2u);
  EXPECT_EQ(rt->dubbing.next_revision, 2u);
}

TEST(DubbingJobs, ANewJobIsQueuedInPreflightWithItsTextsCut) {
  Jobs jobs;
  const std::string text_3(100, 'x');
  const std::string label(300, 'l');
  // A source exactly as long as its field and not terminated within it:
  // only the field's worth is read.
  char* unterminated = static_cast<char*>(std::malloc(512));
  std::memset(unterminated, 'u', 512);
  const DubbingJobRequest request{0, label.c_str(), unterminated, "caf\xC3\xA9", text_3.c_str()};
  uint64_t handle = 0;
  ASSERT_EQ(dubbing_registry_submit_job(jobs.rt(), &request, &handle), Status::ok);
  std::free(unterminated);
  EXPECT_EQ(handle, 1u);

  const DubbingJobRecord job = jobs.get(handle);
  EXPECT_EQ(job.struct_size, sizeof(DubbingJobRecord));
  EXPECT_EQ(job.handle, 1u);
  EXPECT_EQ(job.state, VORLET_V2_DUBBING_JOB_QUEUED);
  EXPECT_EQ(job.stage, VORLET_V2_DUBBING_STAGE_PREFLIGHT);
  EXPECT_EQ(job.progress, 0u);
  EXPECT_EQ(job.cancel_requested, 0u);
  EXPECT_EQ(job.revision, 1u);
  EXPECT_GT(job.created_ns, 0u);
  EXPECT_EQ(job.updated_ns, job.created_ns);
  EXPECT_EQ(std::string(job.submit_label), std::string(127, 'l'));
  EXPECT_EQ(std::string(job.submit_text_1), std::string(511, 'u'));
  EXPECT_STREQ(job.submit_text_2, "caf\xC3\xA9");
  EXPECT_EQ(std::string(job.submit_text_3), std::string(63, 'x'));
  EXPECT_STREQ(job.status_reason, "");

  const DubbingJobRequest no_label{40, nullptr, "a", "b", "c"};
  ASSERT_EQ(dubbing_registry_submit_job(jobs.rt(), &no_label, &handle), Status::ok);
  EXPECT_STREQ(jobs.get(handle).submit_label, "");
}

TEST(DubbingJobs, UpdatesStoreWhatTheyCarryAndClearTheRest) {
  Jobs jobs;
  const uint64_t h = jobs.submit();
  const uint64_t created = jobs.get(h).created_ns;

  // Values outside the named ranges are kept, and such a job is not terminal.
  DubbingJobUpdate odd{0, h, 99, 42, 1000, "r", "one", "two"};
  ASSERT_EQ(dubbing_registry_publish_update(jobs.rt(), &odd), Status::ok);
  DubbingJobRecord job = jobs.get(h);
  EXPECT_EQ(job.state, 99u);
  EXPECT_EQ(job.stage, 42u);
  EXPECT_EQ(job.progress, 1000u);
  EXPECT_EQ(job.revision, 2u);
  EXPECT_EQ(job.created_ns, created);
  EXPECT_GE(job.updated_ns, created);
  EXPECT_STREQ(job.status_reason, "r");
  EXPECT_STREQ(job.status_text_1, "one");
  EXPECT_STREQ(job.status_text_2, "two");
  EXPECT_STREQ(job.submit_text_1, "source.mp4");

  // Declared size 28 reaches only progress: the texts count as NULL.
  DubbingJobUpdate minimal{28, h, 2, 5, 10, "ignored", "ignored", "ignored"};
  ASSERT_EQ(dubbing_registry_publish_update(jobs.rt(), &minimal), Status::ok);
  job = jobs.get(h);
  EXPECT_EQ(job.state, VORLET_V2_DUBBING_JOB_RUNNING);
  EXPECT_EQ(job.stage, VORLET_V2_DUBBING_STAGE_MUX);
  EXPECT_EQ(job.progress, 10u);
  for (const char* field : {job.status_reason, job.status_text_1, job.status_text_2}) EXPECT_STREQ(field, "");

  // A long text, then a short one: nothing of the long one is left.
  const std::string long_reason(300, 'r');
  ASSERT_EQ(jobs.update(h, 2, long_reason.c_str()), Status::ok);
  EXPECT_EQ(std::string(jobs.get(h).status_reason), std::string(191, 'r'));
  ASSERT_EQ(jobs.update(h, 2, "short"), Status::ok);
  job = jobs.get(h);
  EXPECT_STREQ(job.status_reason, "short");
  EXPECT_TRUE(tail_is_zero(job.status_reason, sizeof job.status_reason));

  // A terminal job takes no more updates.
  ASSERT_EQ(jobs.update(h, VORLET_V2_DUBBING_JOB_FAILED), Status::ok);
  EXPECT_EQ(jobs.update(h, VORLET_V2_DUBBING_JOB_RUNNING), Status::bad_state);
}

// The stale-text regression: a cancel over a longer earlier reason leaves
// only its own text in the field.
TEST(DubbingJobs, CancelMarksTheJobAndMovesItToTheFrontOfTheList) {
  Jobs jobs;
  uint64_t h[6] = {};
  for (int i = 1; i <= 5; ++i) h[i] = jobs.submit();
  uint64_t count = 0;
  EXPECT_EQ(jobs.list(2, &count), (std::vector<uint64_t>{h[5], h[4]}));
  EXPECT_EQ(count, 5u);

  const std::string long_reason(150, 'z');
  ASSERT_EQ(jobs.update(h[2], VORLET_V2_DUBBING_JOB_RUNNING, long_reason.c_str(), "progressing"), Status::ok);
  ASSERT_EQ(jobs.update(h[3], VORLET_V2_DUBBING_JOB_SUCCEEDED), Status::ok);

  struct Step {
    const char* what;
    uint64_t handle;
    Status expected;
    std::vector<uint64_t> list_after;
  };
  const Step steps[] = {
      {"cancel a running job", h[2], Status::ok, {h[2], h[3], h[5], h[4], h[1], 0}},
      {"cancel it again", h[2], Status::ok, {h[2], h[3], h[5], h[4], h[1], 0}},
      {"cancel a succeeded job", h[3], Status::bad_state, {h[2], h[3], h[5], h[4], h[1], 0}},
      {"cancel a queued job", h[1], Status::ok, {h[1], h[2], h[3], h[5], h[4], 0}},
  };
  for (const Step& s : steps) {
    const uint64_t seq = jobs.monitor_seq();
    EXPECT_EQ(dubbing_registry_cancel_job(jobs.rt(), s.handle), s.expected) << s.what;
    EXPECT_EQ(jobs.monitor_seq(), seq + (s.expected == Status::ok ? 1 : 0)) << s.what;
    EXPECT_EQ(jobs.list(6, &count), s.list_after) << s.what;
    EXPECT_EQ(count, 5u);
  }

  for (uint64_t handle : {h[1], h[2]}) {
    const DubbingJobRecord job = jobs.get(handle);
    EXPECT_EQ(job.state, VORLET_V2_DUBBING_JOB_CANCELLED);
    EXPECT_EQ(job.cancel_requested, 1u);
    EXPECT_STREQ(job.status_reason, "cancelled_by_host");
    EXPECT_TRUE(tail_is_zero(job.status_reason, sizeof job.status_reason));
  }
  const DubbingJobRecord running = jobs.get(h[2]);
  EXPECT_EQ(running.stage, VORLET_V2_DUBBING_STAGE_ASR);  // stage, progress and other texts stay
  EXPECT_EQ(running.progress, 500u);
  EXPECT_STREQ(running.status_text_1, "progressing");
  EXPECT_EQ(jobs.get(h[3]).state, VORLET_V2_DUBBING_JOB_SUCCEEDED);
}

TEST(DubbingJobs, AFullRegistryEvictsTheTerminalJobChangedLongestAgo) {
  Jobs jobs;
  std::vector<uint64_t> h(17, 0);
  for (int i = 1; i <= 16; ++i) h[i] = jobs.submit();
  const DubbingJobRequest request{0, nullptr, "a", "b", "c"};
  uint64_t handle = 0;
  EXPECT_EQ(dubbing_registry_submit_job(jobs.rt(), &request, &handle), Status::would_block);

  // Terminal in this order: 2, 9, then 1 (submitted first, changed last).
  ASSERT_EQ(jobs.update(h[2], VORLET_V2_DUBBING_JOB_SUCCEEDED), Status::ok);
  ASSERT_EQ(jobs.update(h[9], VORLET_V2_DUBBING_JOB_FAILED), Status::ok);
  ASSERT_EQ(dubbing_registry_cancel_job(jobs.rt(), h[1]), Status::ok);

  uint64_t next_new = 17;
  for (uint64_t evicted : {h[2], h[9], h[1]}) {
    const uint64_t seq = jobs.monitor_seq();
    ASSERT_EQ(dubbing_registry_submit_job(jobs.rt(), &request, &handle), Status::ok);
    EXPECT_EQ(handle, next_new++);
    EXPECT_EQ(jobs.monitor_seq(), seq + 1);
    DubbingJobRecord record{};
    EXPECT_EQ(dubbing_registry_get_job(jobs.rt(), evicted, &record), Status::bad_state) << evicted;
    EXPECT_EQ(dubbing_registry_cancel_job(jobs.rt(), evicted), Status::bad_state) << evicted;
    EXPECT_EQ(jobs.get(handle).state, VORLET_V2_DUBBING_JOB_QUEUED);
  }
  EXPECT_EQ(dubbing_registry_submit_job(jobs.rt(), &request, &handle), Status::would_block);
  uint64_t count = 0;
  const std::vector<uint64_t> listed = jobs.list(16, &count);
  EXPECT_EQ(count, 16u);
  EXPECT_EQ(listed[0], 19u);
  EXPECT_EQ(listed[1], 18u);
  EXPECT_EQ(listed[2], 17u);
}

// Every change raises monitor_seq by one and rings the doorbell, and none
// is written to the event log.
TEST(DubbingJobs, ChangesRaiseTheMonitorSequenceWithoutEvents) {
  Jobs jobs;
  ASSERT_EQ(jobs.host.opened, Status::ok);
  const uint64_t h = jobs.submit();
  ASSERT_EQ(jobs.update(h, VORLET_V2_DUBBING_JOB_RUNNING), Status::ok);
  ASSERT_EQ(dubbing_registry_cancel_job(jobs.rt(), h), Status::ok);
  ASSERT_EQ(dubbing_registry_cancel_job(jobs.rt(), h), Status::ok);
  (void)jobs.get(h);
  (void)jobs.list(4);
  EXPECT_EQ(jobs.monitor_seq(), 4u);
  EXPECT_EQ(jobs.rt()->event_log->last_seq, 0u);
  EXPECT_EQ(jobs.rt()->counters.load(Counter::monitor_signals_written), 1u);
  EXPECT_EQ(jobs.rt()->counters.load(Counter::monitor_signals_skipped), 3u);
}

TEST(DubbingJobs, GetWritesOnlyWhatTheDeclaredSizeCovers) {
  Jobs jobs;
  const uint64_t h = jobs.submit();
  DubbingJobRecord record;
  std::memset(&record, 0x5A, sizeof record);
  record.struct_size = offsetof(DubbingJobRecord, submit_label);
  ASSERT_EQ(dubbing_registry_get_job(jobs.rt(), h, &record), Status::ok);
  EXPECT_EQ(record.struct_size, sizeof(DubbingJobRecord));
  EXPECT_EQ(record.handle, h);
  EXPECT_EQ(record.revision, 1u);
  EXPECT_EQ(static_cast<unsigned char>(record.submit_label[0]), 0x5Au);

  // The list reports the count without an array, and nothing with capacity 0.
  uint64_t count = 0;
  ASSERT_EQ(dubbing_registry_list_jobs(jobs.rt(), nullptr, 8, &count), Status::ok);
  EXPECT_EQ(count, 1u);
  uint64_t one = 77;
  ASSERT_EQ(dubbing_registry_list_jobs(jobs.rt(), &one, 0, nullptr), Status::ok);
  EXPECT_EQ(one, 77u);
}

}  // namespace
}  // namespace vorlet::v2
