// Request path resolution: folder and file roots, unsafe and escaping paths, links, and paths
// that do not fit their buffers.
#include "content/resolve.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "clean_registry.h"
#include "fs_fixture.h"
#include "kobas.h"
#include "util/last_error.h"

namespace {

struct outcome {
  int status = -99;
  std::string content;  // the opened file's bytes, or "<dir>" for a folder
  int is_dir = -9;
  int64_t size = -9;
  int64_t mtime = -9;
  int code = 0;
  std::string message;
};

outcome resolve(const char* name, const char* rel) {
  outcome o;
  set_ok();  // resolution sets the last error only on failure
  opened_target t;
  o.status = resolve_open(name, rel, &t);
  o.code = kobas_last_code();
  o.message = kobas_last_error();
  if (o.status != 0) return o;
  o.is_dir = t.is_dir() ? 1 : 0;
  o.size = t.is_dir() ? -1 : t.o.st.size;
  o.mtime = t.o.st.mtime;
  if (t.is_dir()) {
    o.content = "<dir>";
  } else {
    char buf[256];
    const int64_t n = plat_fread_at(t.o.file, 0, buf, sizeof buf);
    if (n > 0) o.content.assign(buf, static_cast<size_t>(n));
  }
  return o;
}

TEST(ResolveFolderRoot, TargetsAndRefusals) {
  temp_tree t;
  clean_registry reg;
  t.file("m/a/song.mp3", "12345");
  t.set_mtime("m/a/song.mp3", 1700000000);
  t.dir("m/b");
  ASSERT_EQ(kobas_add_root("music", t.path("m").c_str()), 0);

  outcome root = resolve("music", "");
  EXPECT_EQ(root.status, 0);
  EXPECT_EQ(root.content, "<dir>");
  EXPECT_EQ(root.is_dir, 1);
  EXPECT_EQ(root.size, -1);
  EXPECT_EQ(root.message, "");

  outcome file = resolve("music", "a/song.mp3");
  EXPECT_EQ(file.status, 0);
  EXPECT_EQ(file.content, "12345");
  EXPECT_EQ(file.is_dir, 0);
  EXPECT_EQ(file.size, 5);
  EXPECT_EQ(file.mtime, 1700000000);

  outcome a_b = resolve("music", "a/b..c");
  EXPECT_EQ(a_b.status, 404);
  EXPECT_EQ(a_b.message, "no such file or folder");  // "b..c" is a name, not a dot segment

  struct row {
    const char* name;
    const char* rel;
    int status;
    int code;
    std::string message;
  };
  const row rows[] = {
      {"music", "a/../b", 404, -7, "unsafe relative path"},
      {"music", "./a", 404, -7, "unsafe relative path"},
      {"music", "..", 404, -7, "unsafe relative path"},
      {"music", "a\\song.mp3", 400, -7, "unsafe relative path"},
      {"music", "a/\x01", 400, -7, "unsafe relative path"},
      {"music", nullptr, 400, -7, "unsafe relative path"},
      {"music", "nope.mp3", 404, -4, "no such file or folder"},
      // Hidden names are never listed, so never served either.
      {"music", ".hidden", 404, -7, "hidden name"},
      {"music", "a/.config/x", 404, -7, "hidden name"},
      {"Music", "", 404, -4, "no root named Music"},
      {"other", "a", 404, -4, "no root named other"},
      {nullptr, "a", 404, -4, "no root named (null)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.name ? r.name : "(null)") + " " + (r.rel ? r.rel : "(null)"));
    outcome o = resolve(r.name, r.rel);
    EXPECT_EQ(o.status, r.status);
    EXPECT_EQ(o.code, r.code);
    EXPECT_EQ(o.message, r.message);
    EXPECT_EQ(o.is_dir, -9);
  }
}

TEST(ResolveFolderRoot, EmptyRegistryAndEmptyRootPath) {
  clean_registry reg;
  outcome o = resolve("music", "");
  EXPECT_EQ(o.status, 404);
  EXPECT_EQ(o.message, "no root named music");
  EXPECT_EQ(resolve_open("music", "", nullptr), -1);
  EXPECT_EQ(kobas_last_code(), -1);
}

TEST(ResolveFolderRoot, DeletedRootFolder) {
  temp_tree t;
  clean_registry reg;
  t.dir("gone");
  ASSERT_EQ(kobas_add_root("gone", t.path("gone").c_str()), 0);
  t.remove("gone");
  outcome o = resolve("gone", "");
  EXPECT_EQ(o.status, 404);
  EXPECT_EQ(o.code, -4);
  EXPECT_EQ(o.message, "no such file or folder");
  // A folder made again at the root's path is served again.
  t.file("gone/back.txt", "b");
  EXPECT_EQ(resolve("gone", "").status, 0);
  EXPECT_EQ(resolve("gone", "back.txt").content, "b");
}

// Whoever can write the folder above a root could swap the root's path for a link to anywhere:
// a root is opened again following no link on its path, so the swapped root answers nothing
// until the real folder or file is back.
TEST(ResolveRoots, SwappedForALinkUntilRestored) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
  temp_tree t;
  clean_registry reg;
  t.file("private/movie.mp4", "PRIVATE");
  t.file("private/secret.txt", "PRIVATE");
  t.file("shared/movie.mp4", "film");
  t.file("shared/folder/a.txt", "a");
  ASSERT_EQ(kobas_add_root("file", t.path("shared/movie.mp4").c_str()), 0);
  ASSERT_EQ(kobas_add_root("folder", t.path("shared/folder").c_str()), 0);
  struct row {
    const char* root;
    const char* at;       // the root's path in the tree
    const char* link_to;  // what the swapped-in link leads to
    const char* rel;      // what a client asks for
    const char* body;
  };
  const row rows[] = {
      {"file", "shared/movie.mp4", "private/movie.mp4", "movie.mp4", "film"},
      {"folder", "shared/folder", "private", "a.txt", "a"},
      {"folder", "shared/folder", "private", "", "<dir>"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.root) + " " + r.rel);
    const std::string at = t.path(r.at);
    const std::string moved = at + ".real";
    std::filesystem::rename(std::filesystem::u8path(at), std::filesystem::u8path(moved));
    t.symlink(r.at, t.path(r.link_to));
    EXPECT_EQ(resolve(r.root, "").status, 404);  // the root's own page opens it afresh
    EXPECT_EQ(resolve(r.root, r.rel).status, 404);
    EXPECT_EQ(resolve(r.root, "secret.txt").status, 404);
    EXPECT_STREQ(kobas_listing_json(r.root, "", 0, 0), "");
    t.remove(r.at);
    std::filesystem::rename(std::filesystem::u8path(moved), std::filesystem::u8path(at));
    resolve(r.root, "");
    const outcome back = resolve(r.root, r.rel);
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(back.content, r.body);
  }
}

