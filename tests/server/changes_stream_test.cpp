// GET /api/changes and the host's activity: the stream's format and events, what a reconnect
// gets, the reset past the ring, the key, a stop with followers waiting, and the file answers in
// progress as kobas_activity_json shows them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"
#include "exports/events.h"
#include "fs_fixture.h"
#include "kobas.h"
#include "server_harness.h"

namespace {

int count_calls(const char*, const char*, void* user) {
  ++*static_cast<int*>(user);
  return 0;
}

// A follower: the stream's head is read and checked, then its "retry" line.
std::unique_ptr<http_client> follow(int port, const std::string& extra_headers = "",
                                    const char* version = "HTTP/1.1") {
  auto c = std::make_unique<http_client>(port);
  EXPECT_TRUE(c->send(std::string("GET /api/changes ") + version + "\r\nHost: t\r\n" +
                      extra_headers + "\r\n"));
  http_response head;
  EXPECT_TRUE(c->read_head(&head));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Type"), "text/event-stream");
  EXPECT_EQ(head.header("Cache-Control"), "no-store");
  EXPECT_FALSE(head.has_header("Content-Length"));
  std::string retry;
  EXPECT_TRUE(c->read_until("\n\n", &retry));
  EXPECT_EQ(retry, "retry: 3000\n\n");
  return c;
}

std::string next_event(http_client& c) {
  std::string e;
  EXPECT_TRUE(c.read_until("\n\n", &e));
  return e;
}

std::string event(uint64_t id, const char* kind, const std::string& data) {
  return "id: " + std::to_string(id) + "\nevent: " + kind + "\ndata: " + data + "\n\n";
}

std::string change_of(const char* root) {
  return std::string("{\"root\":\"") + root + "\",\"detail\":\"\"}";
}

struct clean_roots {
  ~clean_roots() {
    kobas_on_change(nullptr, nullptr);
    kobas_remove_root("m");
    kobas_remove_root("n");
  }
};

}  // namespace

TEST(ChangesStream, SendsEachChangeAndEachRootsChangeAsOneEvent) {
  running_server srv;
  clean_roots cleanup;
  temp_tree t;
  t.dir("m");
  t.dir("n");
  int calls = 0;
  kobas_on_change(count_calls, &calls);
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  auto c = follow(srv.port());
  auto old = follow(srv.port(), "", "HTTP/1.0");

  t.file("m/new.txt", "x");
  const uint64_t before = events_last_id();
  kobas_poll_changes();
  EXPECT_EQ(calls, 1);  // the host is told exactly as before
  EXPECT_EQ(next_event(*c), event(before + 1, "change", change_of("m")));
  EXPECT_EQ(next_event(*old), event(before + 1, "change", change_of("m")));

  ASSERT_EQ(kobas_add_root("n", t.path("n").c_str()), 0);
  EXPECT_EQ(next_event(*c), event(before + 2, "roots", "{\"m\":\"\",\"n\":\"\"}"));
  ASSERT_EQ(kobas_remove_root("n"), 0);
  EXPECT_EQ(next_event(*c), event(before + 3, "roots", "{\"m\":\"\"}"));
  // Nothing else: a pass without a change sends nothing.
  kobas_poll_changes();
  EXPECT_FALSE(c->readable(200));

  // HEAD gets the head alone, and the connection ends.
  http_client h(srv.port());
  ASSERT_TRUE(h.send("HEAD /api/changes HTTP/1.1\r\nHost: t\r\n\r\n"));
  http_response head;
  ASSERT_TRUE(h.read_head(&head));
  EXPECT_EQ(head.header("Content-Type"), "text/event-stream");
  EXPECT_TRUE(h.closed_by_peer());
}

TEST(ChangesStream, ReconnectGetsExactlyWhatItMissed) {
  running_server srv;
  clean_roots cleanup;
  temp_tree t;
  t.dir("m");
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  const uint64_t seen = events_last_id();
  // Missed while away: changes found without a callback are still sent.
  for (const char* name : {"m/a", "m/b", "m/c"}) {
    t.file(name, "x");
    kobas_poll_changes();
  }
  ASSERT_EQ(events_last_id(), seen + 3);
  auto c = follow(srv.port(), "Last-Event-ID: " + std::to_string(seen) + "\r\n");
  for (uint64_t id = seen + 1; id <= seen + 3; ++id) {
    EXPECT_EQ(next_event(*c), event(id, "change", change_of("m")));
  }
  EXPECT_FALSE(c->readable(200));
  auto current = follow(srv.port(), "Last-Event-ID: " + std::to_string(seen + 3) + "\r\n");
  EXPECT_FALSE(current->readable(200));
}

TEST(ChangesStream, AnIdOlderThanTheRingKeepsGetsOneReset) {
  running_server srv;
  for (uint64_t i = 0; i <= EVENTS_KEPT; ++i) events_change("x", "");
  const uint64_t last = events_last_id();
  std::string kept;
  uint64_t upto = 0;
  EXPECT_EQ(events_since(last - EVENTS_KEPT, &kept, &upto), events_catch_up::events);
  EXPECT_EQ(upto, last);
  EXPECT_EQ(kept.find(event(last - EVENTS_KEPT + 1, "change", change_of("x"))), 0u);
  EXPECT_EQ(events_since(last - EVENTS_KEPT - 1, &kept, &upto), events_catch_up::reset);

  // Too old, newer than any given, or not an id: reset, carrying the id to go on from.
  for (const std::string& id :
       {std::to_string(last - EVENTS_KEPT - 1), std::to_string(last + 9), std::string("x7")}) {
    SCOPED_TRACE(id);
    auto c = follow(srv.port(), "Last-Event-ID: " + id + "\r\n");
    EXPECT_EQ(next_event(*c), event(events_last_id(), "reset", "{}"));
    // The stream goes on from there.
    events_change("y", "");
    EXPECT_EQ(next_event(*c), event(events_last_id(), "change", change_of("y")));
  }
}

