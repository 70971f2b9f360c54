// The runtime's job free lists: freed jobs come back zeroed, the list holds
// no more than its cap, and jobs cross threads through it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "base/text.h"
#include "runtime/jobs.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

// Every byte of the job but its home is zero.
template <class Job>
bool zeroed_but_home(const Job* job) {
  Job copy;
  std::memcpy(static_cast<void*>(&copy), job, sizeof copy);
  copy.home = nullptr;
  static const Job zero{};
  return std::memcmp(static_cast<const void*>(&copy), static_cast<const void*>(&zero), sizeof copy) == 0;
}

// Dirty every field a stage sets, so that a job handed out again shows
// whether it was cleared.
void dirty(LocalJob* job) {
  job->generation = 9;
  job->port = 7;
  job->timeout_ms = 5;
  job->one_way = 1;
}
void dirty(RemoteJob* job) {
  job->generation = 9;
  job->port = 7;
  job->timeout_ms = 5;
  job->deadline_ns = 11;
  job->expects_reply = 1;
  job->message_id = text_dup("m-1");
  ASSERT_EQ(tried_set_add(&job->tried, "tried", 3), Status::ok);
  // A parse moved in, as the dispatcher hands it over (LSan sees it if the
  // free forgets it).
  const std::string bytes = test::request_envelope({.message_id = "m-1", .target = "svc.far"});
  ParsedEnvelope parsed;
  ASSERT_EQ(parsed_envelope_parse(bytes.data(), bytes.size(), &parsed, nullptr, 0), Status::ok);
  job->parsed = std::move(parsed);
  job->has_parsed = 1;
}

template <class Job>
void free_job(Job* job);
template <>
void free_job(LocalJob* job) { local_job_free(job); }
template <>
void free_job(RemoteJob* job) { remote_job_free(job); }

template <class Job>
Job* new_job(JobFreeList* list);
template <>
LocalJob* new_job(JobFreeList* list) { return local_job_new(list); }
template <>
RemoteJob* new_job(JobFreeList* list) { return remote_job_new(list); }

// Three jobs freed into a list of two: two are kept (the third goes back
// to the allocator; LSan sees one lost), each comes back zeroed, newest
// first, and a miss after them is a new job that also goes home.
template <class Job>
void reuse_within_cap() {
  JobFreeList list{};
  job_free_list_init(&list, 2);
  Job* jobs[3];
  for (Job*& job : jobs) {
    job = new_job<Job>(&list);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->home, &list);
    EXPECT_TRUE(zeroed_but_home(job));
    dirty(job);
  }
  for (Job* job : jobs) free_job(job);
  EXPECT_EQ(job_free_list_count(&list), 2u);

  Job* again = new_job<Job>(&list);
  EXPECT_EQ(again, jobs[1]);  // the last one kept
  EXPECT_TRUE(zeroed_but_home(again));
  EXPECT_EQ(again->home, &list);
  Job* next = new_job<Job>(&list);
  EXPECT_EQ(next, jobs[0]);
  EXPECT_TRUE(zeroed_but_home(next));
  EXPECT_EQ(job_free_list_count(&list), 0u);
  Job* fresh = new_job<Job>(&list);
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(zeroed_but_home(fresh));
  for (Job* job : {again, next, fresh}) free_job(job);
  EXPECT_EQ(job_free_list_count(&list), 2u);
  job_free_list_clear(&list);
  EXPECT_EQ(job_free_list_count(&list), 0u);
}

TEST(JobFreeList, FreedJobsComeBackZeroedAndTheListHoldsNoMoreThanItsCap) {
  reuse_within_cap<LocalJob>();
  reuse_within_cap<RemoteJob>();
}

// Without a list a job is allocated and freed as ever; a list never
// initialised is ignored the same way.
TEST(JobFreeList, WithoutAListJobsGoToTheAllocator) {
  LocalJob* plain = local_job_new();
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->home, nullptr);
  EXPECT_TRUE(zeroed_but_home(plain));
  local_job_free(plain);
  JobFreeList never{};
  RemoteJob* job = remote_job_new(&never);
  ASSERT_NE(job, nullptr);
  remote_job_free(job);
  EXPECT_EQ(job_free_list_count(&never), 0u);
  job_free_list_clear(&never);
}

// Jobs taken on one thread and freed on others, as the dispatcher and the
// workers do (TSan watches the list); the list ends within its cap and
// every job is accounted for (LSan).
TEST(JobFreeList, JobsTakenOnOneThreadAndFreedOnOthers) {
  JobFreeList list{};
  job_free_list_init(&list, 8);
  constexpr int kRounds = 2000;
  std::vector<LocalJob*> handed[2];
  std::mutex lock;
  std::vector<std::thread> freers;
  std::atomic<bool> done{false};
  for (int t = 0; t < 2; ++t) {
    freers.emplace_back([&, t] {
      for (;;) {
        // Read before the batch is taken: once it is set, every job was
        // handed over already, so an empty batch then is the last one. Read
        // after, it could follow jobs handed over since the batch was taken.
        const bool finished = done.load();
        std::vector<LocalJob*> batch;
        {
          std::lock_guard<std::mutex> hold(lock);
          batch.swap(handed[t]);
        }
        for (LocalJob* job : batch) local_job_free(job);
        if (batch.empty() && finished) return;
        if (batch.empty()) std::this_thread::yield();
      }
    });
  }
  for (int i = 0; i < kRounds; ++i) {
    LocalJob* job = local_job_new(&list);
    ASSERT_NE(job, nullptr);
    EXPECT_TRUE(zeroed_but_home(job));
    job->generation = static_cast<uint64_t>(i) + 1;
    std::lock_guard<std::mutex> hold(lock);
    handed[i % 2].push_back(job);
  }
  done.store(true);
  for (std::thread& t : freers) t.join();
  EXPECT_LE(job_free_list_count(&list), 8u);
  job_free_list_clear(&list);
}

// A runtime's lists are bounded by its rings: after a burst of envelopes
// each list holds at most a ring's capacity and a few more.
TEST(JobFreeList, ARuntimesListsAreBoundedByItsRings) {
  test::TestRuntime fx(16);
  ASSERT_TRUE(fx.bring_up());
  Runtime* rt = fx.rt;
  EXPECT_EQ(rt->local_jobs.cap, rt->local_ring.capacity + 3);
  EXPECT_EQ(rt->remote_jobs.cap, rt->remote_ring.capacity() + 3);
  const std::string bytes =
      test::request_envelope({.message_id = "m-burst", .target = test::kLocalTarget, .one_way = true});
  for (int i = 0; i < 200; ++i) (void)vorlet_v2_runtime_submit_envelope(fx.handle(), bytes.data(), bytes.size());
  test::FrameBytes first;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &first), Status::ok);  // a job has been and gone
  ASSERT_EQ(fx.stop(), Status::ok);
  EXPECT_GE(job_free_list_count(&rt->local_jobs), 1u);
  EXPECT_LE(job_free_list_count(&rt->local_jobs), rt->local_jobs.cap);
}

}  // namespace
}  // namespace vorlet::v2
