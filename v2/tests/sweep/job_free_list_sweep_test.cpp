// The job free list under allocation failure: a job taken from the list is
// no allocation, and a miss falls back to the allocator, which may refuse.
#include <gtest/gtest.h>

#include "runtime/jobs.h"
#include "sweep/sweep_support.h"

namespace vorlet::v2::test {
namespace {

TEST(JobFreeListSweep, AnIdleJobIsNoAllocationAndAMissMayFail) {
  JobFreeList list{};
  job_free_list_init(&list, 4);
  local_job_free(local_job_new(&list));
  ASSERT_EQ(job_free_list_count(&list), 1u);

  {
    FailingAllocations window(Fault{1, true});
    LocalJob* reused = local_job_new(&list);
    EXPECT_NE(reused, nullptr);
    EXPECT_EQ(local_job_new(&list), nullptr);  // the list is empty: nomem
    EXPECT_EQ(window.close(), 1u);             // only the miss asked the allocator
    local_job_free(reused);
  }
  job_free_list_clear(&list);
}

}  // namespace
}  // namespace vorlet::v2::test
