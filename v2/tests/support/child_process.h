// A test body run in a child process of its own, for faults that change
// what the whole process may do (such as its descriptor limit) and must not
// reach the test process or the tests after it.
//
//   const std::string report = test::run_in_child([] {
//     test::ChildChecks checks;
//     CHILD_CHECK(checks, lifecycle_start(rt) == Status::io);
//     return checks.report();
//   });
//   EXPECT_EQ(report, "");
//
// Fork while the test process runs no thread of its own: the child of a
// process with several threads may only call what is safe after fork.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vorlet::v2::test {

// Runs body in a forked child and waits for it up to timeout_ms (then kills
// it). "" when the child ended with status 0 and body returned ""; else
// what went wrong: body's report, the child's exit status or signal, or the
// timeout.
std::string run_in_child(const std::function<std::string()>& body, uint32_t timeout_ms = 60000);

// Collects failed checks inside a child, one line each.
class ChildChecks {
 public:
  bool check(bool ok, const char* what, int line);
  const std::string& report() const { return report_; }
  // Added to every failed check from now on (such as the case in a loop).
  std::string context;

 private:
  std::string report_;
};

#define CHILD_CHECK(checks, condition) (checks).check(static_cast<bool>(condition), #condition, __LINE__)

}  // namespace vorlet::v2::test
