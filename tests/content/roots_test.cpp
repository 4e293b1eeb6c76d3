// Root registry: validation order and messages, duplicates, capacity, removal, the roots list
// and root keys.
#include "content/roots.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "clean_registry.h"
#include "fs_fixture.h"
#include "kobas.h"
#include "util/sb.h"

namespace {

std::string last_error() {
  return kobas_last_error();
}

struct add_row {
  std::string label;
  std::string name;
  std::string path;
  int want;
  std::string message;
};

TEST(RootAdd, NameAndPathValidationInOrder) {
  temp_tree t;
  clean_registry reg;
  const std::string dir = t.dir("media");
  const std::string missing = t.path("missing");
  // A 1,024-byte path that exists: the tree's folder, then "/./" steps, then "/x" padding is not
  // possible, so pad with "/." segments which resolve back to the folder.
  std::string path1024 = dir;
  while (path1024.size() + 2 <= 1024) path1024 += "/.";
  if (path1024.size() < 1024) path1024 += "/";
  ASSERT_EQ(path1024.size(), 1024u);
  const std::string path1025 = path1024 + "/";
  const std::string bad = "root name must be 1..128 URL-safe chars";
  const std::string api = "root name api is taken by the server's /api/ endpoints";
  const add_row rows[] = {
      {"null path", "a", "", -1, "path required"},
      {"1,025-byte path before a bad name", "-bad", path1025, -1, "path too long"},
      {"1,025-byte path", "ok", path1025, -1, "path too long"},
      {"1,024-byte path passes", "p1024", path1024, 0, ""},
      {"129-byte name", std::string(129, 'n'), dir, -1, bad},
      {"128-byte name", std::string(128, 'n'), dir, 0, ""},
      {"empty name", "", dir, -1, bad},
      {"leading dash", "-x", dir, -1, bad},
      {"leading dot", ".x", dir, -1, bad},
      {"tilde", "a~b", dir, -1, bad},
      {"space", "a b", dir, -1, bad},
      {"slash", "a/b", dir, -1, bad},
      {"byte above 0x7F", "caf\xC3\xA9", dir, -1, bad},
      {"bad name before a missing path", "a b", missing + "/x/y", -1, bad},
      {"all allowed kinds", "x-1.2_3", dir, 0, ""},
      {"one digit", "9", dir, 0, ""},
      {"missing path", "gone", missing, -4, missing + " is not a file or folder"},
      // /api/... belongs to the endpoints: a root of that name could never be reached.
      {"api", "api", dir, -1, api},
      {"API", "API", dir, -1, api},
      {"Api", "Api", dir, -1, api},
      {"api with more", "api2", dir, 0, ""},
  };
  for (const add_row& r : rows) {
    SCOPED_TRACE(r.label);
    EXPECT_EQ(kobas_add_root(r.name.c_str(), r.path.c_str()), r.want);
    EXPECT_EQ(kobas_last_code(), r.want);
    EXPECT_EQ(last_error(), r.message);
  }
  EXPECT_EQ(kobas_root_count(), 5);

  EXPECT_EQ(kobas_add_root("n", nullptr), -1);
  EXPECT_EQ(last_error(), "path required");
  EXPECT_EQ(kobas_add_root(nullptr, dir.c_str()), -1);
  EXPECT_EQ(last_error(), bad);
}

#if !_WIN32
// Roots are regular files and folders: anything else is refused, and examined without being
// opened (a FIFO's open would release a writer waiting on it).
TEST(RootAdd, SpecialFilesAreNoRoots) {
  temp_tree t;
  clean_registry reg;
  for (const std::string& path : {t.fifo("pipe"), t.socket("sock"), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(kobas_add_root("x", path.c_str()), -4);
    EXPECT_EQ(last_error(), path + " is not a file or folder");
  }
  EXPECT_EQ(kobas_root_count(), 0);
}
#endif

TEST(RootAdd, DuplicateNamesAreCaseSensitive) {
  temp_tree t;
  clean_registry reg;
  const std::string dir = t.dir("m");
  ASSERT_EQ(kobas_add_root("music", dir.c_str()), 0);
  EXPECT_EQ(last_error(), "");
  EXPECT_EQ(kobas_add_root("music", t.root().c_str()), -1);
  EXPECT_EQ(last_error(), "root name already used: music");
  EXPECT_EQ(kobas_add_root("Music", dir.c_str()), 0);
  EXPECT_EQ(kobas_root_count(), 2);
}

TEST(RootAdd, StoresTheResolvedPathAndKind) {
  temp_tree t;
  clean_registry reg;
  t.file("d/film.mkv", "x");
  const std::string through_dots = t.root() + "/d/../d";
  ASSERT_EQ(kobas_add_root("dots", through_dots.c_str()), 0);
  ASSERT_EQ(kobas_add_root("film", t.path("d/film.mkv").c_str()), 0);
  EXPECT_EQ(std::string(kobas_roots_json()),
            "[{\"name\":\"dots\",\"path\":\"" + json_text(t.path("d")) +
                "\",\"kind\":\"folder\"},{\"name\":\"film\",\"path\":\"" +
                json_text(t.path("d/film.mkv")) + "\",\"kind\":\"file\"}]");
}

TEST(RootAdd, CapacityAndReuseAfterRemoval) {
  temp_tree t;
  clean_registry reg;
  const std::string dir = t.dir("m");
  root_registry* r = roots_get();
  // roots_add directly: kobas_add_root would run a change pass over every root for each add.
  for (int i = 0; i < 4096; ++i) {
    std::string name = std::string(120, 'r') + std::to_string(i);
    ASSERT_EQ(roots_add(r, name.c_str(), dir.c_str()), 0) << i;
  }
  EXPECT_EQ(kobas_root_count(), 4096);
  EXPECT_EQ(roots_add(r, "one-more", dir.c_str()), -6);
  EXPECT_EQ(last_error(), "too many roots");

  // 4,096 records of ~200 bytes cannot all fit: the list stops short but stays whole.
  const std::string json = kobas_roots_json();
  EXPECT_LT(json.size(), 393216u);
  EXPECT_GT(json.size(), 393216u - 400u);
  EXPECT_EQ(json.substr(0, 10), "[{\"name\":\"");
  EXPECT_EQ(json.substr(json.size() - 2), "}]");

  const std::string gone = std::string(120, 'r') + "7";
  ASSERT_EQ(kobas_remove_root(gone.c_str()), 0);
  ASSERT_EQ(roots_add(r, "one-more", dir.c_str()), 0);
  plat_lock_guard hold(&r->lock);
  EXPECT_EQ(r->count, 4096);
  EXPECT_STREQ(r->roots[4095].name, "one-more");
  EXPECT_STREQ(r->roots[7].name, (std::string(120, 'r') + "8").c_str());
}

TEST(RootRemove, KeepsOrderAndReportsMisses) {
  temp_tree t;
  clean_registry reg;
#if _WIN32
  // "/" is the root of the current drive there.
  const std::string slash_root =
      json_text(std::filesystem::current_path().root_name().string() + "\\");
#else
  const std::string slash_root = "/";
#endif
  ASSERT_EQ(kobas_add_root("a", "/"), 0);
  ASSERT_EQ(kobas_add_root("b", "/"), 0);
  ASSERT_EQ(kobas_add_root("c", "/"), 0);
  EXPECT_EQ(kobas_remove_root("b"), 0);
  EXPECT_EQ(std::string(kobas_roots_json()), "[{\"name\":\"a\",\"path\":\"" + slash_root +
                                                 "\",\"kind\":\"folder\"},"
                                                 "{\"name\":\"c\",\"path\":\"" +
                                                 slash_root + "\",\"kind\":\"folder\"}]");
  EXPECT_EQ(kobas_remove_root("b"), -4);
  EXPECT_EQ(last_error(), "no root named b");
  EXPECT_EQ(kobas_remove_root("A"), -4);
  EXPECT_EQ(last_error(), "no root named A");
  EXPECT_EQ(kobas_remove_root(nullptr), -1);
  EXPECT_EQ(last_error(), "name required");
  EXPECT_EQ(kobas_root_count(), 2);
  EXPECT_EQ(last_error(), "");
}

TEST(RootsJson, EmptyRegistry) {
  clean_registry reg;
  EXPECT_STREQ(kobas_roots_json(), "[]");
  EXPECT_EQ(kobas_last_code(), 0);
}

TEST(RootsJson, EscapesBackslashAndQuoteInPaths) {
  temp_tree t;
  clean_registry reg;
#if _WIN32
  // Windows names cannot hold a quote, a backslash or a tab; its separator is the backslash, so
  // every separator of the stored path must come out doubled.
  t.dir("we'ird dir");
  ASSERT_EQ(kobas_add_root("odd", t.path("we'ird dir").c_str()), 0);
  const std::string got = kobas_roots_json();
  EXPECT_EQ(got, "[{\"name\":\"odd\",\"path\":\"" + json_text(t.root()) +
                     "\\\\we'ird dir\",\"kind\":\"folder\"}]");
  // [{"name":"odd","path":" is 23 bytes; the drive letter follows, then its doubled separator.
  EXPECT_EQ(got.find(":\\\\"), 24u);
#else
  t.dir("we\"ird\\dir\tx");
  ASSERT_EQ(kobas_add_root("odd", t.path("we\"ird\\dir\tx").c_str()), 0);
  EXPECT_EQ(std::string(kobas_roots_json()), "[{\"name\":\"odd\",\"path\":\"" + t.root() +
                                                 "/we\\\"ird\\\\dir\\tx\",\"kind\":\"folder\"}]");
#endif
}

// "/" as the registry stores it, written as JSON text. On Windows "/" is the top folder of the
// current drive, "X:\\", which JSON writes with its backslash doubled: 3 bytes more per record.
std::string top_json() {
#if _WIN32
  return std::filesystem::current_path().root_name().string() + "\\\\";
#else
  return "/";
#endif
}

TEST(RootsJson, RecordThatDoesNotFitIsLeftOutWhole) {
  clean_registry reg;
  root_registry* r = roots_get();
  const std::string top = top_json();
  const size_t extra = top.size() - 1;
  const std::string long_name(128, 'n');
  ASSERT_EQ(roots_add(r, long_name.c_str(), "/"), 0);  // a record of 166 bytes (+ extra)
  ASSERT_EQ(roots_add(r, "s", "/"), 0);                // a record of 39 bytes (+ extra)
  const std::string long_only =
      "[{\"name\":\"" + long_name + "\",\"path\":\"" + top + "\",\"kind\":\"folder\"}]";
  const std::string short_only = "[{\"name\":\"s\",\"path\":\"" + top + "\",\"kind\":\"folder\"}]";
  struct row {
    size_t max;
    std::string want;
  };
  const row rows[] = {
      {2, ""},  // not even "[]" and its terminator
      {3, "[]"},
      {169 + extra, long_only},   // 168 bytes and the terminator; no room left to start another
      {168 + extra, short_only},  // the long record is left out whole, the short one still fits
  };
  for (const row& w : rows) {
    SCOPED_TRACE(w.max);
    sb_owner out;
    roots_json(r, out.get(), w.max);
    EXPECT_EQ(std::string(out.str()), w.want);
    EXPECT_LT(out.len(), w.max);
  }
  sb_owner all;
  roots_json(r, all.get(), 393216);
  EXPECT_EQ(std::string(all.str()), "[{\"name\":\"" + long_name + "\",\"path\":\"" + top +
                                        "\",\"kind\":\"folder\"},"
                                        "{\"name\":\"s\",\"path\":\"" +
                                        top + "\",\"kind\":\"folder\"}]");
}

TEST(RootsJson, RecordStartsOnlyWithNinetySevenBytesLeft) {
  clean_registry reg;
  root_registry* r = roots_get();
  const std::string top = top_json();
  for (const char* n : {"a", "b", "c", "d"}) ASSERT_EQ(roots_add(r, n, "/"), 0);
  // With 200 bytes a record may start while at most 103 are used: "[" + 39 + 40 = 80 bytes
  // start a third, "[" + 39 + 40 + 40 = 120 do not, although a fourth record would still fit.
  // Windows' 3 bytes more per record (86 and 129) leave the same cut.
  sb_owner out;
  roots_json(r, out.get(), 200);
  EXPECT_EQ(std::string(out.str()), "[{\"name\":\"a\",\"path\":\"" + top +
                                        "\",\"kind\":\"folder\"},"
                                        "{\"name\":\"b\",\"path\":\"" +
                                        top +
                                        "\",\"kind\":\"folder\"},"
                                        "{\"name\":\"c\",\"path\":\"" +
                                        top + "\",\"kind\":\"folder\"}]");
}

TEST(RootKey, Examples) {
  struct row {
    const char* path;
    size_t size;
    std::string_view want;
  };
  const row rows[] = {
      {"/a/b/movie.mkv", 260, "movie.mkv"},
      {"C:\\media\\film.mkv", 260, "film.mkv"},
      {"/srv/clip/", 260, "clip/"},
      {"/srv/clip//", 260, "clip//"},
      {"film.mkv", 260, "film.mkv"},
      {"///", 260, "///"},
      {"/", 260, "/"},
      {"", 260, "root"},
      {nullptr, 260, "root"},
      {"/a/movie.mkv", 5, "movi"},
      {"/a/movie.mkv", 1, ""},
      {"/a/d\xC3\xA9j\xC3\xA0.mkv", 3, "d"},  // never half of the "é"
      {"/a/d\xC3\xA9j\xC3\xA0.mkv", 4, "d\xC3\xA9"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path != nullptr ? r.path : "(null)");
    char out[260];
    std::memset(out, 'Z', sizeof out);
    root_key_of(r.path, out, r.size);
    EXPECT_EQ(std::string(out), r.want);
  }
}

}  // namespace
