// Validators and compressed listings over the wire: 304 answers and their heads, If-Range
// against a file that changed, an ETag that follows a rewrite within one second, gzip'd HTML
// and JSON listings unpacked again, HEAD against GET, and the bytes a request without any of
// these headers gets.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "server/dir_response.h"
#include "server/gzip_body.h"
#include "server_harness.h"

namespace {

// The bytes a gzip stream unpacks to; "<bad gzip>" when it is not one whole stream.
std::string gunzip(const std::string& in) {
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return "<bad gzip>";
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  std::string out;
  char buf[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole ? out : "<bad gzip>";
}

// Every header line but the date, which may turn between two answers.
std::vector<std::string> lines_but_date(const http_response& r) {
  std::vector<std::string> out;
  for (const auto& h : r.headers) {
    if (h.first != "DATE") out.push_back(h.first + ": " + h.second);
  }
  return out;
}

std::vector<std::string> names(const http_response& r) {
  std::vector<std::string> out;
  for (const auto& h : r.headers) out.push_back(h.first);
  return out;
}

int append_to(void* ctx, const char* bytes, uint64_t n) {
  static_cast<std::string*>(ctx)->append(bytes, n);
  return 0;
}

// A sink that takes one block and then fails, as a send to a client that went away does.
int fail_after_one(void* ctx, const char* bytes, uint64_t n) {
  return append_to(ctx, bytes, n) == 0 && static_cast<std::string*>(ctx)->size() > n ? -1 : 0;
}

// The page text fed in uneven pieces, directly and through the helper thread: the same stream
// both ways (the measuring and the sending pass rely on it), and it unpacks to the text.
TEST(GzipStream, PiecesDirectAndThroughTheHelperAgree) {
  std::string text;
  for (int i = 0; text.size() < 3000000; ++i)
    text += "row " + std::to_string(int64_t{i} * 7919 % 100003) + "\n";
  std::string direct, piped;
  {
    gzip_writer gz(append_to, &direct);
    for (size_t at = 0, step = 1; at < text.size(); at += step, step = step * 3 % 70001 + 1) {
      ASSERT_EQ(gz.write(text.data() + at, std::min(step, text.size() - at)), 0);
    }
    ASSERT_EQ(gz.finish(), 0);
    EXPECT_EQ(gz.total_out(), direct.size());
  }
  {
    gzip_writer gz(append_to, &piped);
    gzip_pipe pipe(&gz);
    for (size_t at = 0, step = 1; at < text.size(); at += step, step = step * 3 % 70001 + 1) {
      ASSERT_EQ(pipe.write(text.data() + at, std::min(step, text.size() - at)), 0);
    }
    ASSERT_EQ(pipe.finish(), 0);
  }
  EXPECT_EQ(piped, direct);
  EXPECT_EQ(gunzip(direct), text);
  EXPECT_GT(direct.size(), 65536u);  // several output blocks
}

TEST(GzipStream, FailingSinkStopsTheStream) {
  // Scrambled letters: several output blocks, so the sink fails while pieces are still queued.
  std::string text(2000000, 'x');
  uint64_t seed = 7;
  for (char& c : text) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    c = static_cast<char>('a' + (seed >> 59));
  }
  std::string got;
  gzip_writer gz(fail_after_one, &got);
  gzip_pipe pipe(&gz);
  int rc = 0;
  for (size_t at = 0; at < text.size() && rc == 0; at += 65536) {
    rc = pipe.write(text.data() + at, std::min<size_t>(65536, text.size() - at));
  }
  EXPECT_NE(rc == 0 ? pipe.finish() : rc, 0);
  EXPECT_EQ(gunzip(got), "<bad gzip>");
}

class Validators : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = records_1000();
    tree_.file("media/rec.bin", content_);
    tree_.set_mtime("media/rec.bin", 1700000000);
    tree_.file("media/films/a.mkv", "aa");
    tree_.dir("media/films/sub");
    ASSERT_EQ(kobas_add_root("movies", tree_.path("media").c_str()), 0) << kobas_last_error();
    etag_ = srv_.get("/movies/rec.bin").header("ETag");
    ASSERT_FALSE(etag_.empty());
  }
  void TearDown() override { gzip_hold_blocks = 16; }

  temp_tree tree_;
  running_server srv_;
  std::string content_;
  std::string etag_;
};

