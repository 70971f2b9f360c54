#include "runtime/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

constexpr const char* kVariable = "VORLET_V2_RUNTIME_LIFECYCLE_LOG";

std::string stderr_of_create_and_destroy() {
  testing::internal::CaptureStderr();
  const vorlet_v2_RuntimeOptions options{nullptr, nullptr, 0, 0};
  runtime_destroy(runtime_create(&options));
  return testing::internal::GetCapturedStderr();
}

TEST(LifecycleLog, CreateWritesItsLineOnlyWhenTheVariableIsExactlyOne) {
  struct Case {
    const char* value;  // nullptr: unset
    bool prints;
  };
  const Case cases[] = {{nullptr, false}, {"0", false}, {"1 ", false}, {"11", false}, {"", false}, {"1", true}};
  for (const Case& c : cases) {
    if (c.value == nullptr) {
      unsetenv(kVariable);
    } else {
      setenv(kVariable, c.value, 1);
    }
    EXPECT_EQ(stderr_of_create_and_destroy(),
              c.prints ? "vorlet[info] vorlet-runtime-v2: runtime_created (v2\\src\\runtime:4088)\n" : "")
        << (c.value == nullptr ? "(unset)" : c.value);
  }
  unsetenv(kVariable);
}

TEST(LogSink, DefaultSinkNamesWhatIsMissingAndASetSinkTakesOver) {
  testing::internal::CaptureStderr();
  log_emit(9, nullptr, nullptr, nullptr, 12);
  log_emit(3, "comp", "text", "file.cpp", 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "vorlet[unknown] unknown:  (unknown:12)\nvorlet[warn] comp: text (file.cpp:5)\n");

  struct Seen {
    LogRecord record;
    int calls;
  } seen{};
  log_set_sink(
      [](const LogRecord* r, void* ctx) {
        auto* s = static_cast<Seen*>(ctx);
        s->record = *r;
        ++s->calls;
        return 42;
      },
      &seen);
  testing::internal::CaptureStderr();
  EXPECT_EQ(log_emit(1, "c", "m", "f", 7), 42);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  log_set_sink(nullptr, nullptr);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.record.record_size, 48u);
  EXPECT_EQ(seen.record.level, 1u);
  EXPECT_STREQ(seen.record.message, "m");
  EXPECT_EQ(seen.record.line, 7u);
  EXPECT_GT(seen.record.timestamp_ns, 0u);
}

}  // namespace
}  // namespace vorlet::v2
