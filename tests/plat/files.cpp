// Metadata, folder enumeration and positioned reads of the platform layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "fs_fixture.h"
#include "plat/plat.h"

namespace {

struct stat_row {
  const char* rel;
  int want_rc;
  int32_t is_dir, is_file, is_link;
  int64_t size;
};

TEST(PlatStat, KindsAndLinks) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  temp_tree t;
  t.file("f.txt", "hello");
  t.dir("d");
  t.symlink("to_file", t.path("f.txt"));
  t.symlink("to_dir", "d");
  t.symlink("dangling", t.path("nowhere"));
  const stat_row rows[] = {
      {"f.txt", 0, 0, 1, 0, 5},        {"d", 0, 1, 0, 0, 0},        {"to_file", 0, 0, 1, 1, 5},
      {"to_dir", 0, 1, 0, 1, 0},       {"missing", -1, 0, 0, 0, 0}, {"dangling", -1, 0, 0, 0, 0},
      {"f.txt/below", -1, 0, 0, 0, 0},
  };
  for (const stat_row& r : rows) {
    SCOPED_TRACE(r.rel);
    plat_stat_rec st;
    st.is_dir = st.is_file = st.is_link = 7;
    st.size = st.mtime = 7;
    EXPECT_EQ(plat_stat(t.path(r.rel).c_str(), &st, 1), r.want_rc);
    EXPECT_EQ(st.is_dir, r.is_dir);
    EXPECT_EQ(st.is_file, r.is_file);
    EXPECT_EQ(st.is_link, r.is_link);
    EXPECT_EQ(st.size, r.size);
    if (r.want_rc != 0) {
      EXPECT_EQ(st.mtime, 0);
    }
  }
}

TEST(PlatStat, SizeBeyond4GiB) {
  temp_tree t;
  t.sparse("big", 5368709121);  // 5 GiB + 1: no 32-bit half may be lost
  plat_stat_rec st;
  ASSERT_EQ(plat_stat(t.path("big").c_str(), &st, 1), 0);
  EXPECT_EQ(st.size, 5368709121);
}

TEST(PlatStat, ModificationTimeInWholeSeconds) {
  struct row {
    int64_t ms;
    int64_t want_s;
  };
  // Whole seconds are kept, fractions dropped; before 1970 the second is the one that began it.
  constexpr row rows[] = {{0, 0}, {1900, 1}, {-86400000, -86400}, {1700000000000, 1700000000}};
  temp_tree t;
  std::string p = t.file("f");
  for (const row& r : rows) {
    SCOPED_TRACE(r.ms);
    auto when = std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(r.ms));
    std::filesystem::last_write_time(p, std::chrono::file_clock::from_sys(when));
    plat_stat_rec st;
    ASSERT_EQ(plat_stat(p.c_str(), &st, 1), 0);
    EXPECT_EQ(st.mtime, r.want_s);
  }
}

TEST(PlatStat, LinkReportsTargetTime) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  temp_tree t;
  t.file("f");
  t.set_mtime("f", 1000);
  t.symlink("l", t.path("f"));
  t.set_mtime("l", 2000);  // the link's own time, which must not show
  plat_stat_rec st;
  ASSERT_EQ(plat_stat(t.path("l").c_str(), &st, 1), 0);
  EXPECT_EQ(st.mtime, 1000);
}

std::vector<std::string> list(const char* path) {
  std::vector<std::string> names;
  plat_dir* d = plat_opendir(path);
  if (d == nullptr) return {"<null>"};
  while (const char* n = plat_readdir(d)) names.emplace_back(n);
  plat_closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PlatDir, SeparatorsAndCurrentFolder) {
#if _WIN32
  // Windows strips trailing dots from a name, so "..." cannot be made; "...x" can.
  const std::string dots = "...x";
#else
  const std::string dots = "...";
#endif
  temp_tree t;
  t.file("a");
  t.file(".hidden");
  t.file(dots);
  t.dir("sub");
  t.file("marked");
  t.hidden("marked", true);  // Windows' own way to hide a name: never enumerated
  std::vector<std::string> want;
  for (const std::string& n :
       {dots, std::string(".hidden"), std::string("a"), std::string("sub")}) {
    if (!t.hidden(n)) want.push_back(n);
  }
  if (k_sep == '/') want.push_back("marked");
  std::sort(want.begin(), want.end());
  for (const char* suffix : {"", "/", k_sep == '\\' ? "\\" : ""}) {
    SCOPED_TRACE(suffix);
    EXPECT_EQ(list((t.root() + suffix).c_str()), want);
  }
  // Only Windows separates names with a backslash; elsewhere "root\\" names another folder.
  if (k_sep == '/') {
    EXPECT_EQ(list((t.root() + "\\").c_str()), std::vector<std::string>{"<null>"});
  }
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(t.path("sub"));
  std::vector<std::string> here = list("");
  t.file("sub/x");
  std::vector<std::string> here_after = list("");
  std::filesystem::current_path(before);
  EXPECT_EQ(here, std::vector<std::string>{});
  EXPECT_EQ(here_after, std::vector<std::string>{"x"});
}