TEST_F(Validators, ConditionalFileAnswers) {
  struct row {
    std::string what, headers;
    int status;
    std::string body;
  };
  const std::string rec = content_;
  const row rows[] = {
      {"matching tag", "If-None-Match: " + etag_, 304, ""},
      {"tag in a list", "If-None-Match: \"x\", W/" + etag_, 304, ""},
      {"star", "If-None-Match: *", 304, ""},
      {"other tag", "If-None-Match: \"x\"", 200, rec},
      {"not newer", "If-Modified-Since: Tue, 14 Nov 2023 22:13:20 GMT", 304, ""},
      {"newer", "If-Modified-Since: Tue, 14 Nov 2023 22:13:19 GMT", 200, rec},
      {"malformed date", "If-Modified-Since: 1700000000", 200, rec},
      {"tag decides over date",
       "If-None-Match: \"x\"\r\nIf-Modified-Since: "
       "Tue, 14 Nov 2023 22:13:20 GMT",
       200, rec},
      {"If-Range current tag", "Range: bytes=10-19\r\nIf-Range: " + etag_, 206, rec.substr(10, 10)},
      {"If-Range Last-Modified", "Range: bytes=10-19\r\nIf-Range: 1700000000", 206,
       rec.substr(10, 10)},
      {"If-Range stale", "Range: bytes=10-19\r\nIf-Range: \"old\"", 200, rec},
      {"stale If-Range beats 416", "Range: bytes=5000-\r\nIf-Range: \"old\"", 200, rec},
      {"current If-Range keeps 416", "Range: bytes=5000-\r\nIf-Range: " + etag_, 416, ""},
      {"If-Range without Range", "If-Range: \"old\"", 200, rec},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    http_response got = srv_.get("/movies/rec.bin", r.headers + "\r\n");
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.body, r.body);
    if (r.status == 304) {
      EXPECT_EQ(got.status_line, "HTTP/1.1 304 Not Modified");
      EXPECT_EQ(names(got), (std::vector<std::string>{"SERVER", "DATE", "ETag", "Connection"}));
      EXPECT_EQ(got.header("ETag"), etag_);
    } else if (r.status != 416) {
      EXPECT_EQ(got.header("ETag"), etag_);
      EXPECT_EQ(got.header("Last-Modified"), "1700000000");
    }
  }
}

