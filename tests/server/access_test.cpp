// Access records: one per finished answer, holding what the client sent and what it was sent,
// handed to the host on the host's thread; a full queue drops the oldest and says how many.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "server_harness.h"

namespace {

struct record {
  int64_t time_ms;
  std::string ip;
  int port;
  std::string method, target, protocol;
  int status;
  int64_t bytes, duration_us;
  std::string root;
  int64_t dropped;
};

int keep(const kobas_access* a, void* user) {
  static_cast<std::vector<record>*>(user)->push_back(
      {a->time_ms, a->client_ip, a->client_port, a->method, a->target, a->protocol, a->status,
       a->bytes_sent, a->duration_us, a->root, a->dropped_before});
  return 0;
}

std::vector<record> take() {
  std::vector<record> got;
  EXPECT_GE(kobas_poll_access(keep, &got), 0) << kobas_last_error();
  return got;
}

// A record is added once its answer has left, which may be a moment after the client read it.
std::vector<record> take_at_least(size_t n) {
  std::vector<record> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
    kobas_poll_access(keep, &got);
    if (got.size() < n) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return got;
}

const record* find(const std::vector<record>& rs, const std::string& target) {
  for (const record& r : rs) {
    if (r.target == target) return &r;
  }
  return nullptr;
}

// The bytes of an answer as they crossed the wire: this server writes "Name: value" lines.
int64_t wire_bytes(const http_response& r) {
  size_t n = r.status_line.size() + 2 + 2 + r.body.size();
  for (const auto& [name, value] : r.headers) n += name.size() + 2 + value.size() + 2;
  return static_cast<int64_t>(n);
}

int64_t wall_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

struct records_switched_on {
  records_switched_on() {
    EXPECT_EQ(kobas_config("access_records", "1"), 0);
    take();
  }
  ~records_switched_on() {
    kobas_config("access_records", "0");
    take();
  }
};

}  // namespace

TEST(AccessRecords, OnePerAnswerWithWhatWentOut) {
  temp_tree t;
  t.file("m/rec.bin", records_1000());
  t.dir("m/sub");
  ASSERT_EQ(kobas_add_root("movies", t.path("m").c_str()), 0);
  records_switched_on on;
  running_server srv;
  const int64_t before = wall_ms();

  // One connection: its requests are recorded in order, with one client port.
  http_client c(srv.port());
  struct exchange {
    std::string request;
    bool head;
    http_response got;
  };
  std::vector<exchange> talk = {
      {"GET /movies/rec.bin?x=%22 HTTP/1.1\r\nRange: bytes=0-99\r\n\r\n", false, {}},
      {"HEAD /movies/sub/ HTTP/1.1\r\n\r\n", true, {}},
      {"GET /api/ping HTTP/1.1\r\n\r\n", false, {}},
      {"GET /movies/nosuch HTTP/1.1\r\n\r\n", false, {}},
      {"GET /movies/sub HTTP/1.1\r\n\r\n", false, {}},
  };
  for (exchange& e : talk) {
    ASSERT_TRUE(c.send(e.request));
    ASSERT_TRUE(c.read_response(&e.got, e.head));
  }
  const http_response old = http_once(srv.port(), "GET /api/version HTTP/1.0\r\n\r\n");
  const http_response refused = http_once(srv.port(), "GARBAGE\r\n\r\n");
  ASSERT_EQ(refused.status, 400);

  const std::vector<record> rs = take_at_least(7);
  ASSERT_EQ(rs.size(), 7u);
  const int64_t after = wall_ms();
  struct want {
    std::string method, target, protocol;
    int status;
    std::string root;
    const http_response* answer;
  };
  const want wants[] = {
      {"GET", "/movies/rec.bin?x=%22", "HTTP/1.1", 206, "movies", &talk[0].got},
      {"HEAD", "/movies/sub/", "HTTP/1.1", 200, "movies", &talk[1].got},
      {"GET", "/api/ping", "HTTP/1.1", 200, "", &talk[2].got},
      {"GET", "/movies/nosuch", "HTTP/1.1", 404, "", &talk[3].got},
      {"GET", "/movies/sub", "HTTP/1.1", 301, "movies", &talk[4].got},
      {"GET", "/api/version", "HTTP/1.0", 200, "", &old},
  };
  // A record is added just after its answer left, so another connection's may come first; the
  // first five share a connection, and among them the order is the order of the requests.
  const record* previous = nullptr;
  for (size_t i = 0; i < std::size(wants); ++i) {
    const want& w = wants[i];
    SCOPED_TRACE(w.target);
    const record* r = find(rs, w.target);
    ASSERT_NE(r, nullptr);
    if (i > 0 && i < 5) {
      EXPECT_GT(r, previous);
    }
    previous = r;
    EXPECT_EQ(r->target, w.target);
    EXPECT_EQ(r->method, w.method);
    EXPECT_EQ(r->protocol, w.protocol);
    EXPECT_EQ(r->status, w.status);
    EXPECT_EQ(r->root, w.root);
    EXPECT_EQ(r->bytes, wire_bytes(*w.answer));
    EXPECT_EQ(r->ip, "127.0.0.1");
    EXPECT_GT(r->port, 0);
    EXPECT_EQ(r->port == find(rs, wants[0].target)->port, i < 5);
    EXPECT_GE(r->time_ms, before - 1000);  // the wall clock keeps whole seconds on some systems
    EXPECT_LE(r->time_ms, after);
    EXPECT_GE(r->duration_us, 0);
    EXPECT_LT(r->duration_us, 5000000);
    EXPECT_EQ(r->dropped, 0);
  }
  const record* bad = find(rs, "");
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->status, 400);
  EXPECT_EQ(bad->method, "");
  EXPECT_EQ(bad->protocol, "");
  EXPECT_EQ(bad->bytes, wire_bytes(refused));
  EXPECT_EQ(take().size(), 0u);  // each record is handed over once

  // Off: nothing more is kept, and a poll without a callback is refused.
  kobas_config("access_records", "0");
  EXPECT_EQ(srv.get("/api/ping").status, 200);
  EXPECT_EQ(take().size(), 0u);
  EXPECT_EQ(kobas_poll_access(nullptr, nullptr), -1);
  EXPECT_STREQ(kobas_last_error(), "callback required");
  kobas_remove_root("movies");
}