TEST(ChangesStream, KeyRulesHold) {
  running_server srv;
  ASSERT_EQ(kobas_config("server_key", "s3cret"), 0);
  ASSERT_EQ(kobas_config("require_key", "1"), 0);
  const http_response refused = srv.get("/api/changes");
  EXPECT_EQ(refused.status, 401);
  EXPECT_NE(refused.header("Content-Type"), "text/event-stream");
  auto c = follow(srv.port(), "Authorization: Bearer s3cret\r\n");
  events_change("k", "");
  EXPECT_EQ(next_event(*c), event(events_last_id(), "change", change_of("k")));
  kobas_config("require_key", "0");
}

TEST(ChangesStream, StopEndsEveryFollower) {
  auto srv = std::make_unique<running_server>();
  std::vector<std::unique_ptr<http_client>> followers;
  for (int i = 0; i < 64; ++i) followers.push_back(follow(srv->port()));
  // Some parked, some woken by an event just before the stop.
  events_change("s", "");
  srv.reset();
  for (auto& f : followers) {
    std::string rest;
    f->read_until("\n\n\n", &rest);  // whatever came before the close
    EXPECT_TRUE(f->saw_close());
  }
  events_change("after", "");  // no server: nothing to wake
}

TEST(Activity, ShowsFileAnswersWhileTheirBodiesGo) {
  running_server srv;
  clean_roots cleanup;
  temp_tree t;
  t.sparse("m/big/film.mkv", int64_t{256} << 20);
  t.file("m/small.txt", "tiny");
  ASSERT_EQ(kobas_add_root("m", t.path("m").c_str()), 0);
  EXPECT_EQ(std::string(kobas_activity_json()), "{\"connections\":0,\"streams\":[]}");

  // A body that went whole is no stream any more.
  EXPECT_EQ(srv.get("/m/small.txt").body, "tiny");
  http_client player(srv.port(), 5000, 65536);
  ASSERT_TRUE(player.send("GET /m/big/film.mkv HTTP/1.1\r\nHost: t\r\n\r\n"));
  http_response head;
  ASSERT_TRUE(player.read_head(&head));
  const std::regex shape(
      R"(\{"connections":\d+,"streams":\[\{"client":"127\.0\.0\.1:\d+","root":"m","rel":"big/film\.mkv","sent":(\d+),"size":268435456,"since_unix":\d+\}\]\})");
  std::smatch m;
  // The small answer's worker may still be on its way from its last send to the note's end.
  std::string now = kobas_activity_json();
  const auto soon = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::regex_match(now, m, shape) && std::chrono::steady_clock::now() < soon) {
    now = kobas_activity_json();
  }
  ASSERT_TRUE(std::regex_match(now, m, shape)) << now;
  const uint64_t first = std::stoull(m[1]);
  // The client takes bytes: what it took grows, whatever the buffers between hold.
  uint64_t later = first;
  for (int i = 0; i < 64 && later == first; ++i) {
    ASSERT_TRUE(player.read_body(1 << 20, [](const char*, size_t) {}));
    now = kobas_activity_json();
    ASSERT_TRUE(std::regex_match(now, m, shape)) << now;
    later = std::stoull(m[1]);
  }
  EXPECT_GT(later, first);

  // A cut answer leaves the list once the server sees the close.
  player.close();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (now != "{\"connections\":0,\"streams\":[]}" && std::chrono::steady_clock::now() < until) {
    now = kobas_activity_json();
  }
  EXPECT_EQ(now, "{\"connections\":0,\"streams\":[]}");
}

#ifndef _WIN32
// Past the bound parked followers make room only after every idle keep-alive connection, the
// longest parked first.
TEST(ChangesStream, FollowersMakeRoomAfterTheIdle) {
  child_process server(
      "/bin/sh", {"-c", "ulimit -n 160 && exec \"$0\" serve --bind 127.0.0.1 --port 0 --threads 1",
                  kobas_bin()});
  int port = 0;
  const std::string line = server.read_line().value_or("");
  ASSERT_EQ(std::sscanf(line.c_str(), "listening 127.0.0.1:%d", &port), 1) << line;
  std::vector<std::unique_ptr<http_client>> followers;
  for (int i = 0; i < 10; ++i) followers.push_back(follow(port));
  std::vector<std::unique_ptr<http_client>> idle;
  http_response r;
  for (int i = 0; i < 21; ++i) {
    idle.push_back(std::make_unique<http_client>(port));
    ASSERT_TRUE(idle.back()->send("GET /api/ping HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(idle.back()->read_response(&r));
  }
  // The one worker has handed back every earlier connection once the last is answered.
  std::vector<std::unique_ptr<http_client>> partial;
  auto add_partial = [&] {
    partial.push_back(std::make_unique<http_client>(port));
    return partial.back()->send("GET /api/pi");
  };
  for (int i = 0; i < 65 + 21; ++i) ASSERT_TRUE(add_partial());  // the bound (96), then 21 go
  for (auto& c : idle) EXPECT_TRUE(c->closed_by_peer());
  EXPECT_FALSE(followers[0]->readable(100));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(add_partial());
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(followers[i]->closed_by_peer()) << i;
  EXPECT_FALSE(followers[5]->readable(100));
}
#endif
