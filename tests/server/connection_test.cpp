// The HTTP connection as a client sees it: the fixed endpoints, the refusals of the reader,
// methods and the access key, keep-alive and its limits, pipelining and request bodies.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "server_harness.h"

namespace {

using namespace std::string_literals;

std::vector<std::string> header_names(const http_response& r) {
  std::vector<std::string> out;
  for (const auto& h : r.headers) out.push_back(h.first);
  return out;
}

const std::vector<std::string> SMALL_ANSWER_WITH_TYPE = {
    "SERVER", "DATE", "Content-Length", "Content-Type", "Accept-Ranges", "Connection"};
const std::vector<std::string> SMALL_ANSWER_NO_TYPE = {"SERVER", "DATE", "Content-Length",
                                                       "Accept-Ranges", "Connection"};

TEST(ApiEndpoints, PingHeadInOrder) {
  running_server srv;
  http_response r = srv.get("/api/ping");
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(header_names(r), SMALL_ANSWER_WITH_TYPE);
  EXPECT_EQ(r.header("SERVER"), "tandrill-kobas/1.0.0");
  EXPECT_TRUE(std::regex_match(
      r.header("DATE"), std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                                   "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 20[0-9]{2} "
                                   "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT")))
      << r.header("DATE");
  EXPECT_EQ(r.header("Content-Length"), "8");
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_EQ(r.header("Accept-Ranges"), "bytes");
  EXPECT_EQ(r.header("Connection"), "keep-alive");
  EXPECT_EQ(r.body, "i am ok!");
}

TEST(ApiEndpoints, Table) {
  running_server srv;
  struct row {
    const char* target;
    int status;
    const char* type;
    const char* body;
  };
  const row rows[] = {
      {"/api/ping", 200, "text/plain", "i am ok!"},
      {"/API/PING", 200, "text/plain", "i am ok!"},
      {"/Api/Version", 200, "text/plain", "3.1.0.0"},
      {"/api/folders", 200, "application/json", "{}"},
      {"/api/ping/", 404, "text/plain", "not found\n"},
      {"/api/pingx", 404, "text/plain", "not found\n"},
      {"/api/", 404, "text/plain", "not found\n"},
      {"/api", 404, "text/plain", "not found\n"},  // a root named "api"
      {"/", 404, "text/plain", "not found\n"},
      {"api/ping", 404, "text/plain", "not found\n"},
      {"", 404, "text/plain", "not found\n"},
      {"/nosuchroot/a.mkv", 404, "text/plain", "not found\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.target);
    http_response got = srv.get(r.target);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.header("Content-Type"), r.type);
    EXPECT_EQ(got.body, r.body);
    EXPECT_EQ(got.header("Content-Length"), std::to_string(got.body.size()));
  }
}

TEST(ApiEndpoints, FoldersListsRootsInOrder) {
  temp_tree t;
  t.dir("m1");
  t.dir("m2");
  running_server srv;
  ASSERT_EQ(kobas_add_root("movies", t.path("m1").c_str()), 0) << kobas_last_error();
  ASSERT_EQ(kobas_add_root("music", t.path("m2").c_str()), 0) << kobas_last_error();
  http_response r = srv.get("/api/folders");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.body, "{\"movies\":\"\",\"music\":\"\"}");
}

TEST(ApiEndpoints, HeadVersionHasLengthAndNoBody) {
  running_server srv;
  http_client c(srv.port());
  ASSERT_TRUE(c.send("HEAD /api/version HTTP/1.1\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_response(&r, true));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Length"), "7");
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  // Whatever follows on the connection must be the next answer, not a stray body.
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.body, "i am ok!");
}

