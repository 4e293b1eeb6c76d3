// A running serve child seen from a real HTTP client (curl): a whole file, a byte range and the
// liveness endpoint, with the bytes compared; a server that keeps serving after its standard
// input has ended, until a signal stops it, or when it touches its terminal from the background;
// the access log on standard error; the key from a file or the environment.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
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

// --access-log: one Common Log Format line per answer on standard error, the duration after it;
// standard output carries the console protocol alone.
TEST(ServeHttp, AccessLogWritesOneLinePerAnswerOnStandardError) {
  serve_session s({"--access-log"});
  ASSERT_NE(s.port, 0) << s.listening;
  constexpr int total = 1000;
  // The 1,000th answer of a connection says "Connection: close" and is five bytes shorter.
  std::vector<size_t> answer_bytes;
  {
    http_client c(s.port);
    for (int i = 0; i < total; ++i) {
      ASSERT_TRUE(c.send("GET /api/ping?n=" + std::to_string(i) + " HTTP/1.1\r\n\r\n"));
      http_response r;
      ASSERT_TRUE(c.read_response(&r));
      size_t n = r.status_line.size() + 4 + r.body.size();
      for (const auto& [name, value] : r.headers) n += name.size() + value.size() + 4;
      answer_bytes.push_back(n);
    }
  }
  EXPECT_EQ(s.ask("status"), s.status_line() + "0");
  s.child.write("quit\n");
  std::string out, err;
  EXPECT_EQ(s.child.finish(out, err), 0);
  EXPECT_EQ(out, "");
  const std::regex line(
      R"(127\.0\.0\.1 - - \[\d\d/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4})"
      R"(:\d\d:\d\d:\d\d \+0000\] "GET /api/ping\?n=(\d+) HTTP/1\.1" 200 (\d+) \d+\.\d{6})");
  std::istringstream lines(err);
  std::string text;
  int count = 0;
  while (std::getline(lines, text)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    ASSERT_LT(count, total);
    EXPECT_EQ(m[2], std::to_string(count));
    EXPECT_EQ(m[3], std::to_string(answer_bytes[static_cast<size_t>(count)]));
    ++count;
  }
  EXPECT_EQ(count, total);
}

// The key read from a file or the environment instead of the command line, presented the way
// browsers and players do (Basic, any user name) or as Bearer; 401 offers both.
TEST(ServeHttp, KeyFromFileOrEnvironmentTakesBasicAndBearer) {
  temp_tree t;
  const std::string key_file = t.file("key.txt", "\xEF\xBB\xBFs3cret\r\nsecond line\n");
  const std::string basic = "Authorization: Basic YW55OnMzY3JldA==\r\n";  // any:s3cret
  const auto status = [](int port, const std::string& header) {
    return http_once(port, "GET /api/ping HTTP/1.1\r\n" + header + "\r\n").status;
  };
  {
    serve_session s({"--require-key-file", key_file});
    ASSERT_NE(s.port, 0) << s.listening;
    EXPECT_EQ(status(s.port, basic), 200);
    EXPECT_EQ(status(s.port, "Authorization: Bearer s3cret\r\n"), 200);
    const http_response refused = http_once(s.port, "GET /api/ping HTTP/1.1\r\n\r\n");
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.header("WWW-Authenticate"), "Basic realm=\"tandrill-kobas\"");
    EXPECT_EQ(status(s.port, "Authorization: Basic YW55Ondyb25n\r\n"), 401);  // any:wrong
    s.quit_cleanly();
  }
  const run_result missing =
      run_kobas({"serve", "--bind", "127.0.0.1", "--require-key-file", t.path("none")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "key: cannot read " + t.path("none") + "\n");

#if defined(_WIN32)
  _putenv_s("KOBAS_KEY", "s3cret");
#else
  setenv("KOBAS_KEY", "s3cret", 1);
#endif
  {
    serve_session from_env;
    // The command line wins over the environment.
    serve_session from_option({"--require-key", "other"});
    ASSERT_NE(from_env.port, 0) << from_env.listening;
    EXPECT_EQ(status(from_env.port, basic), 200);
    EXPECT_EQ(status(from_env.port, ""), 401);
    EXPECT_EQ(status(from_option.port, basic), 401);
    EXPECT_EQ(status(from_option.port, "Authorization: Bearer other\r\n"), 200);
    from_env.quit_cleanly();
    from_option.quit_cleanly();
  }
#if defined(_WIN32)
  _putenv_s("KOBAS_KEY", "");
#else
  unsetenv("KOBAS_KEY");
#endif
}

#if defined(SIGTTIN)
// Started with "&" from an interactive shell, the server reads its console from a terminal it
// does not have in its foreground: the system then sends SIGTTIN (and SIGTTOU for a write, with
// "stty tostop"), which would stop the whole process and every answer with it.
TEST(ServeHttp, TerminalSignalsOfTheBackgroundDoNotStopIt) {
  serve_session s;
  ASSERT_NE(s.port, 0) << s.listening;
  ASSERT_TRUE(s.child.send_signal(SIGTTIN));
  ASSERT_TRUE(s.child.send_signal(SIGTTOU));
  EXPECT_EQ(http_once(s.port, "GET /api/ping HTTP/1.1\r\n\r\n").body, "i am ok!");
  EXPECT_EQ(s.ask("status"), s.status_line() + "0");
  s.quit_cleanly();
}
#endif