TEST(ResolveFileRoot, ServesOnlyItsKey) {
  temp_tree t;
  clean_registry reg;
  t.file("x/film.mkv", "0123456789");
  t.set_mtime("x/film.mkv", 86400);
  ASSERT_EQ(kobas_add_root("film", t.path("x/film.mkv").c_str()), 0);

  outcome ok = resolve("film", "film.mkv");
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.content, "0123456789");
  EXPECT_EQ(ok.is_dir, 0);
  EXPECT_EQ(ok.size, 10);
  EXPECT_EQ(ok.mtime, 86400);

  for (const char* rel :
       {"", "Film.mkv", "film.mkv/", "x/film.mkv", "other", (const char*)nullptr}) {
    SCOPED_TRACE(rel ? rel : "(null)");
    outcome o = resolve("film", rel);
    EXPECT_EQ(o.status, 404);
    EXPECT_EQ(o.code, -4);
    EXPECT_EQ(o.message, "a file root serves only film.mkv");
  }

  t.remove("x/film.mkv");
  outcome gone = resolve("film", "film.mkv");
  EXPECT_EQ(gone.status, 404);
  EXPECT_EQ(gone.code, -4);
}

TEST(ResolveLinks, EscapingLinkIsRefused) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  temp_tree t;
  clean_registry reg;
  t.file("outside/secret.txt", "s");
  t.file("root/inside.txt", "i");
  t.symlink("root/out", t.path("outside"));
  t.symlink("root/out-file", t.path("outside/secret.txt"));
  t.symlink("root/in", t.path("root/inside.txt"));
  t.symlink("root/rel-in", "inside.txt");
  // A sibling whose name only extends the root's with a backslash is still outside it.
  t.file("root\\x/secret.txt", "s");
  t.symlink("root/sibling", t.path("root\\x"));
  ASSERT_EQ(kobas_add_root("r", t.path("root").c_str()), 0);

  for (const char* rel : {"out", "out/secret.txt", "out-file", "sibling/secret.txt"}) {
    SCOPED_TRACE(rel);
    outcome o = resolve("r", rel);
    EXPECT_EQ(o.status, 404);
    EXPECT_EQ(o.code, -4);
    EXPECT_EQ(o.message, "no such file or folder");
  }
  for (const char* rel : {"in", "rel-in"}) {
    SCOPED_TRACE(rel);
    outcome o = resolve("r", rel);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.content, "i");
  }
}

