// The server's life: start and stop, the port read back, the queue of waiting connections and
// the busy answer when it is full, and what a stop does to queued clients and the roots.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "content/roots.h"
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

// Whichever of several concurrent stops returns first, the server is gone by then: no root, no
// listener, nothing running, and the next start succeeds.
TEST(ServerLife, ConcurrentStopsReturnOnlyOnceStopped) {
  temp_tree t;
  t.dir("d");
  constexpr int cycles = 50;
  constexpr int stoppers = 3;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE(cycle);
    running_server srv;
    ASSERT_TRUE(srv.started());
    ASSERT_EQ(kobas_add_root("s", t.path("d").c_str()), 0) << kobas_last_error();
    struct seen {
      int roots = -1;
      int running = -1;
      int port = -1;
      bool accepted = true;
    } after[stoppers];
    std::vector<std::thread> threads;
    for (seen& s : after) {
      threads.emplace_back([&s, port = srv.port()] {
        kobas_stop();
        s.roots = kobas_root_count();
        s.running = kobas_is_running();
        s.port = kobas_port();
        s.accepted = http_client(port, 1000).connected();
      });
    }
    for (std::thread& th : threads) th.join();
    for (const seen& s : after) {
      EXPECT_EQ(s.roots, 0);
      EXPECT_EQ(s.running, 0);
      EXPECT_EQ(s.port, 0);
      EXPECT_FALSE(s.accepted);
    }
    EXPECT_EQ(kobas_start(), 0) << kobas_last_error();
  }
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

// Holds the registry lock, so that a worker answering a request for a root blocks on it: the
// one way a worker stays busy now that waiting for a client holds none.
class registry_held {
 public:
  registry_held() { plat_lock(&roots_get()->lock); }
  ~registry_held() { release(); }
  void release() {
    if (held_) plat_unlock(&roots_get()->lock);
    held_ = false;
  }

 private:
  bool held_ = true;
};

// A client whose request for a root keeps the worker that takes it waiting on the registry.
std::unique_ptr<http_client> busy_worker(int port) {
  auto c = std::make_unique<http_client>(port);
  EXPECT_TRUE(c->send("GET /m/x HTTP/1.1\r\n\r\n"));
  return c;
}

// Many more ready requests than workers: they wait in the poller, without a worker or a
// refusal, and all are answered once the worker is free.
TEST(ReadyConnections, BurstBeyondTheWorkersWaitsItsTurn) {
  running_server srv(1);
  registry_held lock;
  std::unique_ptr<http_client> held = busy_worker(srv.port());
  // Connections that only connect hold no worker.
  std::vector<std::unique_ptr<http_client>> silent;
  for (int i = 0; i < 100; ++i) silent.push_back(std::make_unique<http_client>(srv.port()));
  std::vector<std::unique_ptr<http_client>> waiting;
  for (int i = 0; i < 150; ++i) {
    waiting.push_back(std::make_unique<http_client>(srv.port()));
    ASSERT_TRUE(waiting.back()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
  }
  EXPECT_FALSE(waiting.back()->readable(100));  // neither answered nor refused while held

  lock.release();
  http_response r;
  ASSERT_TRUE(held->read_response(&r));
  EXPECT_EQ(r.status, 404);
  int answered = 0;
  for (auto& w : waiting) {
    ASSERT_TRUE(w->read_response(&r));
    answered += r.body == "i am ok!" ? 1 : 0;
  }
  EXPECT_EQ(answered, 150);
  ASSERT_TRUE(silent.back()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(silent.back()->read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
}

// Each home poller has one worker; when every one of them is held by a long turn, a spare waits
// on a held worker's poller, so the next request there is still answered.
TEST(ReadyConnections, WorkersHeldByLongTurnsBringInAParkedOne) {
  const int cpus = plat_cpu_count();
  if (cpus >= 16) GTEST_SKIP() << "no parked worker with " << cpus << " processors";
  running_server srv(cpus + 1);
  registry_held lock;
  std::vector<std::unique_ptr<http_client>> held;
  for (int i = 0; i < cpus; ++i) held.push_back(busy_worker(srv.port()));
  http_client c(srv.port());
  ASSERT_TRUE(c.send("GET /api/ping HTTP/1.1\r\n\r\n"));
  http_response r;
  ASSERT_TRUE(c.read_response(&r));
  EXPECT_EQ(r.body, "i am ok!");
  lock.release();
  for (auto& h : held) {
    ASSERT_TRUE(h->read_response(&r));
    EXPECT_EQ(r.status, 404);
  }
}

TEST(ReadyConnections, StopClosesWaitingConnectionsUnanswered) {
  auto srv = std::make_unique<running_server>(1);
  registry_held lock;
  std::unique_ptr<http_client> held = busy_worker(srv->port());
  std::vector<std::unique_ptr<http_client>> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(std::make_unique<http_client>(srv->port()));
    ASSERT_TRUE(waiting.back()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
  }
  // The stop waits for the worker's turn; it runs beside the test until that ends.
  std::thread stopper([] { kobas_stop(); });
  while (kobas_is_running() == 1) plat_sleep_ms(1);
  // A start while the stop still waits for the worker is refused at once: it must neither block
  // behind the stop nor share the thread table with it.
  EXPECT_EQ(kobas_start(), -2);
  EXPECT_STREQ(kobas_last_error(), "already running");
  lock.release();
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

TEST(ReadyConnections, ManyClientsAtOnce) {
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
