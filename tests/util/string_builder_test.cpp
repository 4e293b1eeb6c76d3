// The string builder's growth rule, terminator and failure invariants.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "util/sb.h"

namespace {

void expect_terminated(const string_builder& sb) {
  ASSERT_NE(sb.data, nullptr);
  EXPECT_LE(sb.len + 1, sb.cap);
  EXPECT_EQ(sb.data[sb.len], '\0');
}

}  // namespace

TEST(StringBuilder, FreshAndFreedReadAsEmptyText) {
  sb_owner b;
  ASSERT_NE(b.str(), nullptr);
  EXPECT_STREQ(b.str(), "");
  EXPECT_EQ(b.get()->cap, 0u);
  sb_puts(b.get(), "abc");
  sb_free(b.get());
  EXPECT_EQ(b.get()->data, nullptr);
  EXPECT_EQ(b.get()->len, 0u);
  EXPECT_EQ(b.get()->cap, 0u);
  EXPECT_STREQ(b.str(), "");
  // Usable again after a free.
  EXPECT_EQ(sb_puts(b.get(), "x"), 0);
  EXPECT_STREQ(b.str(), "x");
}

TEST(StringBuilder, EmptyAppendAllocatesFirstBlock) {
  sb_owner b;
  EXPECT_EQ(sb_puts(b.get(), ""), 0);
  EXPECT_EQ(b.get()->cap, 256u);
  EXPECT_EQ(b.len(), 0u);
  expect_terminated(*b.get());
}

TEST(StringBuilder, NullStringChangesNothing) {
  sb_owner b;
  EXPECT_EQ(sb_puts(b.get(), nullptr), 0);
  EXPECT_EQ(b.get()->data, nullptr);
  EXPECT_EQ(b.get()->cap, 0u);
}

// Growth doubles from 256 until len + n + 2 fits: one spare byte beyond the terminator.
struct growth_row {
  uint64_t before;  // bytes appended first
  uint64_t more;    // bytes appended second
  uint64_t cap;     // capacity after both
};
constexpr growth_row growth_rows[] = {
    {0, 254, 256}, {0, 255, 512},  {100, 155, 256}, {100, 156, 512},
    {0, 510, 512}, {0, 511, 1024}, {0, 1000, 1024}, {300, 723, 2048},
};

TEST(StringBuilder, GrowthTable) {
  for (const growth_row& r : growth_rows) {
    SCOPED_TRACE(std::to_string(r.before) + "+" + std::to_string(r.more));
    sb_owner b;
    const std::string first(r.before, 'a');
    const std::string second(r.more, 'b');
    if (r.before > 0) {
      ASSERT_EQ(sb_putn(b.get(), first.data(), first.size()), 0);
    }
    ASSERT_EQ(sb_putn(b.get(), second.data(), second.size()), 0);
    EXPECT_EQ(b.get()->cap, r.cap);
    EXPECT_EQ(b.len(), r.before + r.more);
    EXPECT_EQ(std::string(b.str()), first + second);
    expect_terminated(*b.get());
  }
}

TEST(StringBuilder, RoomCheckNeedsOnlyTerminator) {
  // 254 bytes then 1 more: len + 1 + 1 = 256 fits the block, so no regrow happens although
  // the growth target (len + n + 2) would be 257.
  sb_owner b;
  const std::string s(254, 'a');
  sb_putn(b.get(), s.data(), s.size());
  ASSERT_EQ(b.get()->cap, 256u);
  EXPECT_EQ(sb_putc(b.get(), 'z'), 0);
  EXPECT_EQ(b.get()->cap, 256u);
  EXPECT_EQ(b.len(), 255u);
  EXPECT_EQ(sb_putc(b.get(), 'y'), 0);
  EXPECT_EQ(b.get()->cap, 512u);
}

TEST(StringBuilder, PutcZeroIsCountedButEndsTheText) {
  sb_owner b;
  sb_puts(b.get(), "ab");
  EXPECT_EQ(sb_putc(b.get(), 0), 0);
  sb_putc(b.get(), 'c');
  EXPECT_EQ(b.len(), 4u);
  EXPECT_STREQ(b.str(), "ab");
  EXPECT_EQ(std::memcmp(b.str(), "ab\0c", 5), 0);
}