TEST(ReaderRefusals, StatusAndClose) {
  running_server srv;
  struct row {
    std::string request;
    const char* status_line;
  };
  const row rows[] = {
      {std::string(16, 'G') + " / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /" + std::string(2047, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /?" + std::string(512, 'q') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /a%zz HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /a%00b HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /\0 HTTP/1.1\r\n\r\n"s, "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported"},
      {"GET / http/1.1\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported"},
      {"GET / HTTP/1.1 \r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported"},
      {"GET / HTTP/1.1\r\nX: " + std::string(32768 - 19, 'x'),
       "HTTP/1.1 431 Request Header Fields Too Large"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.request.substr(0, 60));
    http_client c(srv.port());
    ASSERT_TRUE(c.send(r.request));
    http_response got;
    ASSERT_TRUE(c.read_response(&got));
    EXPECT_EQ(got.status_line, r.status_line);
    EXPECT_EQ(header_names(got), SMALL_ANSWER_NO_TYPE);
    EXPECT_EQ(got.header("Content-Length"), "0");
    EXPECT_EQ(got.header("Connection"), "close");
    EXPECT_EQ(got.body, "");
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST(ReaderRefusals, LargeHeadWithBlankLineIsAccepted) {
  running_server srv;
  // 32,000 bytes in all, blank line included.
  std::string head = "GET /api/ping HTTP/1.1\r\nX: ";
  head += std::string(32000 - head.size() - 4, 'x') + "\r\n\r\n";
  ASSERT_EQ(head.size(), 32000u);
  http_response r = http_once(srv.port(), head);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "i am ok!");
}

TEST(ReaderRefusals, QueryOf511BytesPasses) {
  running_server srv;
  http_response r = srv.get("/api/ping?" + std::string(511, 'q'));
  EXPECT_EQ(r.status, 200);
}

TEST(Methods, OnlyGetAndHead) {
  running_server srv;
  for (const char* m : {"PUT", "POST", "DELETE", "OPTIONS", "get", "Head"}) {
    SCOPED_TRACE(m);
    http_response r = http_once(srv.port(), std::string(m) + " /api/ping HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.status_line, "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(r.header_lines()[4], "Allow: GET, HEAD");
    EXPECT_EQ(header_names(r), (std::vector<std::string>{"SERVER", "DATE", "Content-Length",
                                                         "Accept-Ranges", "Allow", "Connection"}));
    EXPECT_EQ(r.header("Content-Length"), "0");
    EXPECT_FALSE(r.has_header("Content-Type"));
    EXPECT_EQ(r.header("Connection"), "keep-alive");
  }
}

// Runs as one test so the stored key's history is known: a key once set cannot be unset.
TEST(AccessKey, Rules) {
  running_server srv;
  kobas_config("require_key", "1");
  // No key stored yet: nothing may pass, not even an empty Bearer value.
  http_response refused = srv.get("/api/ping");
  EXPECT_EQ(refused.status, 401);
  // One challenge a line: Chromium takes no Basic challenge from a line that holds two.
  std::vector<std::string> challenges;
  for (const std::string& line : refused.header_lines()) {
    if (line.rfind("WWW-Authenticate: ", 0) == 0) challenges.push_back(line);
  }
  EXPECT_EQ(challenges, (std::vector<std::string>{
                            "WWW-Authenticate: Basic realm=\"tandrill-kobas\"",
                            "WWW-Authenticate: Bearer",
                        }));
  EXPECT_EQ(srv.get("/api/ping", "Authorization: Bearer \r\n").status, 401);

  ASSERT_EQ(kobas_config("server_key", "s3cret"), 0);
  struct row {
    const char* request;
    int status;
  };
  const row rows[] = {
      {"GET /api/ping HTTP/1.1\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Bearer s3cret\r\n\r\n", 200},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: bearer s3cret\r\n\r\n", 200},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Bearer S3CRET\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Bearer  s3cret\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Bearer s3cre\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Bearer s3crett\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic s3cret\r\n\r\n", 401},
      // Basic: base64 of "USER:KEY", any user; "any:s3cret", ":s3cret", "a:b:s3cret" (the
      // password starts after the first colon), "any:S3CRET", "s3cret", "any:s3cret:".
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic YW55OnMzY3JldA==\r\n\r\n", 200},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: basic YW55OnMzY3JldA\r\n\r\n", 200},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic OnMzY3JldA==\r\n\r\n", 200},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic YTpiOnMzY3JldA==\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic YW55OlMzQ1JFVA==\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic czNjcmV0\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic YW55OnMzY3JldDo=\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Basic YW55OnMzY3JldA=\r\n\r\n", 401},
      {"GET /api/ping HTTP/1.1\r\nAuthorization: Bearer YW55OnMzY3JldA==\r\n\r\n", 401},
      {"POST /api/ping HTTP/1.1\r\nAuthorization: Bearer s3cret\r\n\r\n", 405},
      {"POST /api/ping HTTP/1.1\r\n\r\n", 401},
      {"GET /nosuch HTTP/1.1\r\n\r\n", 401},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.request);
    http_response got = http_once(srv.port(), r.request);
    EXPECT_EQ(got.status, r.status);
    if (r.status == 401) {
      EXPECT_EQ(got.status_line, "HTTP/1.1 401 Unauthorized");
      EXPECT_EQ(got.header("Content-Type"), "text/plain");
      EXPECT_EQ(got.body, "unauthorized\n");
    }
  }
  kobas_config("require_key", "0");
  EXPECT_EQ(srv.get("/api/ping").status, 200);
}

TEST(PathShape, RootNameAndRemainderLimits) {
  temp_tree t;
  t.dir("films");
  running_server srv;
  ASSERT_EQ(kobas_add_root("films", t.path("films").c_str()), 0) << kobas_last_error();
  http_response r = srv.get("/films/" + std::string(1900, 'a'));
  EXPECT_EQ(r.status_line, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_EQ(r.body, "bad request\n");
  r = srv.get("/films/" + std::string(1899, 'a'));
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "not found\n");
  r = srv.get("/" + std::string(160, 'n'));
  EXPECT_EQ(r.status, 404);
  r = srv.get("/films/../films");
  EXPECT_EQ(r.status, 404);
}

TEST(KeepAlive, Http10AnswersThenCloses) {
  running_server srv;
  http_client c(srv.port());
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.0\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_TRUE(c.closed_by_peer());
}