// A 304 has no body whatever its method, and the connection goes on behind it.
TEST_F(Validators, NotModifiedKeepsTheConnection) {
  http_client c(srv_.port());
  http_response r;
  for (const char* method : {"GET", "HEAD"}) {
    SCOPED_TRACE(method);
    ASSERT_TRUE(c.send(std::string(method) +
                       " /movies/rec.bin HTTP/1.1\r\nIf-None-Match: " + etag_ + "\r\n\r\n"));
    ASSERT_TRUE(c.read_response(&r, true));
    EXPECT_EQ(r.status, 304);
    EXPECT_EQ(r.header("Connection"), "keep-alive");
  }
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  ASSERT_TRUE(c.send("GET /movies/rec.bin HTTP/1.0\r\nIf-None-Match: " + etag_ + "\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r, true));
  EXPECT_EQ(r.status, 304);
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_TRUE(c.closed_by_peer());
}

// Rewritten within the same second: Last-Modified cannot tell, the ETag must.
TEST_F(Validators, EtagFollowsARewriteWithinOneSecond) {
  tree_.set_mtime("media/rec.bin", 1700000000, 100000000);
  const http_response a = srv_.get("/movies/rec.bin");
  tree_.set_mtime("media/rec.bin", 1700000000, 300000000);
  const http_response b = srv_.get("/movies/rec.bin");
  EXPECT_EQ(a.header("Last-Modified"), b.header("Last-Modified"));
  EXPECT_NE(a.header("ETag"), b.header("ETag"));
  EXPECT_NE(a.header("ETag"), etag_);
  // The old tag no longer validates, so the client gets the new bytes.
  EXPECT_EQ(srv_.get("/movies/rec.bin", "If-None-Match: " + a.header("ETag") + "\r\n").status, 200);
}

TEST_F(Validators, GzipListingsUnpackToThePlainPage) {
  // Names of scrambled digits, so that even gzip'd the page spans several output blocks; short
  // enough for a path below Windows' 260 characters.
  uint64_t seed = 42;
  for (int i = 0; i < 2000; ++i) {
    std::string name = "media/many/";
    for (int k = 0; k < 100; ++k) {
      seed = seed * 6364136223846793005u + 1442695040888963407u;
      name += "0123456789abcdef"[seed >> 60];
    }
    tree_.file(name, "x");
  }
  const char* gz = "Accept-Encoding: gzip, deflate\r\n";
  // Held and sent from the first pass; then, with nothing held, compressed again as it is sent.
  for (int hold : {16, 0}) {
    gzip_hold_blocks = hold;
    for (const char* target : {"/movies/films/", "/movies/many/", "/movies/many/?format=json"}) {
      SCOPED_TRACE(std::string(target) + " holding " + std::to_string(hold));
      const http_response plain = srv_.get(target);
      const http_response packed = srv_.get(target, gz);
      ASSERT_EQ(plain.status, 200);
      ASSERT_EQ(packed.status, 200);
      EXPECT_EQ(packed.header("Content-Encoding"), "gzip");
      EXPECT_EQ(packed.header("Vary"), "Accept-Encoding");
      EXPECT_EQ(packed.header("Content-Type"), plain.header("Content-Type"));
      EXPECT_EQ(packed.header("Content-Length"), std::to_string(packed.body.size()));
      EXPECT_LT(packed.body.size(), plain.body.size());
      EXPECT_EQ(gunzip(packed.body), plain.body);

      http_client c(srv_.port());
      ASSERT_TRUE(c.send(std::string("HEAD ") + target + " HTTP/1.1\r\n" + gz + "\r\n"));
      http_response head;
      ASSERT_TRUE(c.read_response(&head, true));
      EXPECT_EQ(lines_but_date(head), lines_but_date(packed));
      // No body bytes may follow the head.
      ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\n"));
      ASSERT_TRUE(c.read_response(&head));
      EXPECT_EQ(head.body, "i am ok!");
    }
  }
  EXPECT_GT(srv_.get("/movies/many/", gz).body.size(), 65536u) << "must span output blocks";
  // Not gzip'd, a page too large for one piece goes out behind a head of its own: it too says
  // that it depends on Accept-Encoding.
  const http_response plain = srv_.get("/movies/many/");
  EXPECT_GT(plain.body.size(), 65536u);
  EXPECT_EQ(plain.header("Vary"), "Accept-Encoding");
}

// Without these headers, or with gzip refused, a listing is the renderer's page with no coding,
// but still says that it depends on Accept-Encoding, or a shared cache could hand it to a
// client that asked for gzip; files are never compressed.
TEST_F(Validators, WithoutTheHeadersTheAnswerIsUnchanged) {
  const std::vector<std::string> listing_head{
      "SERVER", "DATE", "Content-Length", "Content-Type", "Accept-Ranges", "Vary", "Connection"};
  for (const char* extra : {"", "Accept-Encoding: gzip;q=0, br\r\n", "Accept-Encoding: \r\n"}) {
    SCOPED_TRACE(extra);
    const http_response page = srv_.get("/movies/films/", extra);
    EXPECT_EQ(names(page), listing_head);
    EXPECT_EQ(page.header("Vary"), "Accept-Encoding");
    EXPECT_EQ(page.body, kobas_listing_html("movies", "films"));
    const http_response json = srv_.get("/movies/films/?format=json&limit=1", extra);
    EXPECT_EQ(names(json), listing_head);
    EXPECT_EQ(json.body, kobas_listing_json("movies", "films", 0, 1));
  }
  const http_response file = srv_.get("/movies/rec.bin", "Accept-Encoding: gzip\r\n");
  EXPECT_FALSE(file.has_header("Content-Encoding"));
  EXPECT_FALSE(file.has_header("Vary"));
  EXPECT_EQ(file.body, content_);
}

}  // namespace
