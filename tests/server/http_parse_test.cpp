// The request head parser, the query lookup and the date format, driven without a socket.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/http.h"

namespace {

using namespace std::string_literals;

struct head_row {
  std::string head;  // bytes before the blank line
  int want;          // 1 parsed, -1 refused
  int status;        // err_status when refused
};

std::string repeat(char c, size_t n) {
  return std::string(n, c);
}

TEST(RequestHead, AcceptedAndRefused) {
  const head_row rows[] = {
      {"GET / HTTP/1.1", 1, 0},
      {"GET / HTTP/1.0", 1, 0},
      {"get / HTTP/1.1", 1, 0},
      {"GET  HTTP/1.1", 1, 0},  // empty target: the handler decides
      {"GET / HTTP/2.0", -1, 505},
      {"GET / http/1.1", -1, 505},
      {"GET / HTTP/1.1 ", -1, 505},
      {"GET /a b HTTP/1.1", -1, 505},
      {"GET /", -1, 400},
      {"GET", -1, 400},
      {repeat('G', 15) + " / HTTP/1.1", 1, 0},
      {repeat('G', 16) + " / HTTP/1.1", -1, 400},
      {"GET /" + repeat('a', 2046) + " HTTP/1.1", 1, 0},
      {"GET /" + repeat('a', 2047) + " HTTP/1.1", -1, 400},
      {"GET /?" + repeat('q', 511) + " HTTP/1.1", 1, 0},
      {"GET /?" + repeat('q', 512) + " HTTP/1.1", -1, 400},
      {"GET /a%zz HTTP/1.1", -1, 400},
      {"GET /a% HTTP/1.1", 1, 0},  // a truncated escape stands for itself
      {"GET /a%00b HTTP/1.1", -1, 400},
      {"GET /a\0b HTTP/1.1"s, -1, 400},
  };
  for (const head_row& r : rows) {
    SCOPED_TRACE(r.head.size() > 80 ? r.head.substr(0, 80) + "..." : r.head);
    auto req = std::make_unique<http_request>();
    int status = -7;
    EXPECT_EQ(parse_request_head(r.head, req.get(), &status), r.want);
    if (r.want < 0) {
      EXPECT_EQ(status, r.status);
    }
  }
}

TEST(RequestHead, FieldsOfASimpleRequest) {
  auto req = std::make_unique<http_request>();
  int status = 0;
  ASSERT_EQ(parse_request_head("GET / HTTP/1.1", req.get(), &status), 1);
  EXPECT_STREQ(req->method, "GET");
  EXPECT_STREQ(req->path, "/");
  EXPECT_STREQ(req->target, "/");
  EXPECT_STREQ(req->query, "");
  EXPECT_EQ(req->keep_alive, 1);
  EXPECT_EQ(req->range, nullptr);
  EXPECT_EQ(req->authorization, nullptr);
  EXPECT_EQ(req->content_length, 0);
  EXPECT_EQ(req->body_length_unknown, 0);
}

TEST(RequestHead, DecodesPathAndKeepsQueryRaw) {
  auto req = std::make_unique<http_request>();
  int status = 0;
  ASSERT_EQ(
      parse_request_head("GET /My%20Films/a+b.mkv?format=json HTTP/1.0\r\nrange:   bytes=0-1  ",
                         req.get(), &status),
      1);
  EXPECT_STREQ(req->path, "/My Films/a+b.mkv");
  EXPECT_STREQ(req->target, "/My%20Films/a+b.mkv");
  EXPECT_STREQ(req->query, "format=json");
  EXPECT_EQ(req->keep_alive, 0);
  ASSERT_NE(req->range, nullptr);
  EXPECT_STREQ(req->range.get(), "bytes=0-1");
}

TEST(RequestHead, HeaderCapture) {
  struct row {
    std::string headers;
    const char* range;  // null: not captured
    const char* auth;
  };
  const row rows[] = {
      {"RANGE:bytes=1-2", "bytes=1-2", nullptr},
      {"Range: bytes=1-2\r\nRange: bytes=3-4", "bytes=3-4", nullptr},  // the last one wins
      {"Authorization: \tBearer k \t", nullptr, "Bearer k"},
      {"X-Other: a\r\nAuthorization: x", nullptr, "x"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.headers);
    auto req = std::make_unique<http_request>();
    int status = 0;
    ASSERT_EQ(parse_request_head("GET / HTTP/1.1\r\n" + r.headers, req.get(), &status), 1);
    EXPECT_EQ(req->keep_alive, 1);
    if (r.range == nullptr) {
      EXPECT_EQ(req->range, nullptr);
    } else {
      ASSERT_NE(req->range, nullptr);
      EXPECT_STREQ(req->range.get(), r.range);
    }
    if (r.auth == nullptr) {
      EXPECT_EQ(req->authorization, nullptr);
    } else {
      ASSERT_NE(req->authorization, nullptr);
      EXPECT_STREQ(req->authorization.get(), r.auth);
    }
  }
}

// Heads that two parsers could read differently are refused whole, so that a declared body can
// never be run as a request of its own behind a proxy that reads the head another way.
TEST(RequestHead, MalformedLinesRefuseTheHead) {
  const char* const lines[] = {
      "Content-Length : 5",         // white space before the colon
      "Content-Length\t: 5",        // a tab there too
      "X-A: 1\r\n folded",          // obs-fold continuation
      "X-A: 1\r\n\tfolded",         // with a tab
      "no colon here",              // no field at all
      ": empty name",               //
      "X-A: a\rb",                  // bare CR inside a value
      "X-A: a\nContent-Length: 5",  // bare LF inside a value
      "Na(me): x",                  // a separator is no token byte
  };
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    auto req = std::make_unique<http_request>();
    int status = 0;
    EXPECT_EQ(parse_request_head(std::string("POST / HTTP/1.1\r\n") + line, req.get(), &status),
              -1);
    EXPECT_EQ(status, 400);
  }
  auto req = std::make_unique<http_request>();
  int status = 0;
  EXPECT_EQ(parse_request_head("GET /a\nb HTTP/1.1", req.get(), &status), -1);
  EXPECT_EQ(parse_request_head("GET /a HTTP/1.1\r", req.get(), &status), -1);
  // "Connection: close" among other tokens ends the connection after the answer.
  for (const char* value : {"close", "Keep-Alive, CLOSE", "upgrade,close "}) {
    ASSERT_EQ(parse_request_head(std::string("GET / HTTP/1.1\r\nConnection: ") + value, req.get(),
                                 &status),
              1);
    EXPECT_EQ(req->must_close, 1) << value;
  }
  ASSERT_EQ(parse_request_head("GET / HTTP/1.1\r\nConnection: closed", req.get(), &status), 1);
  EXPECT_EQ(req->must_close, 0);
}

