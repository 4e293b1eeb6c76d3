// The small exports: media type, path safety, link paths and the last-error readers.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kobas.h"

namespace {

// Leaves a failure in the calling thread's last error, so a test can see an export clear it.
void leave_error() {
  ASSERT_EQ(kobas_config("no_such_key", "1"), -1);
}

void expect_clear() {
  EXPECT_EQ(kobas_last_code(), 0);
  EXPECT_STREQ(kobas_last_error(), "");
}

}  // namespace

TEST(ExportedErrors, FreshThreadReadsSuccess) {
  int code = 9;
  std::string text = "x";
  std::thread t([&] {
    code = kobas_last_code();
    text = kobas_last_error();
  });
  t.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(text, "");
}

TEST(ExportedErrors, FailureThenSuccess) {
  leave_error();
  EXPECT_EQ(kobas_last_code(), -1);
  EXPECT_STREQ(kobas_last_error(), "unknown key");
  // Reading does not clear.
  EXPECT_EQ(kobas_last_code(), -1);
  EXPECT_EQ(kobas_safe_rel("a"), 0);
  expect_clear();
}

TEST(ExportedErrors, PerThread) {
  leave_error();
  std::string other;
  int other_code = 9;
  std::thread t([&] {
    kobas_config("", "x");
    other_code = kobas_last_code();
    other = kobas_last_error();
  });
  t.join();
  EXPECT_EQ(other_code, -1);
  EXPECT_EQ(other, "key required");
  EXPECT_STREQ(kobas_last_error(), "unknown key");
}

TEST(MimeFor, TypesAndClearsError) {
  leave_error();
  EXPECT_STREQ(kobas_mime_for("Movie.MKV"), "video/x-matroska");
  expect_clear();
  EXPECT_STREQ(kobas_mime_for(nullptr), "application/octet-stream");
  EXPECT_STREQ(kobas_mime_for("a.tar.gz"), "application/octet-stream");
}

TEST(MimeFor, SharesBufferWithHrefFor) {
  const char* mime = kobas_mime_for("a.mp4");
  const char* href = kobas_href_for("r", "x", 0);
  EXPECT_EQ(mime, href);
  EXPECT_STREQ(mime, "/r/x");
}

TEST(SafeRel, VerdictWithoutMessage) {
  leave_error();
  EXPECT_EQ(kobas_safe_rel(".."), 404);
  expect_clear();
  EXPECT_EQ(kobas_safe_rel(nullptr), 400);
  expect_clear();
  EXPECT_EQ(kobas_safe_rel("a/b.mkv"), 0);
}

struct href_row {
  const char* root;
  const char* rel;
  int is_dir;
  const char* want;
};

const href_row href_rows[] = {
    {"music", "Live & Loud/01 intro.mp3", 0, "/music/Live%20%26%20Loud/01%20intro.mp3"},
    {"music", "albums", 1, "/music/albums/"},
    {"music", "", 1, "/music/"},
    {"music", nullptr, 0, "/music"},
    {"ROOT", "a//b", 0, "/ROOT/a//b"},
    {"ROOT", "a/", 0, "/ROOT/a/"},
    {"ROOT", "a/", 1, "/ROOT/a/"},
    {"ROOT", "/a", 0, "/ROOT//a"},
    {"ROOT", "/", 0, "/ROOT//"},
    {"my root", "x?y#z%", 0, "/my%20root/x%3Fy%23z%25"},
    {"r", "caf\xC3\xA9", 0, "/r/caf%C3%A9"},
    {nullptr, nullptr, 0, "/"},
    {nullptr, nullptr, 1, "/"},
    {"", "a", 1, "//a/"},
};

TEST(HrefFor, Table) {
  for (const href_row& r : href_rows) {
    SCOPED_TRACE(std::string(r.root ? r.root : "(null)") + " " + (r.rel ? r.rel : "(null)"));
    leave_error();
    EXPECT_STREQ(kobas_href_for(r.root, r.rel, r.is_dir), r.want);
    expect_clear();
  }
}

TEST(HrefFor, SegmentOver1099BytesIsRefusedNotCut) {
  const std::string seg(1099, 'x');
  const std::string over(1100, 'x');
  // Counted before encoding: 400 '%' and 699 bytes fit, though they encode to 1,899.
  const std::string pct = std::string(400, '%') + std::string(699, 'x');
  std::string pct_encoded;
  for (int i = 0; i < 400; ++i) pct_encoded += "%25";
  pct_encoded += std::string(699, 'x');
  struct row {
    std::string rel;
    std::string want;
  };
  const row rows[] = {
      {seg, "/r/" + seg},
      {"a/" + seg + "/b", "/r/a/" + seg + "/b"},
      {pct, "/r/" + pct_encoded},
      {over, ""},
      {std::string(1503, 'x'), ""},
      {"a/" + over + "/b", ""},
      {pct + "%", ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.rel.size());
    leave_error();
    EXPECT_EQ(std::string(kobas_href_for("r", r.rel.c_str(), 0)), r.want);
    expect_clear();
  }
}

TEST(HrefFor, TooLongGivesEmptyWithoutError) {
  // "/r/" and 2,044 bytes is 2,047 bytes: the longest that fits.
  const std::string fits = std::string(1000, 'a') + "/" + std::string(1043, 'b');
  const std::string got = kobas_href_for("r", fits.c_str(), 0);
  EXPECT_EQ(got.size(), 2047u);
  const std::string over = fits + "c";
  leave_error();
  EXPECT_STREQ(kobas_href_for("r", over.c_str(), 0), "");
  expect_clear();
  // The folder slash counts too.
  EXPECT_STREQ(kobas_href_for("r", fits.c_str(), 1), "");
  // A failed call leaves the previous result in the buffer untouched.
  const char* ok = kobas_href_for("r", "x", 0);
  kobas_href_for("r", over.c_str(), 0);
  EXPECT_STREQ(ok, "/r/x");
}
