// HTML escaping, percent-encoding of a segment and percent-decoding, as byte tables.
#include "util/escape.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "util/sb.h"

namespace {

std::string html(const char* s) {
  sb_owner b;
  sb_html(b.get(), s);
  return std::string(b.str(), b.len());
}

std::string encoded(const char* s) {
  sb_owner b;
  EXPECT_EQ(sb_url_encode(b.get(), s), 0);
  return std::string(b.str(), b.len());
}

}  // namespace

struct text_row {
  const char* in;
  const char* out;
};

const text_row html_rows[] = {
    {"Tom & \"Jerry\" <b>", "Tom &amp; &quot;Jerry&quot; &lt;b&gt;"},
    {"it's", "it&#x27;s"},
    {"a\tb", "a&#x09;b"},
    {"\x01\x1f", "&#x01;&#x1F;"},
    {"\x7f", "\x7f"},
    {"caf\xC3\xA9", "caf\xC3\xA9"},
    {"\xF0\x9F\x8E\xAC", "\xF0\x9F\x8E\xAC"},  // U+1F3AC, four bytes
    // Bytes that begin no well-formed sequence show as U+FFFD, one each: Latin-1, a lone
    // continuation byte, a cut sequence, an overlong '/', a surrogate, past U+10FFFF.
    {"caf\xE9", "caf\xEF\xBF\xBD"},
    {"\x80"
     "a",
     "\xEF\xBF\xBD"
     "a"},
    {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xF4\x90\x80\x80<", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD&lt;"},
    {" !#$%/=?@[]`{}~", " !#$%/=?@[]`{}~"},
    {"", ""},
};

TEST(HtmlEscape, Table) {
  for (const text_row& r : html_rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(html(r.in), r.out);
  }
  EXPECT_EQ(html(nullptr), "");
}

const text_row encode_rows[] = {
    {"a b/c~", "a%20b%2Fc~"},     {"-._~", "-._~"},
    {"AZaz09", "AZaz09"},         {"%+?#&=", "%25%2B%3F%23%26%3D"},
    {"caf\xC3\xA9", "caf%C3%A9"}, {"\x01\x7f\xff", "%01%7F%FF"},
    {"\"\\", "%22%5C"},           {"", ""},
};

TEST(UrlEncode, Table) {
  for (const text_row& r : encode_rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(encoded(r.in), r.out);
  }
  EXPECT_EQ(encoded(nullptr), "");
}

TEST(UrlEncode, AppendsBehindExistingText) {
  sb_owner b;
  sb_puts(b.get(), "/root/");
  sb_url_encode(b.get(), "a b");
  EXPECT_STREQ(b.str(), "/root/a%20b");
}

struct decode_row {
  const char* in;
  int plus_as_space;
  int want;
  std::string_view out;  // includes embedded zero bytes
};

const decode_row decode_rows[] = {
    {"a%2Fb", 0, 0, "a/b"}, {"%41%42", 0, 0, "AB"},
    {"%e9", 0, 0, "\xE9"},  {"%E9", 0, 0, "\xE9"},
    {"%zz", 0, -1, ""},     {"%4g", 0, -1, ""},
    {"%g4", 0, -1, ""},     {"%", 0, 0, "%"},
    {"%4", 0, 0, "%4"},     {"ab%", 0, 0, "ab%"},
    {"a+b", 1, 0, "a b"},   {"a+b", 0, 0, "a+b"},
    {"%2B", 1, 0, "+"},     {"%2B", 0, 0, "+"},
    {"%2541", 0, 0, "%41"}, {"a%00b", 0, 0, std::string_view("a\0b", 3)},
    {"", 0, 0, ""},         {"plain", 1, 0, "plain"},
};

TEST(UrlDecode, Table) {
  for (const decode_row& r : decode_rows) {
    SCOPED_TRACE(std::string(r.in) + " plus=" + std::to_string(r.plus_as_space));
    char dst[64];
    uint64_t out_len = 99;
    EXPECT_EQ(url_decode(r.in, dst, sizeof dst, r.plus_as_space, &out_len), r.want);
    if (r.want == 0) {
      EXPECT_EQ(out_len, r.out.size());
      EXPECT_EQ(std::string_view(dst, out_len), r.out);
      EXPECT_EQ(dst[out_len], '\0');
    } else {
      EXPECT_EQ(out_len, 0u);
    }
  }
}

TEST(UrlDecode, EmbeddedZeroShowsAsShorterString) {
  char dst[16];
  uint64_t out_len = 0;
  ASSERT_EQ(url_decode("a%00b", dst, sizeof dst, 0, &out_len), 0);
  EXPECT_EQ(out_len, 3u);
  EXPECT_STREQ(dst, "a");
}

TEST(UrlDecode, SizeLimit) {
  char dst[8];
  uint64_t out_len = 7;
  EXPECT_EQ(url_decode("abc", dst, 4, 0, &out_len), 0);
  EXPECT_STREQ(dst, "abc");
  EXPECT_EQ(out_len, 3u);
  EXPECT_EQ(url_decode("abcd", dst, 4, 0, &out_len), -1);
  EXPECT_EQ(out_len, 0u);
  // An escape counts as one output byte.
  EXPECT_EQ(url_decode("%41%42%43", dst, 4, 0, nullptr), 0);
  EXPECT_STREQ(dst, "ABC");
  EXPECT_EQ(url_decode("%41%42%43%44", dst, 4, 0, nullptr), -1);
}

TEST(UrlDecode, EmptySourceIgnoresSize) {
  char dst[4] = {'x', 'x', 'x', 'x'};
  uint64_t out_len = 5;
  EXPECT_EQ(url_decode("", dst, 0, 0, &out_len), 0);
  EXPECT_EQ(dst[0], '\0');
  EXPECT_EQ(out_len, 0u);
}

TEST(UrlDecode, NullSourceWritesNothing) {
  char dst[4] = {'x', 'x', 'x', 'x'};
  uint64_t out_len = 5;
  EXPECT_EQ(url_decode(nullptr, dst, sizeof dst, 0, &out_len), -1);
  EXPECT_EQ(dst[0], 'x');
}