TEST(StringBuilder, PutcStoresLowEightBits) {
  sb_owner b;
  sb_putc(b.get(), 0x141);
  EXPECT_STREQ(b.str(), "A");
}

TEST(StringBuilder, PutnZeroStillTerminates) {
  sb_owner b;
  EXPECT_EQ(sb_putn(b.get(), nullptr, 0), 0);
  EXPECT_EQ(b.get()->cap, 256u);
  expect_terminated(*b.get());
}

TEST(StringBuilder, OversizedAppendFailsAndKeepsEverything) {
  sb_owner b;
  sb_puts(b.get(), "keep");
  char* data = b.get()->data;
  EXPECT_EQ(sb_putn(b.get(), "x", UINT64_MAX - 4), -1);
  EXPECT_EQ(b.get()->data, data);
  EXPECT_EQ(b.len(), 4u);
  EXPECT_EQ(b.get()->cap, 256u);
  EXPECT_STREQ(b.str(), "keep");
  // No sticky failure: the next append works.
  EXPECT_EQ(sb_puts(b.get(), "!"), 0);
  EXPECT_STREQ(b.str(), "keep!");
}

TEST(StringBuilder, ResetKeepsBlock) {
  sb_owner b;
  sb_puts(b.get(), "hello");
  sb_reset(b.get());
  EXPECT_EQ(b.len(), 0u);
  EXPECT_EQ(b.get()->cap, 256u);
  EXPECT_STREQ(b.str(), "");
  sb_puts(b.get(), "x");
  EXPECT_STREQ(b.str(), "x");
}

struct printf_row {
  uint64_t before;
  int produced;
  uint64_t cap;
};
constexpr printf_row printf_rows[] = {
    {0, 200, 256}, {0, 254, 256}, {0, 255, 512}, {56, 198, 256}, {56, 199, 512},
};

TEST(StringBuilderPrintf, GrowthTable) {
  for (const printf_row& r : printf_rows) {
    SCOPED_TRACE(std::to_string(r.before) + "+" + std::to_string(r.produced));
    sb_owner b;
    const std::string first(r.before, 'a');
    sb_putn(b.get(), first.data(), first.size());  // allocates the 256-byte block
    ASSERT_EQ(b.get()->cap, 256u);
    ASSERT_EQ(sb_printf(b.get(), "%*d", r.produced, 7), 0);
    EXPECT_EQ(b.get()->cap, r.cap);
    EXPECT_EQ(b.len(), r.before + static_cast<uint64_t>(r.produced));
    EXPECT_EQ(b.str()[b.len() - 1], '7');
    expect_terminated(*b.get());
  }
}

TEST(StringBuilderPrintf, FormatsSixtyFourBitAndHex) {
  sb_owner b;
  sb_printf(b.get(), "%s|%d|%u|%lld|%04x", "a", -3, 7u, -9000000000LL, 0xab);
  EXPECT_STREQ(b.str(), "a|-3|7|-9000000000|00ab");
}

TEST(StringBuilderPrintf, FirstAppendOnFreshBuilder) {
  sb_owner b;
  EXPECT_EQ(sb_printf(b.get(), "%s", ""), 0);
  EXPECT_EQ(b.get()->cap, 256u);
  expect_terminated(*b.get());
}

TEST(StringBuilderPrintf, FailedFormatLeavesText) {
  // A wide character that the "C" locale cannot encode makes the formatter fail.
  sb_owner b;
  sb_puts(b.get(), "before");
  const wchar_t bad[] = {static_cast<wchar_t>(0x20AC), 0};
#if _WIN32
  // The mingw-w64 formatter stops the string at the character it cannot encode and reports
  // success, so nothing is added and the text is left as it was all the same.
  EXPECT_EQ(sb_printf(b.get(), "%ls", bad), 0);
#else
  EXPECT_EQ(sb_printf(b.get(), "%ls", bad), -1);
#endif
  EXPECT_STREQ(b.str(), "before");
  EXPECT_EQ(b.len(), 6u);
  expect_terminated(*b.get());
}
