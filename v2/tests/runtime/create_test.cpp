#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

TEST(RuntimeCreate, NullOptionsGiveNull) { EXPECT_EQ(runtime_create(nullptr), nullptr); }

TEST(RuntimeCreate, StoresOptionsAndDefaults) {
  const char text_a[] = "alpha";
  vorlet_v2_RuntimeOptions options{text_a, nullptr, 7, 0};
  Runtime* rt = runtime_create(&options);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(rt) % 64, 0u);
  EXPECT_STREQ(rt->option_text_a, "alpha");
  EXPECT_NE(rt->option_text_a, text_a);  // an owned copy
  EXPECT_STREQ(rt->option_text_b, "");
  EXPECT_EQ(rt->option_flag, 1u);
  EXPECT_EQ(rt->state, RuntimeState::created);
  EXPECT_EQ(rt->auth.observe_min_role, 0u);
  EXPECT_EQ(rt->auth.control_min_role, 2u);
  EXPECT_EQ(rt->remote_outbound_mode.load(), 0u);
  EXPECT_EQ(rt->reply_reserve_slots.load(), 0u);
  EXPECT_EQ(rt->stopping.load(), 0u);
  EXPECT_EQ(rt->accepting.load(), 0u);
  for (size_t i = 0; i < kCounterCount; ++i) EXPECT_EQ(rt->counters.load(static_cast<Counter>(i)), 0u) << i;
  runtime_destroy(rt);

  vorlet_v2_RuntimeOptions zero_flag{nullptr, nullptr, 0, 0};
  rt = runtime_create(&zero_flag);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(rt->option_flag, 0u);
  EXPECT_STREQ(rt->option_text_a, "");
  runtime_destroy(rt);
}

TEST(RuntimeLayout, HotFieldsSitOnTheirOwnLines) {
  EXPECT_EQ(offsetof(Runtime, stopping) % 64, 0u);
  EXPECT_EQ(offsetof(Runtime, accepting) % 64, 0u);
  EXPECT_NE(offsetof(Runtime, stopping) / 64, offsetof(Runtime, accepting) / 64);
  EXPECT_EQ(offsetof(Runtime, counters) % 64, 0u);
  EXPECT_EQ(sizeof(Counters), kCounterCount * 64);
}

}  // namespace
}  // namespace vorlet::v2
