// Hostile request targets against a live server: dot segments at every position in plain,
// encoded, double-encoded and overlong UTF-8 forms, every spelling of a separator, control and
// zero bytes, absolute forms, over-long segments, and links that lead out of a root or into it.
// A canary file lies outside every root: no answer may carry its bytes or its name.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "server_harness.h"

namespace {

constexpr std::string_view CANARY = "CANARY-7f3a9c-outside-every-root";

class Traversal : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.file("outside/canary.txt", CANARY);
    // A sibling whose name extends the root's: a prefix test on paths would let it in.
    tree_.file("root2/canary.txt", CANARY);
    // A hidden folder inside a root is never listed, so never served either.
    tree_.file("root/.ssh/id_rsa", CANARY);
    for (const auto& [rel, body] : inside_) tree_.file("root/" + rel, body);
    // Where the system makes no links (Wine), the hostile targets still run against the same
    // roots, "viasym" then being the root folder itself.
    std::string via = tree_.path("root");
    if (symlinks_supported()) {
      tree_.symlink("root/link_out", tree_.path("outside"));
      tree_.symlink("root/link_file", tree_.path("outside/canary.txt"));
      tree_.symlink("root/sub/up", "../../outside");
      tree_.symlink("root/sib", "../root2");
      tree_.symlink("root/link_in", "sub/deep.txt");
      via = tree_.symlink("rootlink", tree_.path("root"));
    }
    ASSERT_EQ(kobas_add_root("r", tree_.path("root").c_str()), 0) << kobas_last_error();
    ASSERT_EQ(kobas_add_root("viasym", via.c_str()), 0) << kobas_last_error();
    for (const auto& [rel, body] : inside_) bodies_.insert(body);
  }

  // Every request on its own connection, since refusals close it.
  http_response get(const std::string& target) {
    return http_once(srv_.port(), "GET " + target + " HTTP/1.1\r\n\r\n");
  }

  const std::vector<std::pair<std::string, std::string>> inside_ = {
      {"inside.txt", "inside-file"}, {"sub/deep.txt", "deep-file"}, {"a..b", "dots-inside"}};
  temp_tree tree_;
  running_server srv_;
  std::set<std::string> bodies_;
};

// The spellings an attacker tries for ".." and for "/".
const std::vector<std::string> DOTS = {"..",    "%2e%2e",     "%2E%2E",       ".%2e",
                                       "%2e.",  "%252e%252e", "%c0%ae%c0%ae", "%e0%80%ae.",
                                       "..%00", "..%01",      ".%2e%20",      "...."};
const std::vector<std::string> SLASHES = {"/",   "%2f",   "%2F",    "%252f", "%c0%af",   "\\",
                                          "%5c", "%255c", "%c1%9c", "//",    "%e0%80%af"};

std::vector<std::string> hostile_targets(const std::string& outside_abs) {
  std::vector<std::string> t;
  for (const std::string& d : DOTS) {
    for (const std::string& s : SLASHES) {
      std::string up = d + s;
      t.push_back("/r/" + up + up + "outside" + s + "canary.txt");
      t.push_back("/viasym/sub/" + up + up + up + "outside" + s + "canary.txt");
    }
  }
  // ".." at every position of a deep path, one to four times.
  const std::vector<std::string> segs = {"r", "sub", "x", "y", "z"};
  for (size_t at = 0; at <= segs.size(); ++at) {
    for (int k = 1; k <= 4; ++k) {
      std::string p;
      for (size_t i = 0; i < segs.size(); ++i) {
        if (i == at)
          for (int j = 0; j < k; ++j) p += "/..";
        p += "/" + segs[i];
      }
      if (at == segs.size())
        for (int j = 0; j < k; ++j) p += "/..";
      t.push_back(p + "/outside/canary.txt");
      t.push_back(p + "/root2/canary.txt");
    }
  }
  const std::vector<std::string> fixed = {
      // Absolute forms and targets that do not start with a root name.
      outside_abs,
      "/r/" + outside_abs,
      "/r/%2f" + outside_abs.substr(1),
      "/" + outside_abs,
      "/r//" + outside_abs,
      "http://127.0.0.1/r/../outside/canary.txt",
      "r/inside.txt",
      "*",
      "/../outside/canary.txt",
      "/..",
      "/.",
      "/%2e%2e/outside/canary.txt",
      "/R/inside.txt",
      // Zero and control bytes, raw and encoded.
      "/r/inside.txt%00.png",
      "/r/inside.txt%00",
      "/r/%00/../outside",
      "/r/a%0d%0aX:y",
      std::string("/r/inside.txt\0/../x", 19),
      "/r/\t../outside",
      "/r/\x01",
      "/r/%7f/..",
      "/r/..\x7f/outside/canary.txt",
      "/r/%ff%fe/../..",
      // Links inside the root that lead out of it, and a sibling behind a prefix.
      "/r/link_out/canary.txt",
      "/r/link_out/",
      "/r/link_out?format=json",
      "/r/link_file",
      "/r/sub/up/canary.txt",
      "/r/sub/up/",
      "/r/sib/canary.txt",
      "/r/sib/",
      "/viasym/link_out/canary.txt",
      "/viasym/link_file",
      "/viasym/sub/up/canary.txt",
      "/viasym/../outside/canary.txt",
      "/rootlink/../outside/canary.txt",
      // Hidden names, and the spellings Windows trims to something else (a segment ending in
      // a space or a dot), in front of and on links that lead out.
      "/r/.ssh/id_rsa",
      "/r/%2essh/id_rsa",
      "/r/.ssh/",
      "/r/.ssh/?format=json",
      "/r/%20/link_out/canary.txt",
      "/r/.%20/link_out/canary.txt",
      "/r/sub%20/up/canary.txt",
      "/r/link_out./canary.txt",
      "/r/link_out%20/canary.txt",
      "/r/link_out%20/",
      "/r/link_file.",
      "/r/link_file%20",
      "/r/link_out%20//",
      // Dots that are not segments, queries that look like paths, doubled slashes.
      "/r/./inside.txt",
      "/r/sub/./../inside.txt",
      "/r//../outside/canary.txt",
      "/r/inside.txt?../../outside/canary.txt",
      "/r/?format=json&cursor=../..",
      "/r/inside.txt/..",
      "/r/inside.txt/../../outside/canary.txt",
      "/r/...",
      "/r/.../..",
      // Over-long segments and paths, near and past every bound.
      "/r/" + std::string(300, 'a'),
      "/r/" + std::string(255, 'a') + "/../../outside",
      "/" + std::string(160, 'r') + "/inside.txt",
      "/r/" + std::string(1899, 'x'),
      "/r/" + std::string(1900, 'x'),
      "/r/" + std::string(2100, '.'),
  };
  t.insert(t.end(), fixed.begin(), fixed.end());
  std::string deep = "/r";
  while (deep.size() < 2000) deep += "/..";
  t.push_back(deep + "/outside/canary.txt");
  std::string enc = "/r";
  while (enc.size() < 2000) enc += "/%2e%2e";
  t.push_back(enc);
  return t;
}