TEST(ResolveLinks, RootRegisteredThroughALink) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
#if _WIN32
  GTEST_SKIP() << "not yet run on a Windows that makes links (Wine makes none; host-made "
                  "links are covered by ResolveLinks.LinksMadeOutsideTheProgram)";
#endif
  temp_tree t;
  clean_registry reg;
  t.file("real/clip.mp4", "abc");
  t.symlink("alias", t.path("real"));
  ASSERT_EQ(kobas_add_root("via", t.path("alias").c_str()), 0);
  outcome o = resolve("via", "clip.mp4");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.content, "abc");
}

#if _WIN32
// Wine makes no links itself (CreateSymbolicLinkW reports success and makes nothing), but it
// follows links made on the host: scripts/wine-test.sh builds a tree of them and names it in
// KOBAS_HOST_LINKS. root/out and root/out-file lead outside, root/up is "../outside", root/in
// and root/in-file lead to root/sub, and alias leads to root.
TEST(ResolveLinks, LinksMadeOutsideTheProgram) {
  const char* tree = std::getenv("KOBAS_HOST_LINKS");
  if (tree == nullptr || tree[0] == '\0')
    GTEST_SKIP() << "KOBAS_HOST_LINKS names no tree of links (scripts/wine-test.sh makes one)";
  clean_registry reg;
  const std::string root = std::string(tree) + "\\root";
  ASSERT_EQ(kobas_add_root("r", root.c_str()), 0) << kobas_last_error();
  // Links that lead out, also behind every spelling Windows would trim to another name (a
  // segment ending in a space or a dot), and device names, which are never opened.
  for (const char* rel :
       {"out", "out/secret.txt", "out-file", "up", "up/secret.txt", " /out/secret.txt",
        ". /out-file", "sub /inside.txt", "out./secret.txt", "out /secret.txt", "out-file.",
        "out-file ", "in /inside.txt", "COM3", "sub/lpt1.mp3", "sub/aux ", "nul.txt", "CONOUT$"}) {
    SCOPED_TRACE(rel);
    outcome o = resolve("r", rel);
    EXPECT_EQ(o.status, 404);
    // Not found, or hidden (". " begins with a dot): refused either way.
    EXPECT_TRUE(o.code == -4 || o.code == -7) << o.code;
  }
  for (const char* rel : {"in/inside.txt", "in-file", "sub/inside.txt"}) {
    SCOPED_TRACE(rel);
    outcome o = resolve("r", rel);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.size, 1);
  }
  // A root registered through a link is stored as what the link leads to.
  ASSERT_EQ(kobas_add_root("via", (std::string(tree) + "\\alias").c_str()), 0);
  outcome o = resolve("via", "sub/inside.txt");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.size, 1);
  // Containment is exact: a link to a sibling that differs from the root only in letter case
  // leads to another folder where folders are case-sensitive (as the host's are here).
  const char* cased = std::getenv("KOBAS_HOST_CASED_ROOT");
  if (cased != nullptr && cased[0] != '\0') {
    ASSERT_EQ(kobas_add_root("media", cased), 0) << kobas_last_error();
    EXPECT_EQ(resolve("media", "own.txt").status, 0);
    for (const char* rel : {"case-file", "case-dir/secret.txt", "case-abs"}) {
      SCOPED_TRACE(rel);
      EXPECT_EQ(resolve("media", rel).status, 404);
    }
  }
  // A root reached through a link on its path is not opened: a root swapped for a link after
  // registration is met the same way.
  EXPECT_EQ(plat_root_open((std::string(tree) + "\\alias").c_str()), nullptr);
  plat_opened opened{};
  EXPECT_EQ(plat_open_path((std::string(tree) + "\\alias\\sub\\inside.txt").c_str(), &opened), -1);
  EXPECT_EQ(plat_open_path((root + "\\in-file").c_str(), &opened), -1);
  ASSERT_EQ(plat_open_path((root + "\\sub\\inside.txt").c_str(), &opened), 0);
  EXPECT_NE(opened.file, nullptr);
  plat_opened_close(&opened);
  // A root of 239 UTF-16 units, where a path that Windows trims and the "\\?\" form disagreed.
  const char* long_root = std::getenv("KOBAS_HOST_LONG_ROOT");
  if (long_root != nullptr && long_root[0] != '\0') {
    ASSERT_EQ(kobas_add_root("L", long_root), 0) << kobas_last_error();
    EXPECT_EQ(resolve("L", "inside.txt").content, "i");
    for (const char* rel : {"evil-link", "evil-link ", "evil-link /", "evil-link.", "evil-link/"}) {
      SCOPED_TRACE(rel);
      EXPECT_EQ(resolve("L", rel).status, 404);
    }
  }
}