TEST(PlatDir, RefusesWhatIsNoFolder) {
  temp_tree t;
  t.file("f");
  EXPECT_EQ(plat_opendir(t.path("missing").c_str()), nullptr);
  EXPECT_EQ(plat_opendir(t.path("f").c_str()), nullptr);
  plat_closedir(nullptr);
}

#if _WIN32
// Windows has no FIFOs in its file system; what opens without being a file there are the devices
// behind reserved names, in any folder and with any extension.
TEST(PlatOpen, RefusesAnythingButRegularFiles) {
  temp_tree t;
  t.file("f", "x");
  t.dir("d");
  struct row {
    std::string path;
    bool opens;
  };
  const row rows[] = {
      {t.path("f"), true},    {t.path("d"), false},       {t.path("missing"), false},
      {t.path("nul"), false}, {t.path("NUL.txt"), false}, {t.path("con"), false},
      {"NUL", false},         {"\\\\.\\NUL", false}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    plat_file* f = plat_fopen_read(r.path.c_str());
    EXPECT_EQ(f != nullptr, r.opens);
    plat_fclose(f);
  }
  plat_fclose(nullptr);
}
#else
TEST(PlatOpen, RefusesAnythingButRegularFiles) {
  temp_tree t;
  t.file("f", "x");
  t.dir("d");
  t.fifo("pipe");  // no writer: a blocking open would hang here
  t.symlink("to_pipe", t.path("pipe"));
  t.symlink("to_file", t.path("f"));
  struct row {
    const char* rel;
    bool opens;
  };
  constexpr row rows[] = {{"f", true},     {"to_file", true},  {"d", false},
                          {"pipe", false}, {"to_pipe", false}, {"missing", false}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.rel);
    plat_file* f = plat_fopen_read(t.path(r.rel).c_str());
    EXPECT_EQ(f != nullptr, r.opens);
    plat_fclose(f);
  }
  plat_fclose(nullptr);
  EXPECT_EQ(plat_fopen_read("/dev/null"), nullptr);
}
#endif

TEST(PlatRead, PositionedReadsAroundTheEnd) {
  temp_tree t;
  std::string p = t.file("f", "0123456789");
  plat_file* f = plat_fopen_read(p.c_str());
  ASSERT_NE(f, nullptr);
  struct row {
    uint64_t offset;
    uint32_t n;
    int64_t want;
    const char* bytes;
  };
  constexpr row rows[] = {
      {0, 4, 4, "0123"}, {8, 4, 2, "89"}, {9, 1, 1, "9"},         {3, 0, 0, ""},
      {10, 4, 0, ""},    {11, 4, 0, ""},  {1ull << 63, 4, 0, ""}, {~0ull, 4, 0, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.offset);
    char buf[16] = {};
    EXPECT_EQ(plat_fread_at(f, r.offset, buf, r.n), r.want);
    EXPECT_EQ(std::string(buf), r.bytes);
  }
  plat_fclose(f);
}

TEST(PlatRead, ReadsPastA4GiBOffset) {
  temp_tree t;
  std::string p = t.sparse("big", 4294967306);  // 4 GiB + 10
  plat_file* f = plat_fopen_read(p.c_str());
  ASSERT_NE(f, nullptr);
  char buf[16] = {'x'};
  EXPECT_EQ(plat_fread_at(f, 4294967300, buf, 16), 6);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(plat_fread_at(f, 4294967306, buf, 16), 0);
  plat_fclose(f);
}

}  // namespace
