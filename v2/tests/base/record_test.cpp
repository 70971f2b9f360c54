#include "base/record.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vorlet::v2 {
namespace {

TEST(StructFieldFits, Table) {
  struct Case {
    uint64_t size, offset, width;
    int fits;
  };
  const Case cases[] = {
      {0, 1000, 8, 1}, {16, 8, 4, 1}, {16, 12, 4, 1}, {24, 16, 8, 1}, {16, 13, 4, 0},
      {8, 16, 8, 0},   {8, 0, 8, 1},  {7, 0, 8, 0},   {UINT64_MAX, UINT64_MAX, 1, 0},
      {UINT64_MAX, 8, UINT64_MAX - 8, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(struct_field_fits(c.size, c.offset, c.width), c.fits)
        << "size " << c.size << " offset " << c.offset << " width " << c.width;
  }
}

struct Rec24 {
  uint64_t struct_size;
  uint32_t a;
  uint32_t b;
  uint64_t c;
};
static_assert(sizeof(Rec24) == 24);

void write_rec(Rec24* out) {
  const Rec24 full{0, 0x11111111u, 0x22222222u, 0x3333333333333333ull};
  record_write(out, full,
               {VORLET_FIELD(Rec24, struct_size), VORLET_FIELD(Rec24, a), VORLET_FIELD(Rec24, b),
                VORLET_FIELD(Rec24, c)});
}

TEST(SizePrefixedOutput, WritesOnlyWholeFieldsInsideTheDeclaredSize) {
  struct Case {
    uint64_t declared;
    bool a, b, c;
  };
  const Case cases[] = {{12, true, false, false}, {4, false, false, false}, {0, true, true, true},
                        {1000, true, true, true}, {16, true, true, false},  {24, true, true, true}};
  for (const Case& c : cases) {
    // A sentinel block past the record shows that nothing beyond it is touched.
    unsigned char block[sizeof(Rec24) + 16];
    std::memset(block, 0xEE, sizeof block);
    std::memcpy(block, &c.declared, sizeof c.declared);
    write_rec(reinterpret_cast<Rec24*>(block));
    Rec24 got;
    std::memcpy(&got, block, sizeof got);
    EXPECT_EQ(got.struct_size, 24u) << c.declared;
    EXPECT_EQ(got.a == 0x11111111u, c.a) << c.declared;
    EXPECT_EQ(got.b == 0x22222222u, c.b) << c.declared;
    EXPECT_EQ(got.c == 0x3333333333333333ull, c.c) << c.declared;
    const uint64_t untouched_from = c.declared >= 1 && c.declared <= 24 ? std::max<uint64_t>(c.declared, 8) : 24;
    for (size_t i = untouched_from; i < sizeof block; ++i) {
      if (i < 24 && ((i >= 8 && i < 12 && c.a) || (i >= 12 && i < 16 && c.b) || (i >= 16 && c.c))) continue;
      ASSERT_EQ(block[i], 0xEE) << "byte " << i << " touched with declared " << c.declared;
    }
  }
}

// A field table must tile its record: a missing, moved or overlapping row,
// or a size other than the record's, fails the check.
constexpr FieldSpan kRec24Fields[] = {VORLET_FIELD_AT(Rec24, struct_size, 0), VORLET_FIELD_AT(Rec24, a, 8),
                                      VORLET_RESERVED_AT(Rec24, b, 12), VORLET_FIELD_AT(Rec24, c, 16)};
static_assert(record_table_covers<Rec24>(kRec24Fields, 24));
static_assert(!record_table_covers<Rec24>(kRec24Fields, 32));
constexpr FieldSpan kRec24NoB[] = {VORLET_FIELD(Rec24, struct_size), VORLET_FIELD(Rec24, a), VORLET_FIELD(Rec24, c)};
static_assert(!record_table_covers<Rec24>(kRec24NoB, 24));
constexpr FieldSpan kRec24Twice[] = {VORLET_FIELD(Rec24, struct_size), VORLET_FIELD(Rec24, a), VORLET_FIELD(Rec24, a),
                                     VORLET_FIELD(Rec24, b), VORLET_FIELD(Rec24, c)};
static_assert(!record_table_covers<Rec24>(kRec24Twice, 24));
constexpr FieldSpan kRec24Short[] = {VORLET_FIELD(Rec24, struct_size), VORLET_FIELD(Rec24, a), VORLET_FIELD(Rec24, b)};
static_assert(!record_table_covers<Rec24>(kRec24Short, 24));

// A padding row stands for a gap the compiler left: once a field fills the
// record's one gap, the same table fails.
struct Padded16 {
  uint64_t struct_size;
  uint32_t a;
};
struct Filled16 {
  uint64_t struct_size;
  uint32_t a;
  uint32_t added;
};
constexpr FieldSpan kPadded16Fields[] = {VORLET_FIELD_AT(Padded16, struct_size, 0), VORLET_FIELD_AT(Padded16, a, 8),
                                         VORLET_PADDING_AT(12, 4)};
static_assert(record_table_covers<Padded16>(kPadded16Fields, 16));
constexpr FieldSpan kFilled16Fields[] = {VORLET_FIELD_AT(Filled16, struct_size, 0), VORLET_FIELD_AT(Filled16, a, 8),
                                         VORLET_PADDING_AT(12, 4)};
static_assert(!record_table_covers<Filled16>(kFilled16Fields, 16));

// Through a table, a reserved row is neither written nor read, and
// struct_size is the caller's on input.
TEST(FieldTable, ReservedRowsAreNeverCopied) {
  Rec24 out{0, 0, 0xEEEEEEEEu, 0};
  record_write(&out, Rec24{99, 1, 2, 3}, kRec24Fields);
  EXPECT_EQ(out.struct_size, 24u);
  EXPECT_EQ(out.a, 1u);
  EXPECT_EQ(out.b, 0xEEEEEEEEu);
  EXPECT_EQ(out.c, 3u);

  const Rec24 in{0, 4, 5, 6};
  Rec24 read{7, 10, 20, 30};
  EXPECT_EQ(record_read(&in, read, kRec24Fields), 24u);
  EXPECT_EQ(read.struct_size, 7u);
  EXPECT_EQ(read.a, 4u);
  EXPECT_EQ(read.b, 20u);
  EXPECT_EQ(read.c, 6u);
}

TEST(SizePrefixedInput, ReadsOnlyFieldsThatFitAndKeepsDefaults) {
  struct Case {
    uint64_t declared;
    uint64_t effective;
    bool b_read, c_read;
  };
  const Case cases[] = {{12, 12, false, false}, {16, 16, true, false}, {0, 24, true, true}, {99, 24, true, true}};
  for (const Case& c : cases) {
    const Rec24 in{c.declared, 1, 2, 3};
    Rec24 out{0, 10, 20, 30};
    const uint64_t eff = record_read(&in, out, {VORLET_FIELD(Rec24, a), VORLET_FIELD(Rec24, b), VORLET_FIELD(Rec24, c)});
    EXPECT_EQ(eff, c.effective);
    EXPECT_EQ(out.a, 1u);
    EXPECT_EQ(out.b, c.b_read ? 2u : 20u);
    EXPECT_EQ(out.c, c.c_read ? 3u : 30u);
  }
}

}  // namespace
}  // namespace vorlet::v2