// A dot name is hidden by its long name only: Windows also gives it an 8.3 short name
// ("_SSH~RJI" under Wine, "SSH~1" on NTFS), under which the system opens it just the same.
TEST(ResolveShortNames, ReachNothingALongNameWouldNot) {
  temp_tree t;
  clean_registry reg;
  t.file("m/.ssh/id_rsa", "KEY");
  t.file("m/.env", "TOKEN");
  t.file("m/LongFileName.txt", "plain");
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  const std::string ssh = t.short_name("m/.ssh");
  const std::string env = t.short_name("m/.env");
  const std::string plain = t.short_name("m/LongFileName.txt");
  if (ssh.empty() || env.empty() || plain.empty())
    GTEST_SKIP() << "this volume makes no short names";
  for (const std::string& rel : {ssh + "/id_rsa", ssh, env}) {
    SCOPED_TRACE(rel);
    EXPECT_EQ(resolve("m", rel.c_str()).status, 404);
  }
  // A short name of a plain entry still leads to it.
  EXPECT_EQ(resolve("m", plain.c_str()).content, "plain");
  const std::string page = kobas_listing_json("m", "", 0, 0);
  for (const std::string& hidden : {ssh, env, std::string(".ssh"), std::string(".env")}) {
    EXPECT_EQ(page.find(hidden), std::string::npos) << hidden;
  }
  EXPECT_STREQ(kobas_listing_json("m", ssh.c_str(), 0, 0), "");
}

#endif

TEST(ResolveLimits, LongPathsAreLookedUpWhole) {
  temp_tree t;
  clean_registry reg;
  t.file("m/abc.txt", "x");
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  // A relative path the safety test accepts but no file system holds: not found, and no
  // shorter prefix of it is served instead.
  std::string long_rel;
  while (long_rel.size() < 2300) long_rel += "abcdefghi/";
  long_rel += "abc.txt";
  outcome join = resolve("m", long_rel.c_str());
  EXPECT_EQ(join.status, 404);
  EXPECT_EQ(join.code, -4);
}

}  // namespace
