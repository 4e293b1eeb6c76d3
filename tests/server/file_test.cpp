// File answers over the wire: the file head in its own order, byte ranges, HEAD, empty files,
// bodies that end early, and a 1 GiB file streamed without the server's memory growing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "server_harness.h"

namespace {

std::vector<std::string> header_names(const http_response& r) {
  std::vector<std::string> out;
  for (const auto& h : r.headers) out.push_back(h.first);
  return out;
}

class FileAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = records_1000();
    tree_.file("media/rec.bin", content_);
    tree_.set_mtime("media/rec.bin", 1700000000);
    tree_.file("media/clip.MKV", "mkv");
    tree_.file("media/noext", "x");
    tree_.file("media/empty.txt", "");
    ASSERT_EQ(kobas_add_root("movies", tree_.path("media").c_str()), 0) << kobas_last_error();
  }

  temp_tree tree_;
  running_server srv_;
  std::string content_;
};

TEST_F(FileAnswer, WholeFileHeadInOrder) {
  http_response r = srv_.get("/movies/rec.bin");
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(header_names(r),
            (std::vector<std::string>{"SERVER", "DATE", "Content-Type", "Content-Length",
                                      "Accept-Ranges", "Last-Modified", "ETag", "Connection"}));
  EXPECT_EQ(r.header("SERVER"), "tandrill-kobas/1.0.0");
  EXPECT_EQ(r.header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(r.header("Content-Length"), "1000");
  EXPECT_EQ(r.header("Accept-Ranges"), "bytes");
  EXPECT_EQ(r.header("Last-Modified"), "1700000000");
  EXPECT_EQ(r.header("Connection"), "keep-alive");
  EXPECT_EQ(r.body, content_);
}

TEST_F(FileAnswer, Ranges) {
  struct row {
    const char* range;
    int status;
    const char* content_range;  // "" when absent
    size_t first;
    size_t len;
  };
  const row rows[] = {
      {"bytes=0-99", 206, "bytes 0-99/1000", 0, 100},
      {"bytes=-100", 206, "bytes 900-999/1000", 900, 100},
      {"bytes=900-2000", 206, "bytes 900-999/1000", 900, 100},
      {"bytes=0-9,20-29", 206, "bytes 0-9/1000", 0, 10},
      {"bytes=999-999", 206, "bytes 999-999/1000", 999, 1},
      {"bytes=998-", 206, "bytes 998-999/1000", 998, 2},
      {"BYTES=5-14", 206, "bytes 5-14/1000", 5, 10},
      {"bytes=-5000", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes=1000-", 416, "bytes */1000", 0, 0},
      {"bytes=1000-1200", 416, "bytes */1000", 0, 0},
      {"bytes=5-3", 416, "bytes */1000", 0, 0},
      {"bytes=abc", 416, "bytes */1000", 0, 0},
      {"items=0-1", 416, "bytes */1000", 0, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.range);
    http_response got = srv_.get("/movies/rec.bin", std::string("Range: ") + r.range + "\r\n");
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.header("Content-Range"), r.content_range);
    EXPECT_EQ(got.header("Content-Length"), std::to_string(r.len));
    EXPECT_EQ(got.body, content_.substr(r.first, r.len));
    if (r.status == 206) {
      EXPECT_EQ(got.status_line, "HTTP/1.1 206 Partial Content");
      EXPECT_EQ(header_names(got),
                (std::vector<std::string>{"SERVER", "DATE", "Content-Type", "Content-Length",
                                          "Accept-Ranges", "Content-Range", "Last-Modified", "ETag",
                                          "Connection"}));
    } else {
      EXPECT_EQ(got.status_line, "HTTP/1.1 416 Range Not Satisfiable");
      EXPECT_EQ(got.header("Content-Type"), "text/plain");
      EXPECT_FALSE(got.has_header("Last-Modified"));
    }
  }
}

TEST_F(FileAnswer, EmptyRangeValueServesWholeFile) {
  http_response r = srv_.get("/movies/rec.bin", "Range:\r\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, content_);
}

TEST_F(FileAnswer, EmptyFile) {
  http_response r = srv_.get("/movies/empty.txt");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Length"), "0");
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_FALSE(r.has_header("Content-Range"));
  for (const char* range : {"bytes=0-", "bytes=-5", "bytes=x"}) {
    SCOPED_TRACE(range);
    r = srv_.get("/movies/empty.txt", std::string("Range: ") + range + "\r\n");
    EXPECT_EQ(r.status, 416);
    EXPECT_EQ(r.header("Content-Range"), "bytes */0");
    EXPECT_EQ(r.header("Content-Length"), "0");
  }
}

TEST_F(FileAnswer, HeadSendsFileHeadWithoutBody) {
  http_client c(srv_.port());
  http_response r;
  ASSERT_TRUE(c.send("HEAD /movies/rec.bin HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r, true));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Length"), "1000");
  EXPECT_EQ(r.header("Last-Modified"), "1700000000");
  ASSERT_TRUE(c.send("HEAD /movies/rec.bin HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r, true));
  EXPECT_EQ(r.status, 206);
  EXPECT_EQ(r.header("Content-Length"), "10");
  EXPECT_EQ(r.header("Content-Range"), "bytes 10-19/1000");
  // No body bytes may sit between the heads.
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.body, "i am ok!");
}

TEST_F(FileAnswer, MediaTypeFromName) {
  EXPECT_EQ(srv_.get("/movies/clip.MKV").header("Content-Type"), "video/x-matroska");
  EXPECT_EQ(srv_.get("/movies/noext").header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(srv_.get("/movies/missing.mkv").status, 404);
  // One trailing slash is dropped before resolution, so a file may be asked for with one.
  EXPECT_EQ(srv_.get("/movies/rec.bin/").status, 200);
}

TEST_F(FileAnswer, Http10FileAnswerCloses) {
  http_client c(srv_.port());
  ASSERT_TRUE(c.send("GET /movies/rec.bin HTTP/1.0\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_EQ(r.body, content_);
  EXPECT_TRUE(c.closed_by_peer());
}

// A file replaced on disk while it is served: every complete answer describes, in its length
// and its bytes, one version only; a head from one version over the other's bytes would be a
// corrupted file reported as whole.
TEST(ReplacedFile, EveryAnswerIsWhollyOneVersion) {
  temp_tree t;
  const std::string a(300000, 'A');
  const std::string b(200000, 'B');
  t.file("m/clip.bin", a);
  running_server srv;
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      const std::string next = t.file("m/next.tmp", i % 2 == 0 ? b : a);
      std::error_code ec;  // Windows may refuse while the old file is held: try again
      std::filesystem::rename(std::filesystem::u8path(next),
                              std::filesystem::u8path(t.path("m/clip.bin")), ec);
    }
  });
  int mixed = 0;
  int whole = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < until; ++i) {
    http_response r = srv.get("/m/clip.bin", i % 3 == 2 ? "Range: bytes=100000-\r\n" : "");
    if (r.status != 200 && r.status != 206) continue;
    const std::string& want = r.body.empty() || r.body[0] == 'A' ? a : b;
    const std::string expected = r.status == 206 ? want.substr(100000) : want;
    if (r.body != expected || r.header("Content-Length") != std::to_string(expected.size())) {
      ++mixed;
    } else {
      ++whole;
    }
  }
  stop.store(true);
  writer.join();
  EXPECT_EQ(mixed, 0);
  EXPECT_GT(whole, 0);
}

// A sysfs file claims 4,096 bytes and holds fewer: the body ends short of its Content-Length,
// and only closing the connection tells the client so.
TEST(ShortFileBody, ConnectionClosedAfterShortBody) {
  const char* dir = "/sys/kernel/mm/transparent_hugepage";
  if (read_file(std::string(dir) + "/enabled").empty()) {
    GTEST_SKIP() << dir << "/enabled is not readable here";
  }
  running_server srv;
  ASSERT_EQ(kobas_add_root("sys", dir), 0) << kobas_last_error();
  http_client c(srv.port());
  ASSERT_TRUE(c.send("GET /sys/enabled HTTP/1.1\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_head(&r));
  ASSERT_EQ(r.status, 200);
  ASSERT_EQ(r.header("Content-Length"), "4096");
  std::string body;
  EXPECT_FALSE(c.read_body(4096, [&](const char* p, size_t n) { body.append(p, n); }));
  EXPECT_LT(body.size(), 4096u);
  EXPECT_TRUE(c.saw_close());
}

int64_t rss_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

constexpr int64_t GIB = int64_t{1} << 30;

struct marker {
  int64_t offset;
  std::string text;
};

// Expected content of the big file: zeros, with a labelled marker at each place that matters.
class expected_bytes {
 public:
  explicit expected_bytes(std::vector<marker> m) : markers_(std::move(m)) {}
  char at(int64_t o) const {
    for (const marker& m : markers_) {
      if (o >= m.offset && o < m.offset + static_cast<int64_t>(m.text.size())) {
        return m.text[static_cast<size_t>(o - m.offset)];
      }
    }
    return '\0';
  }
  // Number of bytes in P[0..N) (file offsets O..) that differ from the expected content.
  int64_t mismatches(int64_t o, const char* p, size_t n) const {
    bool near_marker = false;
    for (const marker& m : markers_) {
      if (m.offset < o + static_cast<int64_t>(n) &&
          o < m.offset + static_cast<int64_t>(m.text.size())) {
        near_marker = true;
      }
    }
    int64_t bad = 0;
    if (!near_marker) {
      static const std::vector<char> zeros(1 << 20, '\0');
      for (size_t i = 0; i < n; i += zeros.size()) {
        size_t k = n - i < zeros.size() ? n - i : zeros.size();
        if (std::memcmp(p + i, zeros.data(), k) != 0) ++bad;
      }
      return bad;
    }
    for (size_t i = 0; i < n; ++i) bad += p[i] != at(o + static_cast<int64_t>(i)) ? 1 : 0;
    return bad;
  }

 private:
  std::vector<marker> markers_;
};

TEST(LargeFile, GibibyteStreamsWholeAndByRangeInBoundedMemory) {
  temp_tree t;
  std::string path = t.sparse("big/huge.bin", GIB);
  std::vector<marker> markers = {
      {0, "FIRST-BYTES-0000"}, {GIB / 2 - 7, "MIDDLE-536870905"}, {GIB - 16, "LAST-1073741808\n"}};
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.is_open());
    for (const marker& m : markers) {
      f.seekp(m.offset);
      f.write(m.text.data(), static_cast<std::streamsize>(m.text.size()));
    }
  }
  expected_bytes want(markers);
  running_server srv;
  ASSERT_EQ(kobas_add_root("big", t.path("big").c_str()), 0) << kobas_last_error();

  int64_t rss_before = rss_kib();
  http_client c(srv.port(), 20000);
  ASSERT_TRUE(c.send("GET /big/huge.bin HTTP/1.1\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_head(&r));
  EXPECT_EQ(r.status, 200);
  ASSERT_EQ(r.header("Content-Length"), "1073741824");
  int64_t offset = 0;
  int64_t bad = 0;
  ASSERT_TRUE(c.read_body(GIB, [&](const char* p, size_t n) {
    bad += want.mismatches(offset, p, n);
    offset += static_cast<int64_t>(n);
  }));
  EXPECT_EQ(offset, GIB);
  EXPECT_EQ(bad, 0);
  int64_t rss_after = rss_kib();
  ASSERT_GT(rss_before, 0);
  // The file is a thousand times larger than this bound: a server that buffered it would show.
  EXPECT_LT(rss_after - rss_before, 64 * 1024) << rss_before << " KiB -> " << rss_after << " KiB";

  struct row {
    const char* range;
    const char* content_range;
    int64_t first;
    int64_t len;
  };
  const row rows[] = {
      {"bytes=536870890-536870929", "bytes 536870890-536870929/1073741824", GIB / 2 - 22, 40},
      {"bytes=-20", "bytes 1073741804-1073741823/1073741824", GIB - 20, 20},
      {"bytes=1073741820-4294967296", "bytes 1073741820-1073741823/1073741824", GIB - 4, 4},
      {"bytes=0-15", "bytes 0-15/1073741824", 0, 16},
  };
  for (const row& rr : rows) {
    SCOPED_TRACE(rr.range);
    ASSERT_TRUE(
        c.send(std::string("GET /big/huge.bin HTTP/1.1\r\nRange: ") + rr.range + "\r\n\r\n"));
    ASSERT_TRUE(c.read_response(&r));
    EXPECT_EQ(r.status, 206);
    EXPECT_EQ(r.header("Content-Range"), rr.content_range);
    ASSERT_EQ(r.body.size(), static_cast<size_t>(rr.len));
    std::string expect;
    for (int64_t i = 0; i < rr.len; ++i) expect += want.at(rr.first + i);
    EXPECT_EQ(r.body, expect);
  }
}

}  // namespace
