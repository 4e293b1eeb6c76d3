// Files kept open between answers: what changed on disk is answered as it now is within a
// second (at once when made in its own folder), a registry change takes effect at once,
// and kept files give their descriptors back before any connection has to go.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "plat/plat.h"
#include "server_harness.h"

namespace {

namespace fs = std::filesystem;

// Past the longest an answer may come from a kept file: a second, and room for a slow machine.
constexpr int PAST_FRESHNESS_MS = 1300;

TEST(FileCache, ChangedFilesAreAnsweredAsTheyNowAreWithinASecond) {
  temp_tree t;
  t.file("m/a.txt", "one");
  t.file("m/sub/b.txt", "bee");
  t.file("m/deep/x/c.txt", "sea");
  t.dir("away");
  running_server srv(2);
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  for (int round = 0; round < 2; ++round) {  // the second round is answered from kept files
    EXPECT_EQ(srv.get("/m/a.txt").body, "one");
    EXPECT_EQ(srv.get("/m/sub/b.txt").body, "bee");
    EXPECT_EQ(srv.get("/m/deep/x/c.txt").body, "sea");
  }
  const uint64_t kept_at = plat_now_ms();
  // Replaced by a rename over it, deleted, and moved out of the root with a folder two levels
  // up (no notification names c.txt's own folder for that).
  t.file("m/a.new", "two");
  fs::rename(t.path("m/a.new"), t.path("m/a.txt"));
  t.remove("m/sub/b.txt");
  fs::rename(t.path("m/deep"), t.path("away/deep"));
  // Reported by the system: at once, well before the second is up.
  http_response a;
  http_response b;
  do {
    plat_sleep_ms(20);
    a = srv.get("/m/a.txt");
    b = srv.get("/m/sub/b.txt");
  } while ((a.body != "two" || b.status != 404) && plat_now_ms() < kept_at + 700);
  EXPECT_EQ(a.body, "two");
  EXPECT_EQ(b.status, 404);
  const uint64_t now = plat_now_ms();
  if (now < kept_at + PAST_FRESHNESS_MS)
    plat_sleep_ms(static_cast<int>(kept_at + PAST_FRESHNESS_MS - now));
  EXPECT_EQ(srv.get("/m/a.txt").body, "two");
  EXPECT_EQ(srv.get("/m/sub/b.txt").status, 404);
  EXPECT_EQ(srv.get("/m/deep/x/c.txt").status, 404);
}

TEST(FileCache, RootRemovedOrAddedAgainTakesEffectAtOnce) {
  temp_tree t;
  t.file("old/f.txt", "old");
  t.file("new/f.txt", "new");
  running_server srv(2);
  ASSERT_EQ(kobas_add_root("m", t.path("old").c_str()), 0);
  EXPECT_EQ(srv.get("/m/f.txt").body, "old");
  EXPECT_EQ(srv.get("/m/f.txt").body, "old");
  ASSERT_EQ(kobas_remove_root("m"), 0);
  EXPECT_EQ(srv.get("/m/f.txt").status, 404);
  ASSERT_EQ(kobas_add_root("m", t.path("new").c_str()), 0);
  EXPECT_EQ(srv.get("/m/f.txt").body, "new");
  // Removed and added again between two answers, with nothing asked in between.
  ASSERT_EQ(kobas_remove_root("m"), 0);
  ASSERT_EQ(kobas_add_root("m", t.path("old").c_str()), 0);
  EXPECT_EQ(srv.get("/m/f.txt").body, "old");
}

#if !_WIN32
// A serve child whose open-files limit allows 96 connections: 30 files are answered (24 of them
// stay open, a quarter of the bound), then 95 more clients come. The kept files make way; the
// first client, idle the longest, keeps its connection and nobody is told "busy".
TEST(FileCache, KeptFilesMakeWayForConnections) {
  temp_tree t;
  for (int i = 0; i < 30; ++i) t.file("m/f" + std::to_string(i), "x");
  child_process server("/bin/sh", {"-c",
                                   "ulimit -n 160 && exec \"$0\" serve --bind 127.0.0.1 --port 0 "
                                   "--threads 1 --root m=\"$1\"",
                                   kobas_bin(), t.path("m")});
  int port = 0;
  const std::string line = server.read_line().value_or("");
  ASSERT_EQ(std::sscanf(line.c_str(), "listening 127.0.0.1:%d", &port), 1) << line;
  http_client first(port);
  http_response r;
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(first.send("GET /m/f" + std::to_string(i) + " HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(first.read_response(&r));
    ASSERT_EQ(r.status, 200);
  }
  std::vector<std::unique_ptr<http_client>> more;
  int ok = 0;
  for (int i = 0; i < 95; ++i) {
    more.push_back(std::make_unique<http_client>(port));
    if (more.back()->send("GET /api/ping HTTP/1.1\r\n\r\n") && more.back()->read_response(&r) &&
        r.status == 200) {
      ++ok;
    }
  }
  EXPECT_EQ(ok, 95);
  EXPECT_FALSE(first.readable(300));  // neither an answer nor a close
  ASSERT_TRUE(first.send("GET /m/f0 HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(first.read_response(&r));
  EXPECT_EQ(r.body, "x");
}
#endif

}  // namespace
