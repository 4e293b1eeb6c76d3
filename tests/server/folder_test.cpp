// Folder answers: the HTML index page by default, one page of the JSON listing with
// format=json, paging by cursor and limit, HEAD, and the redirect that adds a missing
// trailing slash.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "server_harness.h"

namespace {

class FolderAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.file("media/films/a.mkv", "aa");
    tree_.file("media/films/b.mkv", "bbb");
    tree_.dir("media/films/sub");
    tree_.dir("media/empty");
    char name[32];
    for (int i = 0; i < 600; ++i) {
      std::snprintf(name, sizeof name, "media/many/f%03d.txt", i);
      tree_.file(name, "x");
    }
    ASSERT_EQ(kobas_add_root("movies", tree_.path("media").c_str()), 0) << kobas_last_error();
  }

  bool has(const std::string& body, int index) const {
    char name[32];
    std::snprintf(name, sizeof name, "\"f%03d.txt\"", index);
    return body.find(name) != std::string::npos;
  }

  temp_tree tree_;
  running_server srv_;
};

TEST_F(FolderAnswer, HtmlPageAndItsSpellings) {
  http_response r = srv_.get("/movies/films/");
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_NE(r.body.find("a.mkv"), std::string::npos);
  EXPECT_NE(r.body.find("sub"), std::string::npos);
  for (const char* other :
       {"/movies/films/?format=html", "/movies/films/?format=xml", "/movies/films/?format=%zz"}) {
    SCOPED_TRACE(other);
    http_response o = srv_.get(other);
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(o.body, r.body);
  }
  // A Range header means nothing for a folder.
  http_response ranged = srv_.get("/movies/films/", "Range: bytes=0-1\r\n");
  EXPECT_EQ(ranged.status, 200);
  EXPECT_EQ(ranged.body, r.body);
}

// Without its trailing slash a page's relative links would resolve against the parent folder
// and lead to other files: the folder's own URL is given instead, for every form of the answer.
TEST_F(FolderAnswer, WithoutTrailingSlashRedirects) {
  const std::pair<const char*, const char*> cases[] = {
      {"/movies", "/movies/"},
      {"/movies/films", "/movies/films/"},
      {"/movies/films?format=json&limit=2", "/movies/films/?format=json&limit=2"},
      {"/movies/%66ilms", "/movies/%66ilms/"},
  };
  for (const auto& [target, location] : cases) {
    SCOPED_TRACE(target);
    for (const char* method : {"GET", "HEAD"}) {
      http_client c(srv_.port());
      ASSERT_TRUE(c.send(std::string(method) + " " + target + " HTTP/1.1\r\n\r\n"));
      http_response r;
      ASSERT_TRUE(c.read_response(&r, method[0] == 'H'));
      EXPECT_EQ(r.status_line, "HTTP/1.1 301 Moved Permanently");
      EXPECT_EQ(r.header("Location"), location);
      EXPECT_EQ(r.header("Connection"), "keep-alive");
      EXPECT_EQ(r.body, "");
    }
  }
  EXPECT_NE(srv_.get("/movies/").body.find("films"), std::string::npos);
}

TEST_F(FolderAnswer, JsonListing) {
  http_response r = srv_.get("/movies/films/?format=json");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.body.front(), '{');
  EXPECT_NE(r.body.find("\"a.mkv\""), std::string::npos);
  EXPECT_NE(r.body.find("\"sub\""), std::string::npos);
  EXPECT_EQ(srv_.get("/movies/films/?FORMAT=JSON").body, r.body);
  http_response empty = srv_.get("/movies/empty/?format=json");
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body.find("\"a.mkv\""), std::string::npos);
}

TEST_F(FolderAnswer, JsonPaging) {
  http_response first = srv_.get("/movies/many/?format=json");
  EXPECT_TRUE(has(first.body, 0));
  EXPECT_TRUE(has(first.body, 499));
  EXPECT_FALSE(has(first.body, 500));

  http_response page = srv_.get("/movies/many/?format=json&cursor=500&limit=100");
  EXPECT_FALSE(has(page.body, 499));
  EXPECT_TRUE(has(page.body, 500));
  EXPECT_TRUE(has(page.body, 599));

  http_response small = srv_.get("/movies/many/?format=json&cursor=10&limit=5");
  EXPECT_FALSE(has(small.body, 9));
  EXPECT_TRUE(has(small.body, 10));
  EXPECT_TRUE(has(small.body, 14));
  EXPECT_FALSE(has(small.body, 15));

  // Out-of-range and unreadable values fall back to the listing's own bounds.
  for (const char* q :
       {"&limit=0", "&limit=-3", "&limit=abc", "&limit=501", "&cursor=-7", "&cursor=x",
        "&limit="
        "1234567890123456789012345"}) {
    SCOPED_TRACE(q);
    EXPECT_EQ(srv_.get(std::string("/movies/many/?format=json") + q).body, first.body);
  }
}

TEST_F(FolderAnswer, HeadGivesLengthWithoutBody) {
  http_response full = srv_.get("/movies/films/?format=json");
  http_client c(srv_.port());
  ASSERT_TRUE(c.send("HEAD /movies/films/?format=json HTTP/1.1\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_response(&r, true));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Length"), std::to_string(full.body.size()));
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
}

// What is listed is what is served: every link of a page full of awkward names answers 200 with
// that entry's bytes; the names no request path can spell are left out.
TEST_F(FolderAnswer, EveryListedLinkIsServed) {
  std::vector<std::string> names = {"hash#", "pct%41", "sp ace", "amp&", "plus+"};
#if !_WIN32
  for (const char* n : {"q?mark", "latin\xE9", "colon:", "lt<gt>"}) names.emplace_back(n);
  for (const char* unservable : {"back\\slash", "tab\there", "nl\nhere", "cr\rhere"}) {
    tree_.file(std::string("media/names/") + unservable, "no");
  }
#endif
  for (const std::string& n : names) tree_.file("media/names/" + n, n);
  for (const char* format : {"?format=json", ""}) {
    SCOPED_TRACE(format);
    const std::string page = srv_.get(std::string("/movies/names/") + format).body;
    // The JSON page names each link "href", the HTML page each link's href attribute.
    const std::string key = format[0] != '\0' ? "\"href\":\"" : "<a href=\"";
    size_t served = 0;
    for (size_t at = page.find(key); at != std::string::npos; at = page.find(key, at)) {
      at += key.size();
      std::string href = page.substr(at, page.find('"', at) - at);
      if (href.rfind("./", 0) == 0) href.erase(0, 2);
      if (href == "../") continue;
      SCOPED_TRACE(href);
      const http_response r = srv_.get("/movies/names/" + href);
      EXPECT_EQ(r.status, 200);
      EXPECT_NE(r.body, "no");
      ++served;
    }
    EXPECT_EQ(served, names.size());
  }
}

TEST_F(FolderAnswer, LongPathAnswersInEveryForm) {
  std::string rel;
  for (int i = 0; i < 5; ++i)
    rel += (i > 0 ? "/" : "") + std::string(240, static_cast<char>('p' + i));
  tree_.dir("media/" + rel);
  ASSERT_LT(rel.size(), 1900u);
  http_response r = srv_.get("/movies/" + rel + "/");
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(r.body.find("<h1>Index of /movies/" + rel + "</h1>"), std::string::npos);
  EXPECT_EQ(srv_.get("/movies/" + rel + "/", "Accept-Encoding: gzip\r\n").status, 200);
  EXPECT_EQ(srv_.get("/movies/" + rel + "/?format=json").status, 200);
}

}  // namespace
