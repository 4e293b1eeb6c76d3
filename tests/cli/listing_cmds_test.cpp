// The html, json and href commands run as the real executable: the NAME=PATH rules of the command
// line, the registry's refusals, failed listings and the exact texts of good ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "fs_fixture.h"
#include "long_root_path.h"
#include "usage_text.h"

namespace {

// A folder with one sub-folder and one file, both with fixed times, so whole listings can be
// written out literally.
struct media_tree {
  temp_tree t;
  media_tree() {
    t.file("a b/inner.txt", "x");
    t.file("x.mp4", std::string(1024, 'v'));
    t.set_mtime("a b", 1700000000);
    t.set_mtime("x.mp4", 1700000001);
  }
  std::string word(const std::string& name) const { return name + "=" + t.root(); }
};

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(ListingWords, MalformedWordsPrintUsageAndGiveOne) {
  media_tree m;
  const std::vector<std::vector<std::string>> cases = {
      {"html", "music"},
      {"json", "music"},
      {"html", "=" + m.t.root()},
      {"json", "=" + m.t.root()},
      {"html", std::string(160, 'n') + "=" + m.t.root()},
      {"json", std::string(160, 'n') + "=" + m.t.root(), "", "0", "1"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + args[1].substr(0, 20));
    run_result r = run_kobas(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, k_usage);
  }
}

TEST(ListingWords, RegistryRefusalsAreReportedInItsWords) {
  media_tree m;
  struct row {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<row> rows = {
      // 129 to 159 bytes pass the command line; the registry refuses them.
      {{"html", m.word(std::string(129, 'n'))}, "root: root name must be 1..128 URL-safe chars\n"},
      {{"json", m.word(std::string(159, 'n'))}, "root: root name must be 1..128 URL-safe chars\n"},
      {{"html", m.word("a b")}, "root: root name must be 1..128 URL-safe chars\n"},
      {{"html", "music=" + m.t.path("missing")},
       "root: " + m.t.path("missing") + " is not a file or folder\n"},
      // Whole, never cut to a parent folder: the registry's limit and message apply.
      {{"html", "music=" + over_long_path_into(m.t.root())}, "root: path too long\n"},
      {{"json", "music=" + over_long_path_into(m.t.root())}, "root: path too long\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.err);
    run_result got = run_kobas(r.args);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, r.err);
  }
}

TEST(ListingWords, FailedListingsPrintAnEmptyLineAndGiveOne) {
  media_tree m;
  const std::string file_root = "clip=" + m.t.path("x.mp4");
  const std::vector<std::vector<std::string>> cases = {
      {"html", file_root},
      {"json", file_root},
      {"html", m.word("music"), "nothing-here"},
      {"json", m.word("music"), "x.mp4"},
      {"html", m.word("music"), "../"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + args.back());
    run_result r = run_kobas(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(HtmlCommand, PrintsTheIndexPageOfTheFolder) {
  media_tree m;
  run_result r = run_kobas({"html", m.word("music")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("<!DOCTYPE html>\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("<title>Index of /music</title>"), std::string::npos);
  EXPECT_NE(r.out.find("<a href=\"./a%20b/\">a b/</a>"), std::string::npos);
  EXPECT_NE(r.out.find("<td class=\"length\">1,024</td>"), std::string::npos);
  // The page ends in its own line feed, and the command adds one.
  EXPECT_EQ(r.out.substr(r.out.size() - 9), "</html>\n\n");
}

TEST(HtmlCommand, ListsASubFolderGivenAsRelpath) {
  media_tree m;
  run_result r = run_kobas({"html", m.word("music"), "a b", "ignored"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("<title>Index of /music/a b</title>"), std::string::npos);
  EXPECT_NE(r.out.find("<a href=\"./inner.txt\">inner.txt</a>"), std::string::npos);
  EXPECT_EQ(r.out.find("x.mp4"), std::string::npos);
}

TEST(JsonCommand, PrintsTheWholePage) {
  media_tree m;
  run_result r = run_kobas({"json", m.word("music")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "{\"items\":[{\"name\":\"a b\",\"kind\":\"dir\",\"mtime_unix\":1700000000,\"href\":"
            "\"a%20b/\"},{\"name\":\"x.mp4\",\"kind\":\"file\",\"size\":1024,\"mtime_unix\":"
            "1700000001,\"href\":\"x.mp4\"}],\"next\":null}\n");
}

// Windows hands main its words in the ANSI code page; a root path with letters of other
// scripts must still reach the library as the UTF-8 it names.
TEST(JsonCommand, RootPathWithLettersOfSeveralScripts) {
  temp_tree t;
  t.file("Видео ü 映画/clip.mp4", "v");
  run_result r = run_kobas({"json", "m=" + t.path("Видео ü 映画")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\"name\":\"clip.mp4\""), std::string::npos) << r.out;
  r = run_kobas({"json", "m=" + t.root(), "Видео ü 映画"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"name\":\"clip.mp4\""), std::string::npos) << r.out;
}

TEST(JsonCommand, OffsetAndLimitCountOnlyTogether) {
  temp_tree t;
  for (int i = 0; i < 35; ++i) t.file((i < 10 ? "f0" : "f") + std::to_string(i));
  const std::string word = "music=" + t.root();
  struct row {
    std::vector<std::string> args;
    size_t items;
    std::string first;
    std::string next;
  };
  const std::vector<row> rows = {
      {{"json", word, "", "20", "10"}, 10, "f20", "\"next\":\"30\"}"},
      {{"json", word, "", "30", "10"}, 5, "f30", "\"next\":null}"},
      // A lone OFFSET is ignored: offset 0, limit 500.
      {{"json", word, "", "20"}, 35, "f00", "\"next\":null}"},
      // Words without digits read as 0 and 0; the listing's default limit applies.
      {{"json", word, "", "x", "y"}, 35, "f00", "\"next\":null}"},
      {{"json", word, "", "-4", "1"}, 1, "f00", "\"next\":\"1\"}"},
      // Numbers beyond an int keep their size instead of wrapping (to 1 and to 20 here).
      {{"json", word, "", "0", "4294967297"}, 35, "f00", "\"next\":null}"},
      {{"json", word, "", "4294967316", "10"}, 0, "", "{\"items\":[],\"next\":null}"},
      {{"json", word, "", "-99999999999999999999", "1"}, 1, "f00", "\"next\":\"1\"}"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.size() > 4 ? r.args[3] + " " + r.args[4] : "");
    run_result got = run_kobas(r.args);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(count_of(got.out, "\"name\":"), r.items);
    if (r.items > 0) {
      EXPECT_NE(got.out.find("{\"items\":[{\"name\":\"" + r.first + "\""), std::string::npos)
          << got.out;
    }
    EXPECT_EQ(got.out.substr(got.out.size() - r.next.size() - 1), r.next + "\n");
  }
}

TEST(HrefCommand, BuildsLinksWithoutAnyRoot) {
  struct row {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<row> rows = {
      {{"href", "music", "a b/c", "1"}, "/music/a%20b/c/\n"},
      {{"href", "music", ""}, "/music\n"},
      {{"href", "music", "", "1"}, "/music/\n"},
      {{"href", "music", "Live & Loud/01 intro.mp3", "0", "more"},
       "/music/Live%20%26%20Loud/01%20intro.mp3\n"},
      {{"href", "music", "albums", "yes"}, "/music/albums\n"},
      {{"href", "music", "a//b"}, "/music/a//b\n"},
      {{"href", "music", "albums", "4294967296"}, "/music/albums/\n"},  // not wrapped to 0
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.out);
    run_result got = run_kobas(r.args);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, r.out);
    EXPECT_EQ(got.err, "");
  }
}

TEST(HrefCommand, TooLongLinkIsAnEmptyLineWithStatusZero) {
  // 700 spaces encode to 2,100 bytes, past the 2,047-byte link limit.
  run_result r = run_kobas({"href", "music", std::string(700, ' ')});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\n");
}
