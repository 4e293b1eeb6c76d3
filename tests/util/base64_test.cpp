// Base64 decoding of Basic credentials: one table of accepted and refused texts, and hostile
// input of every length against an output bounded to the byte.
#include "util/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct base64_row {
  const char* in;
  int64_t want;     // decoded length, or -1 refused
  const char* out;  // the decoded bytes when accepted
};

TEST(Base64, DecodesCanonicalTextAndRefusesEverythingElse) {
  const base64_row rows[] = {
      {"", 0, ""},
      {"YQ==", 1, "a"},
      {"YQ", 1, "a"},
      {"YWI=", 2, "ab"},
      {"YWI", 2, "ab"},
      {"YWJj", 3, "abc"},
      {"dXNlcjpzM2NyZXQ=", 11, "user:s3cret"},
      {"Ojo6", 3, ":::"},
      {"+/+/", 3, "\xFB\xFF\xBF"},
      {"AAAA", 3, "\0\0\0"},
      {"Y", -1, ""},         // one character over
      {"YWJjZ", -1, ""},     // five: one over again
      {"YQ=", -1, ""},       // padding short of a group
      {"YQ===", -1, ""},     // and too much
      {"Y===", -1, ""},      // a group of one is never complete
      {"====", -1, ""},      // padding alone
      {"YQ==YQ==", -1, ""},  // padding inside
      {"Y=Q=", -1, ""},
      {"YR==", -1, ""},  // left-over bits set: another spelling of "a"
      {"YWJ=", -1, ""},
      {"YW Jj", -1, ""},
      {"YWJj\n", -1, ""},
      {"YW-j", -1, ""},  // the URL alphabet is not this one
      {"YW_j", -1, ""},
      {"YW\xC3\xA9j", -1, ""},
  };
  for (const base64_row& r : rows) {
    SCOPED_TRACE(r.in);
    unsigned char out[16] = {};
    const int64_t got = base64_decode(r.in, out, sizeof out);
    EXPECT_EQ(got, r.want);
    if (r.want > 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(got)),
                std::string(r.out, static_cast<size_t>(r.want)));
    }
  }
  // The output's bound is exact: three bytes fit three, not two.
  unsigned char three[3];
  EXPECT_EQ(base64_decode("YWJj", three, 3), 3);
  EXPECT_EQ(base64_decode("YWJj", three, 2), -1);
  EXPECT_EQ(base64_decode("YWI", three, 1), -1);
}

// Random texts over the alphabet, padding and a few strangers, each decoded into a buffer of
// exactly the size the decoder asks for; the sanitizer builds catch any byte written past it.
TEST(Base64, HostileTextStaysInsideItsBuffers) {
  const std::string pool = "ABCXYZabcxyz0189+/=\n :-_\x80\xFF";
  std::mt19937 rng(20261208);
  for (int round = 0; round < 20000; ++round) {
    std::string text(rng() % 24, ' ');
    for (char& c : text) c = pool[rng() % pool.size()];
    const size_t room = rng() % 20;
    std::vector<unsigned char> out(room);
    const int64_t got = base64_decode(text, out.data(), out.size());
    ASSERT_GE(got, -1) << text;
    ASSERT_LE(got, static_cast<int64_t>(room)) << text;
  }
}
