// A crowd beside the workers: streams that read at their own pace, idle keep-alive connections,
// connections that send nothing and a head trickled in pieces all wait without a worker, so a
// server with few workers still answers a newcomer, in order, and stops without waiting for any.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "server_harness.h"

namespace {

constexpr int STREAMS = 20;
constexpr int IDLE = 400;
constexpr int64_t FILM_BYTES = int64_t{8} << 20;

TEST(Crowd, WaitingClientsHoldNoWorkerAndStopDoesNotWaitForThem) {
  temp_tree t;
  t.sparse("m/film.mkv", FILM_BYTES);
  auto srv = std::make_unique<running_server>(2);
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);

  // Players that started a film and read only its first bytes so far.
  std::vector<std::unique_ptr<http_client>> streams;
  std::vector<int64_t> got(STREAMS, 0);
  for (int i = 0; i < STREAMS; ++i) {
    streams.push_back(std::make_unique<http_client>(srv->port()));
    ASSERT_TRUE(streams.back()->send("GET /m/film.mkv HTTP/1.1\r\nRange: bytes=0-\r\n\r\n"));
    http_response r;
    ASSERT_TRUE(streams.back()->read_head(&r));
    ASSERT_EQ(r.status, 206);
    ASSERT_TRUE(streams.back()->read_body(65536, [&](const char*, size_t n) { got[i] += n; }));
  }
  // Idle keep-alive connections (asked once) and connections that never sent a byte.
  std::vector<std::unique_ptr<http_client>> idle;
  for (int i = 0; i < IDLE; ++i) {
    idle.push_back(std::make_unique<http_client>(srv->port()));
    if (i % 2 == 1) continue;
    http_response r;
    ASSERT_TRUE(idle.back()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(idle.back()->read_response(&r));
  }
  // A head that arrives in pieces holds no worker between them.
  http_client trickle(srv->port());
  ASSERT_TRUE(trickle.send("GET /api/ver"));

  // A newcomer is answered, and pipelined requests come back in order.
  http_client newcomer(srv->port());
  ASSERT_TRUE(
      newcomer.send("GET /api/ping HTTP/1.1\r\n\r\nGET /api/version HTTP/1.1\r\n\r\n"
                    "HEAD /m/film.mkv HTTP/1.1\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(newcomer.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  ASSERT_TRUE(newcomer.read_response(&r));
  EXPECT_EQ(r.body, "3.1.0.0");
  ASSERT_TRUE(newcomer.read_response(&r, true));
  EXPECT_EQ(r.header("Content-Length"), std::to_string(FILM_BYTES));

  ASSERT_TRUE(trickle.send("sion HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(trickle.read_response(&r));
  EXPECT_EQ(r.body, "3.1.0.0");
  // Every player plays on to the end, and every waiting connection still answers.
  for (int i = 0; i < STREAMS; ++i) {
    EXPECT_TRUE(streams[i]->read_body(static_cast<uint64_t>(FILM_BYTES - got[i]),
                                      [&](const char*, size_t n) { got[i] += n; }));
    EXPECT_EQ(got[i], FILM_BYTES);
  }
  for (auto& c : idle) {
    ASSERT_TRUE(c->send("GET /api/ping HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(c->read_response(&r));
    EXPECT_EQ(r.body, "i am ok!");
  }

  // A stop closes the waiting connections instead of waiting for their 30 s of silence: well
  // under that, however slow the machine.
  const auto before = std::chrono::steady_clock::now();
  srv.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  EXPECT_TRUE(idle.front()->closed_by_peer());
}

}  // namespace
