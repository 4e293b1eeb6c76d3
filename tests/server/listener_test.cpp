// The server's life: start and stop, the port read back, the queue of waiting connections and
// the busy answer when it is full, and what a stop does to queued clients and the roots.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fs_fixture.h"
#include "http_client.h"
#include "kobas.h"
#include "plat/plat.h"
#include "server_harness.h"

namespace {

TEST(ServerLife, StartTwiceStopRestart) {
  {
    running_server srv;
    ASSERT_TRUE(srv.started());
    EXPECT_EQ(kobas_is_running(), 1);
    EXPECT_NE(srv.port(), 0);
    EXPECT_EQ(kobas_start(), -2);
    EXPECT_EQ(kobas_last_code(), -2);
    EXPECT_STREQ(kobas_last_error(), "already running");
    // The first server is unharmed.
    EXPECT_EQ(kobas_port(), srv.port());
    EXPECT_EQ(srv.get("/api/ping").status, 200);
  }
  EXPECT_EQ(kobas_is_running(), 0);
  EXPECT_EQ(kobas_port(), 0);
  running_server again;
  EXPECT_TRUE(again.started());
  EXPECT_EQ(again.get("/api/ping").body, "i am ok!");
}

TEST(ServerLife, StopWhenStoppedKeepsRoots) {
  temp_tree t;
  t.dir("d");
  ASSERT_EQ(kobas_add_root("keep", t.path("d").c_str()), 0) << kobas_last_error();
  kobas_stop();
  EXPECT_EQ(kobas_root_count(), 1);
  EXPECT_EQ(kobas_remove_root("keep"), 0);
}

TEST(ServerLife, StopEmptiesRegistry) {
  temp_tree t;
  t.dir("d");
  {
    running_server srv;
    ASSERT_EQ(kobas_add_root("a", t.path("d").c_str()), 0) << kobas_last_error();
    ASSERT_EQ(kobas_add_root("b", t.path("d").c_str()), 0) << kobas_last_error();
    EXPECT_EQ(kobas_root_count(), 2);
  }
  EXPECT_EQ(kobas_root_count(), 0);
}

TEST(ServerLife, BindFailureThenGoodStart) {
  // A documentation address (RFC 5737) that no interface here carries.
  ASSERT_EQ(kobas_config("bind_ip", "192.0.2.1"), 0) << kobas_last_error();
  kobas_config("port", "0");
  EXPECT_EQ(kobas_start(), -3);
  EXPECT_EQ(std::string(kobas_last_error()).rfind("bind/listen 192.0.2.1:0 failed (errno ", 0), 0u)
      << kobas_last_error();
  EXPECT_EQ(kobas_is_running(), 0);
  EXPECT_EQ(kobas_port(), 0);
  running_server srv;  // restores 127.0.0.1
  EXPECT_TRUE(srv.started());
}

// Keeps the only worker busy: a keep-alive connection that has been answered once and now
// sits idle, so the worker waits in its reader.
std::unique_ptr<http_client> hold_worker(int port) {
  auto held = std::make_unique<http_client>(port);
  http_response r;
  EXPECT_TRUE(held->send("GET /api/ping HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(held->read_response(&r));
  EXPECT_EQ(r.status, 200);
  return held;
}

TEST(ConnectionQueue, FullQueueAnswersBusy) {
  running_server srv(1);
  std::unique_ptr<http_client> held = hold_worker(srv.port());
  std::vector<std::unique_ptr<http_client>> waiting;
  for (int i = 0; i < 64; ++i) {
    waiting.push_back(std::make_unique<http_client>(srv.port()));
    ASSERT_TRUE(waiting.back()->connected());
  }
  // Connections are accepted in the order they were made, so this one finds 64 waiting.
  http_client extra(srv.port());
  http_response r;
  ASSERT_TRUE(extra.read_response(&r));
  EXPECT_EQ(r.status_line, "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_EQ(r.header("Content-Length"), "5");
  EXPECT_EQ(r.body, "busy\n");
  EXPECT_TRUE(extra.closed_by_peer());

  // Once the worker is free, the oldest waiting connection is served.
  held->close();
  ASSERT_TRUE(waiting.front()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(waiting.front()->read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  waiting.clear();
}

TEST(ConnectionQueue, StopClosesQueuedConnectionsUnanswered) {
  auto srv = std::make_unique<running_server>(1);
  std::unique_ptr<http_client> held = hold_worker(srv->port());
  std::vector<std::unique_ptr<http_client>> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(std::make_unique<http_client>(srv->port()));
    ASSERT_TRUE(waiting.back()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
  }
  // The stop waits for the worker's connection; it runs beside the test until that ends.
  std::thread stopper([] { kobas_stop(); });
  while (kobas_is_running() == 1) plat_sleep_ms(1);
  // A start while the stop still waits for the worker is refused at once: it must neither block
  // behind the stop nor share the thread table with it.
  EXPECT_EQ(kobas_start(), -2);
  EXPECT_STREQ(kobas_last_error(), "already running");
  held->close();
  stopper.join();
  for (auto& w : waiting) {
    http_response r;
    EXPECT_FALSE(w->read_response(&r));
    EXPECT_TRUE(w->saw_close());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(w->pending(), 0u);
  }
  srv.reset();  // a second stop does nothing
  EXPECT_EQ(kobas_is_running(), 0);
}

TEST(ConnectionQueue, ManyClientsAtOnce) {
  running_server srv(4);
  std::vector<std::thread> clients;
  std::vector<int> ok(8, 0);
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      http_client c(srv.port());
      http_response r;
      for (int k = 0; k < 20; ++k) {
        if (!c.send("GET /api/version HTTP/1.1\r\n\r\n") || !c.read_response(&r) ||
            r.body != "3.1.0.0") {
          return;
        }
      }
      ok[static_cast<size_t>(i)] = 1;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok, std::vector<int>(8, 1));
}

}  // namespace
