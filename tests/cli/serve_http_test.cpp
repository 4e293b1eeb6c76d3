// A running serve child seen from a real HTTP client (curl): a whole file, a byte range and the
// liveness endpoint, with the bytes compared; and a server that keeps serving after its standard
// input has ended, until a signal stops it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "fs_fixture.h"
#include "http_client.h"
#include "serve_session.h"

namespace {

struct http_answer {
  int exit_status = -1;
  std::string status_line;
  std::string head;
  std::string body;
};

// Fetches URL with curl, head and body on standard output, split at the blank line.
http_answer curl_get(const std::string& curl, const std::string& url,
                     const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"-s", "-S", "--max-time", "10", "-D", "-", "-o", "-"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(url);
  child_process c(curl, args);
  http_answer a;
  std::string out, err;
  a.exit_status = c.finish(out, err);
  size_t end_of_head = out.find("\r\n\r\n");
  if (end_of_head == std::string::npos) return a;
  a.head = out.substr(0, end_of_head + 2);
  a.body = out.substr(end_of_head + 4);
  a.status_line = a.head.substr(0, a.head.find("\r\n"));
  return a;
}

// Ten-byte records labelled by their index, so a body from the wrong offset shows at once.
std::string numbered_records(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    char rec[16];
    std::snprintf(rec, sizeof rec, "rec%05d.\n", i);
    text += rec;
  }
  return text;
}

}  // namespace

TEST(ServeHttp, CurlFetchesFilesRangesAndPing) {
  const std::string curl = find_on_path("curl");
  if (curl.empty()) GTEST_SKIP() << "curl is not installed; the HTTP checks need a real client";
  temp_tree t;
  const std::string content = numbered_records(100);  // 1,000 bytes
  t.file("media/data.txt", content);
  serve_session s({"--root", "music=" + t.path("media")});
  ASSERT_NE(s.port, 0) << s.listening;
  const std::string base = "http://127.0.0.1:" + std::to_string(s.port);

  http_answer whole = curl_get(curl, base + "/music/data.txt");
  EXPECT_EQ(whole.exit_status, 0);
  EXPECT_EQ(whole.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(whole.body, content);

  http_answer part = curl_get(curl, base + "/music/data.txt", {"-r", "100-199"});
  EXPECT_EQ(part.exit_status, 0);
  EXPECT_EQ(part.status_line.substr(0, 12), "HTTP/1.1 206");
  EXPECT_NE(part.head.find("Content-Range: bytes 100-199/1000\r\n"), std::string::npos)
      << part.head;
  EXPECT_EQ(part.body, content.substr(100, 100));

  http_answer ping = curl_get(curl, base + "/api/ping");
  EXPECT_EQ(ping.exit_status, 0);
  EXPECT_EQ(ping.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(ping.body, "i am ok!");

  // A root added through the console is served at once; a removed one is gone.
  EXPECT_EQ(s.ask("add more=" + t.path("media")), "add 0 ");
  EXPECT_EQ(curl_get(curl, base + "/more/data.txt").body, content);
  EXPECT_EQ(s.ask("remove more"), "remove 0 ");
  EXPECT_EQ(curl_get(curl, base + "/more/data.txt").status_line.substr(0, 12), "HTTP/1.1 404");
  s.quit_cleanly();
}

TEST(ServeHttp, KeepsServingAfterEndOfInputUntilASignal) {
  const std::string curl = find_on_path("curl");
  if (curl.empty()) GTEST_SKIP() << "curl is not installed; the HTTP checks need a real client";
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  EXPECT_EQ(s.ask("status"), s.status_line() + "0");
  s.child.close_stdin();

  http_answer ping = curl_get(curl, "http://127.0.0.1:" + std::to_string(s.port) + "/api/ping");
  EXPECT_EQ(ping.exit_status, 0);
  EXPECT_EQ(ping.body, "i am ok!");
  // Still running: no exit status yet, then an orderly stop on the signal.
  EXPECT_EQ(s.child.wait_exit(0), k_child_timed_out);

  ASSERT_TRUE(s.child.send_signal(SIGTERM));
  std::string out, err;
  EXPECT_EQ(s.child.finish(out, err), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
}

// quit does not wait for the clients the server holds: idle keep-alive connections, and ones
// that never sent a byte, are closed at once instead of at the end of their 30 s of silence.
TEST(ServeHttp, QuitDoesNotWaitForIdleClients) {
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  std::vector<std::unique_ptr<http_client>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<http_client>(s.port));
    if (i % 2 == 1) continue;
    http_response r;
    ASSERT_TRUE(idle.back()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(idle.back()->read_response(&r));
  }
  const auto before = std::chrono::steady_clock::now();
  s.quit_cleanly();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  for (auto& c : idle) EXPECT_TRUE(c->closed_by_peer());
}
