#include "base/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/alloc.h"

namespace vorlet::v2 {
namespace {

TEST(TextCut, NeverLeavesAnIncompleteSequence) {
  // "aé€😀": a (1 byte), é (2), € (3), 😀 (4) -> 10 bytes.
  const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  struct Case {
    uint64_t max, kept;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 3}, {5, 3},
                        {6, 6}, {7, 6}, {8, 6}, {9, 6}, {10, 10}, {50, 10}};
  for (const Case& c : cases) EXPECT_EQ(utf8_cut_length(s.data(), s.size(), c.max), c.kept) << c.max;
  // ASCII is cut exactly where asked.
  EXPECT_EQ(utf8_cut_length("abcdef", 6, 4), 4u);
  // Not UTF-8 at the cut (a run of continuation bytes): the plain cut stands.
  const std::string junk(8, '\x80');
  EXPECT_EQ(utf8_cut_length(junk.data(), junk.size(), 5), 5u);
}

TEST(TextCopyBounded, CutsToCapacityMinusOneAndTerminates) {
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(text_copy_bounded(buf, 4, "abcdef"), 3u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], '#');
  EXPECT_EQ(text_copy_bounded(buf, 4, "a\xE2\x82\xAC"), 1u);  // the euro sign does not fit whole
  EXPECT_STREQ(buf, "a");
  EXPECT_EQ(text_copy_bounded(buf, 8, nullptr), 0u);
  EXPECT_STREQ(buf, "");
  buf[0] = '#';
  EXPECT_EQ(text_copy_bounded(buf, 0, "abc"), 0u);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(text_copy_bounded(nullptr, 8, "abc"), 0u);
}

TEST(TextDup, CopiesAndTreatsNullAsEmpty) {
  char* a = text_dup("xyz");
  char* b = text_dup(nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(a, "xyz");
  EXPECT_STREQ(b, "");
  rt_free(a);
  rt_free(b);
  // A counted copy keeps inner NULs and adds the terminator.
  char* c = text_dup_n("a\0b", 3);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::string(c, 4), std::string("a\0b\0", 4));
  rt_free(c);
  char* d = text_dup_n(nullptr, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d, "");
  rt_free(d);
}

// Texts from the network become fields of messages we build, which must
// parse: every byte outside a well-formed sequence becomes '?', and valid
// text (ASCII and multi-byte alike) is left as it is.
TEST(Utf8Sanitize, ReplacesEveryByteOutsideAWellFormedSequence) {
  const struct Case {
    std::string in, out;
    uint64_t replaced;
  } cases[] = {
      {"plain", "plain", 0},
      {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 0},
      {"bad \xC3\x28 text", "bad ?( text", 1},           // a lead byte without its continuation
      {"\x80\xBF", "??", 2},                              // stray continuation bytes
      {"\xC0\xAF", "??", 2},                              // overlong '/'
      {"\xE0\x80\xAF", "???", 3},                        // overlong, three bytes
      {"\xED\xA0\x80", "???", 3},                        // a surrogate
      {"\xF4\x90\x80\x80", "????", 4},                  // above U+10FFFF
      {"\xF5\xFF", "??", 2},                              // never a lead byte
      {"end \xE2\x82", "end ??", 2},                      // cut short by the end
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(utf8_sanitize(text.data()), c.replaced) << c.out;
    EXPECT_EQ(text, c.out);
  }
  EXPECT_EQ(utf8_sanitize(nullptr), 0u);
}

}  // namespace
}  // namespace vorlet::v2