TEST(KeepAlive, ConnectionCloseHeaderCloses) {
  running_server srv;
  http_client c(srv.port());
  http_response r;
  // The request behind it, already sent, is not answered.
  ASSERT_TRUE(
      c.send("GET /api/ping HTTP/1.1\r\nConnection: close\r\n\r\n"
             "GET /api/version HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_TRUE(c.closed_by_peer());
}

// A malformed head gets one 400 and the close; whatever followed it, a declared body shaped
// like a request included, is never answered.
TEST(KeepAlive, MalformedHeadIsRefusedOnceAndCloses) {
  running_server srv;
  const char* const heads[] = {
      "POST /api/ping HTTP/1.1\r\nContent-Length : 30\r\n\r\n",
      "POST /api/ping HTTP/1.1\r\nX-A: 1\r\n Content-Length: 30\r\n\r\n",
      "POST /api/ping HTTP/1.1\r\nX-A: 1\nContent-Length: 30\r\n\r\n",
      "POST /api/ping HTTP/1.1\r\nContent-Length 30\r\n\r\n",
  };
  for (const char* head : heads) {
    SCOPED_TRACE(head);
    http_client c(srv.port());
    ASSERT_TRUE(c.send(std::string(head) + "GET /api/version HTTP/1.1\r\n\r\n"));
    http_response r;
    ASSERT_TRUE(c.read_response(&r));
    EXPECT_EQ(r.status_line, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(r.header("Connection"), "close");
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST(KeepAlive, ThousandRequestsThenClose) {
  running_server srv;
  http_client c(srv.port());
  http_response r;
  for (int i = 1; i <= 1000; ++i) {
    ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\n")) << i;
    ASSERT_TRUE(c.read_response(&r)) << i;
    ASSERT_EQ(r.status, 200) << i;
    // The 1,000th answer announces the close that follows it.
    ASSERT_EQ(r.header("Connection"), i < 1000 ? "keep-alive" : "close") << i;
  }
  EXPECT_TRUE(c.closed_by_peer());
}

TEST(Pipelining, RequestsInOneWriteAnsweredInOrder) {
  running_server srv;
  http_client c(srv.port());
  ASSERT_TRUE(
      c.send("GET /api/ping HTTP/1.1\r\n\r\n"
             "GET /api/version HTTP/1.1\r\n\r\n"
             "HEAD /api/ping HTTP/1.1\r\n\r\n"
             "GET /api/nothing HTTP/1.1\r\n\r\n"
             "GET /api/folders HTTP/1.0\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "3.1.0.0");
  ASSERT_TRUE(c.read_response(&r, true));
  EXPECT_EQ(r.header("Content-Length"), "8");
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.status, 404);
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "{}");
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_TRUE(c.closed_by_peer());
}

TEST(Pipelining, HeadSplitAcrossWrites) {
  running_server srv;
  http_client c(srv.port());
  http_response r;
  // The first write ends one request and starts the next; the rest comes later.
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\nGET /api/ver"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  ASSERT_TRUE(c.send("sion HTTP/1.1\r"));
  ASSERT_TRUE(c.send("\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "3.1.0.0");
}

TEST(RequestBody, DeclaredBodyIsDroppedAndNextRequestAnswered) {
  running_server srv;
  http_client c(srv.port());
  http_response r;
  // The body looks like a request: it must not be taken for one.
  std::string body = "GET /api/version HTTP/1.1\r\n\r\n";
  ASSERT_TRUE(c.send("POST /api/ping HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body + "GET /api/ping HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.header("Connection"), "keep-alive");
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
}

TEST(RequestBody, BodyArrivingLaterIsDropped) {
  running_server srv;
  http_client c(srv.port());
  http_response r;
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\nContent-Length: 100000\r\n\r\n"));
  std::string body(100000, 'b');
  ASSERT_TRUE(c.send(body));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  ASSERT_TRUE(c.send("GET /api/version HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "3.1.0.0");
}

TEST(RequestBody, UnreadableBodiesAnswerThenClose) {
  running_server srv;
  const char* heads[] = {
      "GET /api/ping HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
      "GET /api/ping HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n",
  };
  for (const char* head : heads) {
    SCOPED_TRACE(head);
    http_client c(srv.port());
    ASSERT_TRUE(c.send(head));
    http_response r;
    ASSERT_TRUE(c.read_response(&r));
    EXPECT_EQ(r.body, "i am ok!");
    EXPECT_EQ(r.header("Connection"), "close");
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST(RequestBody, ConflictingLengthsAnsweredThenClosed) {
  running_server srv;
  http_client c(srv.port());
  // Whatever follows cannot be told apart from the body, so nothing after it is served.
  ASSERT_TRUE(
      c.send("GET /api/ping HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n"
             "GET /api/version HTTP/1.1\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_EQ(r.body, "i am ok!");
  EXPECT_TRUE(c.closed_by_peer());
}

TEST(Silence, ClientThatSendsNothingGetsNothingYet) {
  running_server srv;
  http_client c(srv.port(), 300);
  http_response r;
  // Within the 30 s allowance the server neither answers nor closes.
  EXPECT_FALSE(c.read_response(&r));
  EXPECT_FALSE(c.closed_by_peer(300));
}

}  // namespace
