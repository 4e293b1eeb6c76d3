// Path resolution and the containment test that decides, on resolved text, what lies in a root.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "fs_fixture.h"
#include "plat/plat.h"

namespace {

// plat_realpath's result as a string; "<null>" for a failure.
std::string resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> p(plat_realpath(path.c_str()), &std::free);
  return p ? std::string(p.get()) : "<null>";
}

struct under_row {
  const char* path;
  const char* root;
  int want;
};

TEST(PlatPathUnder, Table) {
  constexpr under_row rows[] = {
    {"/srv/media", "/srv/media", 1},
    {"/srv/media/a.mp4", "/srv/media", 1},
    {"/srv/x", "/srv/", 1},
    {"/", "/", 1},
    {"/anything", "/", 1},
    // Another folder where folders are case-sensitive, as they can be on Windows too: both
    // paths come from the system, which spells one folder one way.
    {"/srv/Media/a.mp4", "/srv/media", 0},
    {"/srv/MEDIA", "/srv/media", 0},
    {"/srv/media2/a", "/srv/media", 0},
    {"/srv/medi", "/srv/media", 0},
    {"/srv\\media\\a", "/srv/media", 0},
#if _WIN32
    {"/srv/media\\a", "/srv/media", 1},
    {"/srv/a\\b", "/srv/a\\", 1},
#else
    // A backslash is a name byte on POSIX: these name siblings of the root, not its content.
    {"/srv/media\\a", "/srv/media", 0},
    {"/srv/a\\b", "/srv/a\\", 0},
#endif
    {"/srv", "/srv/", 0},
    {"/srv/media", "", 0},
    {"", "", 0},
  };
  for (const under_row& r : rows) {
    SCOPED_TRACE(std::string(r.path) + " under " + r.root);
    EXPECT_EQ(plat_path_under(r.path, r.root), r.want);
  }
}

TEST(PlatRealpath, FoldsTextOfMissingPaths) {
  struct row {
    const char* in;
    std::string want;
  };
#if _WIN32
  // A rooted path lands on the current drive, "//" opens a network name, and Windows drops the
  // trailing dots of a name.
  const std::string d = std::filesystem::current_path().root_name().string();
  const row rows[] = {
      {"/", d + "\\"},
      {"//", "\\\\"},
      {"/..", d + "\\"},
      {"/kobas-none/a/../b", d + "\\kobas-none\\b"},
      {"/kobas-none/./a//b/", d + "\\kobas-none\\a\\b"},
      {"/kobas-none/a\\b", d + "\\kobas-none\\a\\b"},
      {"/kobas-none/a/../../..", d + "\\"},
      {"/kobas-none/...", d + "\\kobas-none"},
  };
#else
  const row rows[] = {
      {"/", "/"},
      {"//", "/"},
      {"/..", "/"},
      {"/kobas-none/a/../b", "/kobas-none/b"},
      {"/kobas-none/./a//b/", "/kobas-none/a/b"},
      {"/kobas-none/a\\b", "/kobas-none/a\\b"},  // a backslash is part of a POSIX name
      {"/kobas-none/a/../../..", "/"},
      {"/kobas-none/...", "/kobas-none/..."},
  };
#endif
  for (const row& r : rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(resolved(r.in), r.want);
  }
  EXPECT_EQ(resolved(""), "<null>");
}

TEST(PlatRealpath, RelativeToCurrentFolder) {
  temp_tree t;
  t.dir("cwd/sub");
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(t.path("cwd"));
  std::string sub = resolved("sub");
  std::string dot = resolved(".");
  std::string up = resolved("../other/x");
  std::filesystem::current_path(before);
  EXPECT_EQ(sub, t.path("cwd/sub"));
  EXPECT_EQ(dot, t.path("cwd"));
  EXPECT_EQ(up, t.path("other/x"));
}

TEST(PlatRealpath, FollowsLinks) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  temp_tree t;
  t.file("outside/secret", "s");
  t.dir("root/real/deep");
  t.symlink("root/escape", t.path("outside"));
  t.symlink("root/rel", "real/deep");
  t.symlink("root/chain", "rel");
  struct row {
    const char* rel;
    const char* want;
  };
  const row rows[] = {
      {"root/escape", "outside"},
      {"root/escape/secret", "outside/secret"},
      {"root/escape/missing/tail", "outside/missing/tail"},  // missing part kept as text
      {"root/rel", "root/real/deep"},
      {"root/chain/x", "root/real/deep/x"},
      {"root/rel/..", "root/real"},  // ".." climbs out of the target, not the link's folder
      {"root/escape/../root", "root"},
      {"root/missing/../escape", "outside"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.rel);
    EXPECT_EQ(resolved(t.path(r.rel)), t.path(r.want));
  }
  std::string root = resolved(t.path("root"));
  EXPECT_EQ(plat_path_under(resolved(t.path("root/escape/secret")).c_str(), root.c_str()), 0);
  EXPECT_EQ(plat_path_under(resolved(t.path("root/rel/x")).c_str(), root.c_str()), 1);
}

TEST(PlatRealpath, LinkLoopFails) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  temp_tree t;
  t.symlink("a", "b");
  t.symlink("b", "a");
  t.symlink("self", "self");
  EXPECT_EQ(resolved(t.path("a/x")), "<null>");
  EXPECT_EQ(resolved(t.path("self")), "<null>");
}