TEST_F(Traversal, NoAnswerCarriesAByteFromOutside) {
  std::vector<std::string> targets = hostile_targets(tree_.path("outside/canary.txt"));
  ASSERT_GE(targets.size(), 100u);
  int refused = 0;
  for (const std::string& target : targets) {
    SCOPED_TRACE(target.substr(0, 120));
    http_response r = get(target);
    ASSERT_NE(r.status, 0) << "no answer";
    EXPECT_EQ(r.body.find(CANARY), std::string::npos);
    EXPECT_EQ(r.body.find("canary"), std::string::npos);
    if (r.status == 200) {
      // A folder page of the root or below it, or the bytes of a file that lives inside.
      std::string type = r.header("Content-Type");
      if (type.rfind("text/html", 0) == 0) {
        EXPECT_NE(r.body.find("<title>Index of /r"), std::string::npos);
      } else if (type != "application/json") {
        EXPECT_EQ(bodies_.count(r.body), 1u) << r.body.substr(0, 80);
      }
    } else {
      EXPECT_TRUE(r.status == 400 || r.status == 404) << r.status_line;
      ++refused;
    }
  }
  // Nearly every row must be refused; the few that reach a file stay inside.
  EXPECT_GE(refused, static_cast<int>(targets.size()) - 4);
}

// The same fixture answers honest requests, so the refusals above are not a dead server.
TEST_F(Traversal, HonestPathsAndLinksInsideAreServed) {
  struct row {
    const char* target;
    int status;
    const char* body;
  };
  const row rows[] = {
    {"/r/inside.txt", 200, "inside-file"},
    {"/viasym/sub/deep.txt", 200, "deep-file"},
    {"/r/a..b", 200, "dots-inside"},
    {"/r/a%2e.b", 200, "dots-inside"},
    {"/r/link_in", 200, "deep-file"},
    {"/r/sub%2fdeep.txt", 200, "deep-file"},
    {"/r/link_out/canary.txt", 404, "not found\n"},
    {"/r/../r/inside.txt", 404, "not found\n"},
#if _WIN32
    // The file's default data stream under another name, a hidden stream, a drive.
    {"/r/inside.txt::$DATA", 404, "not found\n"},
    {"/r/inside.txt%3a%3a$DATA", 404, "not found\n"},
    {"/r/inside.txt:x", 404, "not found\n"},
    {"/r/sub:x/deep.txt", 404, "not found\n"},
    {"/r/C:/x", 404, "not found\n"},
    // Device names are refused before anything is opened.
    {"/r/COM3", 404, "not found\n"},
    {"/r/sub/lpt1.mp3", 404, "not found\n"},
    {"/r/x/aux%20", 404, "not found\n"},
    {"/r/nul.txt", 404, "not found\n"},
#endif
  };
  for (const row& rr : rows) {
    SCOPED_TRACE(rr.target);
    if (std::string_view(rr.target) == "/r/link_in" && !symlinks_supported()) continue;
    http_response r = get(rr.target);
    EXPECT_EQ(r.status, rr.status);
    EXPECT_EQ(r.body, rr.body);
  }
}

}  // namespace