// An answer the client stops taking is recorded when its connection ends, as far as it went.
TEST(AccessRecords, AnswerCutShortIsRecordedAtTheClose) {
  temp_tree t;
  const int64_t size = 64 << 20;
  t.sparse("m/big.bin", size);
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  records_switched_on on;
  running_server srv;
  {
    http_client c(srv.port());
    ASSERT_TRUE(c.send("GET /m/big.bin HTTP/1.1\r\n\r\n"));
    http_response head;
    ASSERT_TRUE(c.read_head(&head));
    EXPECT_EQ(head.status, 200);
  }
  const std::vector<record> rs = take_at_least(1);
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].status, 200);
  EXPECT_EQ(rs[0].root, "m");
  EXPECT_GT(rs[0].bytes, 0);
  EXPECT_LT(rs[0].bytes, size);
  kobas_remove_root("m");
}

// 4,096 records are kept; three more push out the three oldest, and the oldest kept says so.
TEST(AccessRecords, FullQueueDropsTheOldestAndCountsThem) {
  records_switched_on on;
  {
    running_server srv;
    constexpr int total = 4096 + 3;
    for (int done = 0; done < total;) {
      http_client c(srv.port());
      // A connection carries at most 1,000 requests.
      for (int i = 0; i < 900 && done < total; ++i, ++done) {
        ASSERT_TRUE(c.send("GET /api/ping?n=" + std::to_string(done) + " HTTP/1.1\r\n\r\n"));
        http_response r;
        ASSERT_TRUE(c.read_response(&r));
      }
    }
  }  // the stop waits for every worker, so every record is in
  const std::vector<record> rs = take();
  ASSERT_EQ(rs.size(), 4096u);
  EXPECT_EQ(rs.front().target, "/api/ping?n=3");
  EXPECT_EQ(rs.front().dropped, 3);
  for (const char* gone : {"/api/ping?n=0", "/api/ping?n=1", "/api/ping?n=2"}) {
    EXPECT_EQ(find(rs, gone), nullptr) << gone;
  }
  EXPECT_NE(find(rs, "/api/ping?n=4098"), nullptr);
  int64_t dropped_later = 0;
  for (size_t i = 1; i < rs.size(); ++i) dropped_later += rs[i].dropped;
  EXPECT_EQ(dropped_later, 0);
}
