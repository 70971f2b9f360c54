#include <gtest/gtest.h>

#include "vorlet_v2.h"

namespace {

TEST(RuntimeLifecycle, CreateAndDestroyThroughTheLibrary) {
  EXPECT_EQ(vorlet_v2_runtime_create(nullptr), nullptr);
  for (int32_t hint : {0, -5, 1, 3, 64, 70000}) {
    vorlet_v2_RuntimeOptions options{"a", "b", 7, hint};
    vorlet_v2_Runtime* rt = vorlet_v2_runtime_create(&options);
    ASSERT_NE(rt, nullptr) << hint;
    vorlet_v2_runtime_destroy(rt);
  }
  vorlet_v2_runtime_destroy(nullptr);
}

}  // namespace