TEST(PlatRealpath, LongPaths) {
  temp_tree t;
  std::string rel;
  while (rel.size() < 5000) rel += "segment-of-forty-bytes-for-long-paths/";
  rel += "end";
  EXPECT_EQ(resolved(t.path(rel)), t.path(rel));

  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  // A long link target followed by a long missing tail: both texts exceed 4,096 bytes.
  std::string deep;
  for (int i = 0; i < 15; ++i) deep += std::string(200, static_cast<char>('a' + i)) + "/";
  deep.pop_back();
  std::filesystem::create_directories(t.path(deep));
  t.symlink("short", t.path(deep));
  std::string tail = rel;
  EXPECT_EQ(resolved(t.path("short/" + tail)), t.path(deep + "/" + tail));
}

// plat_realpath_stat_under's result as a string; "<null>" for a failure.
std::string resolved_under(const std::string& root, const char* rel, plat_stat_rec* st) {
  std::unique_ptr<char, decltype(&std::free)> p(plat_realpath_stat_under(root.c_str(), rel, st),
                                                &std::free);
  return p ? std::string(p.get()) : "<null>";
}

TEST(PlatRealpathUnder, WalksOnlyBelowTheRootAndFollowsLinksAsAWholeWalk) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  temp_tree t;
  t.file("outside/secret", "s");
  t.file("root/real/deep/f.txt", "12345");
  t.symlink("root/escape", t.path("outside"));
  t.symlink("root/rel", "real/deep");
  t.symlink("root/up", "../outside");
  t.symlink("root/loop", "loop");
  const std::string root = resolved(t.path("root"));
  struct row {
    const char* rel;
    const char* want;  // below the temporary tree; "" for a failure
    int is_dir;
    int is_file;
    int64_t size;
  };
  const row rows[] = {
      {"", "root", 1, 0, 0},
      {"real/deep/f.txt", "root/real/deep/f.txt", 0, 1, 5},
      {"rel/f.txt", "root/real/deep/f.txt", 0, 1, 5},
      {"rel", "root/real/deep", 1, 0, 0},
      {"escape/secret", "outside/secret", 0, 1, 1},
      {"up", "outside", 1, 0, 0},
      {"rel/../..", "root", 1, 0, 0},  // ".." climbs out of the link's target
      {"missing/x", "root/missing/x", 0, 0, 0},
      {"loop/x", "", 0, 0, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.rel);
    plat_stat_rec st{};
    const std::string want = r.want[0] != '\0' ? t.path(r.want) : "<null>";
    EXPECT_EQ(resolved_under(root, r.rel, &st), want);
    EXPECT_EQ(st.is_dir, r.is_dir);
    EXPECT_EQ(st.is_file, r.is_file);
    EXPECT_EQ(st.size, r.size);
    EXPECT_EQ(st.is_link, 0);
    // The whole-path walk of the joined text gives the same answer.
    plat_stat_rec whole{};
    std::string joined = std::string(r.rel).empty() ? root : root + "/" + r.rel;
    std::unique_ptr<char, decltype(&std::free)> p(plat_realpath_stat(joined.c_str(), &whole),
                                                  &std::free);
    EXPECT_EQ(p ? std::string(p.get()) : "<null>", want);
    EXPECT_EQ(whole.is_dir, st.is_dir);
    EXPECT_EQ(whole.size, st.size);
    EXPECT_EQ(whole.mtime, st.mtime);
  }
}

TEST(PlatRealpathUnder, ColonInTheRelativePath) {
  temp_tree t;
  t.file("root/a.mp4", "12345");
  t.dir("root/sub");
  const std::string root = resolved(t.path("root"));
  plat_stat_rec st{};
  ASSERT_EQ(resolved_under(root, "a.mp4", &st), t.path("root/a.mp4"));
  EXPECT_EQ(st.size, 5);
  for (const char* rel : {"a.mp4::$DATA", "a.mp4:hidden", "sub:x/a.mp4", "C:/x", "sub/C:a"}) {
    SCOPED_TRACE(rel);
    st = plat_stat_rec{1, 1, 1, 1, 1, 1};
#if _WIN32
    // An alternate data stream or a drive, never a plain name: refused with nothing filled in.
    EXPECT_EQ(resolved_under(root, rel, &st), "<null>");
#else
    // An ordinary byte of a POSIX name: the path resolves, to nothing that exists.
    EXPECT_EQ(resolved_under(root, rel, &st), root + "/" + rel);
#endif
    EXPECT_EQ(st.is_file, 0);
    EXPECT_EQ(st.size, 0);
  }
}

TEST(PlatRealpathUnder, RefusesARootThatIsNoAbsoluteResolvedPath) {
  plat_stat_rec st{};
  EXPECT_EQ(resolved_under("", "a", &st), "<null>");
  EXPECT_EQ(resolved_under("relative/root", "a", &st), "<null>");
  EXPECT_EQ(plat_realpath_stat_under(nullptr, "a", &st), nullptr);
  EXPECT_EQ(plat_realpath_stat_under("/", nullptr, &st), nullptr);
#if _WIN32
  // The root of the current drive.
  EXPECT_EQ(resolved_under("/", "kobas-none/a", &st),
            std::filesystem::current_path().root_name().string() + "\\kobas-none\\a");
#else
  EXPECT_EQ(resolved_under("/", "kobas-none/a", &st), "/kobas-none/a");
#endif
  EXPECT_EQ(st.is_file, 0);
}

}  // namespace