TEST(RequestHead, BodyFraming) {
  struct row {
    const char* head;
    int64_t length;
    int32_t unknown;  // the body's end cannot be known: answer, then close
  };
  constexpr row rows[] = {
      {"POST / HTTP/1.1\r\nContent-Length: 1234", 1234, 0},
      {"POST / HTTP/1.1\r\nContent-Length: 0000000000000000000005", 5, 0},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5", 5, 0},
      {"POST / HTTP/1.1\r\ntransfer-encoding: chunked", 0, 1},
      {"POST / HTTP/1.1\r\nContent-Length: x5", 0, 1},
      {"POST / HTTP/1.1\r\nContent-Length: ", 0, 1},
      {"POST / HTTP/1.1\r\nContent-Length: 1234567890123456789", 0, 1},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6", 5, 1},
  };
  auto req = std::make_unique<http_request>();
  for (const row& r : rows) {
    SCOPED_TRACE(r.head);
    int status = 0;
    ASSERT_EQ(parse_request_head(r.head, req.get(), &status), 1);
    EXPECT_EQ(req->content_length, r.length);
    EXPECT_EQ(req->body_length_unknown, r.unknown);
  }
}

TEST(QueryValue, Table) {
  struct row {
    const char* query;
    const char* name;
    int want;
    const char* value;
  };
  const row rows[] = {
      {"format=json&LIMIT=10", "limit", 0, "10"},
      {"a=1&b", "b", -1, ""},
      {"q=a+b%21", "q", 0, "a b!"},
      {"x=%zz", "x", -1, ""},
      {"x=", "x", 0, ""},
      {"cursor=1&cursor=2", "cursor", 0, "1"},
      {"k=a=b", "k", 0, "a=b"},
      {"", "x", -1, ""},
      {"xx=1", "x", -1, ""},
      {"&&x=5&", "x", 0, "5"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.query) + " / " + r.name);
    char out[24] = "untouched";
    EXPECT_EQ(query_val(r.query, r.name, out, sizeof out), r.want);
    if (r.want == 0) {
      EXPECT_STREQ(out, r.value);
    }
  }
}

TEST(QueryValue, ValueThatDoesNotFitIsAbsent) {
  char out[4];
  EXPECT_EQ(query_val("limit=123", "limit", out, sizeof out), 0);
  EXPECT_STREQ(out, "123");
  EXPECT_EQ(query_val("limit=1234", "limit", out, sizeof out), -1);
}

TEST(HttpDate, EnglishNamesInGmt) {
  struct row {
    int64_t t;
    const char* want;
  };
  const row rows[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {1796593266, "Sun, 06 Dec 2026 21:41:06 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.t);
    char out[HTTP_DATE_BYTES];
    http_date(r.t, out);
    EXPECT_STREQ(out, r.want);
  }
}

}  // namespace
