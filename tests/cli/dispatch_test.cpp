// The dispatcher and the diagnostic commands, run as the real executable: exact standard output,
// exact standard error and the exit status of each case.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "usage_text.h"

namespace {

struct row {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

void expect_rows(const std::vector<row>& rows) {
  for (const row& r : rows) {
    std::string name;
    for (const std::string& a : r.args) name += "[" + a + "]";
    SCOPED_TRACE(name);
    run_result got = run_kobas(r.args);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.out, r.out);
    EXPECT_EQ(got.err, r.err);
  }
}

}  // namespace

TEST(Dispatch, UsageErrorsPrintUsageOnlyAndGiveTwo) {
  expect_rows({
      {{}, 2, "", k_usage},
      {{"SERVE"}, 2, "", k_usage},
      {{"serve-x"}, 2, "", k_usage},
      {{"help"}, 2, "", k_usage},
      {{""}, 2, "", k_usage},
      {{"range", "bytes=0-1"}, 2, "", k_usage},
      {{"range", "bytes=0-1", "10", "x"}, 2, "", k_usage},
      {{"safe"}, 2, "", k_usage},
      {{"safe", "a", "b"}, 2, "", k_usage},
      {{"mime"}, 2, "", k_usage},
      {{"mime", "a.mp4", "b.mp4"}, 2, "", k_usage},
      {{"html"}, 2, "", k_usage},
      {{"json"}, 2, "", k_usage},
      {{"href"}, 2, "", k_usage},
      {{"href", "music"}, 2, "", k_usage},
  });
}

TEST(Dispatch, VersionIgnoresFurtherWords) {
  expect_rows({
      {{"version"}, 0, "1.0.0\n", ""},
      {{"version", "extra", "--bind"}, 0, "1.0.0\n", ""},
      {{"--version"}, 0, "1.0.0\n", ""},
      {{"--version", "extra"}, 0, "1.0.0\n", ""},
  });
}

// Help as people type it goes to standard output with status 0, so "--help | less" shows it;
// after serve, only where an option word stands (a value is never an option word).
TEST(Dispatch, HelpWordsPrintUsageOnStandardOutput) {
  expect_rows({
      {{"--help"}, 0, k_usage, ""},
      {{"-h"}, 0, k_usage, ""},
      {{"serve", "--help"}, 0, k_usage, ""},
      {{"serve", "-h"}, 0, k_usage, ""},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--help"}, 0, k_usage, ""},
      {{"serve", "--name", "--help"}, 2, "", k_usage},
      {{"--HELP"}, 2, "", k_usage},
      {{"-help"}, 2, "", k_usage},
  });
}

TEST(Dispatch, SelftestPrintsItsThreeLines) {
  const std::string lines =
      "version=1.0.0 mime(mp4)=video/mp4\n"
      "range(0-99/1000)=0 a=0 b=99\n"
      "safe(..)=404\n";
  expect_rows({
      {{"selftest"}, 0, lines, ""},
      {{"selftest", "ignored", "words"}, 0, lines, ""},
  });
}

TEST(Diagnostics, RangeRows) {
  expect_rows({
      {{"range", "", "1000"}, 0, "1 a=0 b=0 partial=0\n", ""},
      {{"range", "bytes=0-99", "1000"}, 0, "0 a=0 b=99 partial=0\n", ""},
      {{"range", "bytes=0-99,200-299", "1000"}, 0, "0 a=0 b=99 partial=1\n", ""},
      {{"range", "bytes=-100", "1000"}, 0, "0 a=900 b=999 partial=0\n", ""},
      {{"range", "bytes=990-", "1000"}, 0, "0 a=990 b=999 partial=0\n", ""},
      // A size without digits is size 0, not a usage error.
      {{"range", "bytes=0-99", "lots"}, 0, "416 a=-1 b=0 partial=0\n", ""},
      // Leading blanks and a sign are part of the number; digits stop at the first other byte.
      {{"range", "bytes=0-99", " +1000x"}, 0, "0 a=0 b=99 partial=0\n", ""},
      {{"range", "bytes=1000-", "1000"}, 0, "416 a=-1 b=0 partial=0\n", ""},
      {{"range", "items=0-1", "1000"}, 0, "-1 a=0 b=0 partial=0\n", ""},
  });
}

TEST(Diagnostics, SafeRowsGiveThreeWhenUnsafe) {
  expect_rows({
      {{"safe", ""}, 0, "0 \n", ""},
      {{"safe", "music/a b.mp3"}, 0, "0 \n", ""},
      {{"safe", "a..b"}, 0, "0 \n", ""},
      {{"safe", "a/../b"}, 3, "404 \n", ""},
      {{"safe", ".."}, 3, "404 \n", ""},
      {{"safe", "a\\b"}, 3, "400 \n", ""},
  });
}

TEST(Diagnostics, MimeRows) {
  expect_rows({
      {{"mime", "movie.MKV"}, 0, "video/x-matroska\n", ""},
      {{"mime", "x.mp4"}, 0, "video/mp4\n", ""},
      {{"mime", "README"}, 0, "application/octet-stream\n", ""},
  });
}
