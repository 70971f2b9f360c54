// What the library says of itself (version, ABI, surface profiles) against
// the header a host compiles with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vorlet_v2.h"

namespace {

// The version a host compiles against (the header's macros) is the version
// the library reports at run time.
TEST(RuntimeInfo, ReportsTheVersionOfItsHeader) {
  const std::string parts = std::to_string(VORLET_V2_VERSION_MAJOR) + "." + std::to_string(VORLET_V2_VERSION_MINOR) +
                            "." + std::to_string(VORLET_V2_VERSION_PATCH);
  EXPECT_EQ(parts, VORLET_V2_VERSION);
  vorlet_v2_RuntimeInfo info{};
  info.struct_size = sizeof info;
  ASSERT_EQ(vorlet_v2_runtime_get_info(&info), VORLET_V2_OK);
  EXPECT_STREQ(info.version, VORLET_V2_VERSION);
}

TEST(RuntimeInfo, ReportsWhatTheLibraryIs) {
  EXPECT_EQ(vorlet_v2_runtime_get_abi_version(), 1u);
  EXPECT_EQ(vorlet_v2_runtime_get_info(nullptr), VORLET_V2_INVALID_ARG);

  vorlet_v2_RuntimeInfo info;
  std::memset(&info, 0xEE, sizeof info);
  info.struct_size = 0;
  ASSERT_EQ(vorlet_v2_runtime_get_info(&info), VORLET_V2_OK);
  EXPECT_EQ(info.struct_size, 72u);
  EXPECT_EQ(info.abi_version, 1u);
  EXPECT_EQ(info.feature_flags, 0x7FFFBFu);
  EXPECT_STREQ(info.version, "1.3.2");
  ASSERT_NE(info.build_revision, nullptr);
  const std::string revision = info.build_revision;
  EXPECT_EQ(revision.size(), 8u);
  EXPECT_EQ(revision.find_first_not_of("0123456789abcdef"), std::string::npos) << revision;
  EXPECT_STREQ(info.transport, "tcp");
  EXPECT_STREQ(info.allocator, "libc");
  EXPECT_STREQ(info.contract_document, "docs/runtime/runtime-connector-contract.md");
  EXPECT_STREQ(info.wire_protocol, "tcp-frame");
  EXPECT_EQ(info.contract_version, 1u);

  // A record declared 16 or 20 bytes long ends before the first text.
  for (uint64_t declared : {16u, 20u}) {
    std::memset(&info, 0xEE, sizeof info);
    info.struct_size = declared;
    ASSERT_EQ(vorlet_v2_runtime_get_info(&info), VORLET_V2_OK);
    EXPECT_EQ(info.struct_size, 72u);
    EXPECT_EQ(info.abi_version, 1u);
    EXPECT_EQ(info.feature_flags, 0x7FFFBFu);
    const unsigned char* rest = reinterpret_cast<const unsigned char*>(&info) + 16;
    for (size_t i = 0; i < sizeof info - 16; ++i) EXPECT_EQ(rest[i], 0xEEu) << declared << " byte " << 16 + i;
  }
}

TEST(SurfaceProfiles, NameTheirFeaturesAndCheckThem) {
  struct Case {
    uint32_t id;
    const char* name;
    uint32_t mask;
  };
  const Case cases[] = {
      {VORLET_V2_SURFACE_DISCOVERY, "discovery", 0x139200u},
      {VORLET_V2_SURFACE_OBSERVE, "observe", 0x699C04u},
      {VORLET_V2_SURFACE_EVENT_LOG, "event_log", 0x99800u},
      {VORLET_V2_SURFACE_CONTROL, "control", 0x5F010u},
      {VORLET_V2_SURFACE_REQUEST_DRIVER, "request_driver", 0xA9u},
      {0, "unknown", 0},
      {6, "unknown", 0},
      {0xFFFFFFFFu, "unknown", 0},
  };
  vorlet_v2_RuntimeInfo info{};
  ASSERT_EQ(vorlet_v2_runtime_get_info(&info), VORLET_V2_OK);
  for (const Case& c : cases) {
    EXPECT_STREQ(vorlet_v2_runtime_surface_profile_name(c.id), c.name) << c.id;
    EXPECT_EQ(vorlet_v2_runtime_surface_required_features(c.id), c.mask) << c.id;
    const bool known = c.mask != 0;
    // The library's own features satisfy every profile; an unknown one
    // never passes and reports nothing missing.
    uint32_t missing = 0xFFFFFFFFu;
    EXPECT_EQ(vorlet_v2_runtime_surface_check_features(info.feature_flags, c.id, &missing), known ? 1 : 0) << c.id;
    EXPECT_EQ(missing, 0u) << c.id;
    EXPECT_EQ(vorlet_v2_runtime_surface_check_features(info.feature_flags, c.id, nullptr), known ? 1 : 0) << c.id;
    if (known) {
      EXPECT_EQ(vorlet_v2_runtime_surface_check_features(0, c.id, &missing), 0) << c.id;
      EXPECT_EQ(missing, c.mask) << c.id;
    }
  }
  uint32_t missing = 0;
  EXPECT_EQ(vorlet_v2_runtime_surface_check_features(0x21, VORLET_V2_SURFACE_REQUEST_DRIVER, &missing), 0);
  EXPECT_EQ(missing, 0x88u);
  EXPECT_EQ(vorlet_v2_runtime_surface_check_features(0x21, VORLET_V2_SURFACE_REQUEST_DRIVER, nullptr), 0);
}

}  // namespace
