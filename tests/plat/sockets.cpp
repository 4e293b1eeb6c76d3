// Readiness, sends that must not kill the process, and the file-body send over loopback TCP.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fs_fixture.h"
#include "plat/plat.h"
#include "sock_pair.h"

namespace {

// Everything the peer sends until it stops, read with a poll bound so a fault fails, not hangs.
std::string drain(plat_sock s, size_t want) {
  std::string got;
  char buf[65536];
  while (got.size() < want && plat_poll1(s, 1, 5000) > 0) {
    int64_t n = plat_recv(s, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// Ten-byte records labelled by index, so an off-by-one shows in the bytes.
std::string records(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    char rec[16];
    std::snprintf(rec, sizeof rec, "%09d\n", i);
    s += rec;
  }
  return s;
}

TEST(PlatSocket, InitListenAndClose) {
  EXPECT_EQ(plat_net_init(), 0);
  EXPECT_EQ(plat_net_init(), 0);
  plat_sock s = plat_tcp_socket();
  ASSERT_NE(s, PLAT_NO_SOCK);
  EXPECT_EQ(plat_sock_reuseaddr(s), 0);
#if _WIN32
  EXPECT_EQ(plat_sock_local_port(s), -1);  // Winsock refuses getsockname before bind
#else
  EXPECT_EQ(plat_sock_local_port(s), 0);  // not bound yet
#endif
  ASSERT_EQ(plat_sock_bind_listen(s, 0x7f000001, 0, 4), 0);
  EXPECT_GT(plat_sock_local_port(s), 0);
  EXPECT_EQ(plat_poll1(s, 1, 0), 0);  // nobody is connecting
  plat_sock_close(s);
  plat_sock_close(PLAT_NO_SOCK);
  EXPECT_EQ(plat_sock_local_port(PLAT_NO_SOCK), -1);
}

TEST(PlatPoll, ReadinessMasks) {
  tcp_pair p;
  EXPECT_EQ(plat_poll1(p.a(), 1, 0), 0);  // idle
  EXPECT_EQ(plat_poll1(p.a(), 2, 0), 2);
  EXPECT_EQ(plat_poll1(p.a(), 3, 0), 2);
  ASSERT_EQ(plat_send(p.b(), "x", 1), 1);
  EXPECT_EQ(plat_poll1(p.a(), 1, 5000), 1);
  char c = 0;
  EXPECT_EQ(plat_recv(p.a(), &c, 1), 1);
  EXPECT_EQ(c, 'x');
  p.close_b();
  EXPECT_EQ(plat_poll1(p.a(), 1, 5000), 1);  // a hang-up counts as readable
  EXPECT_EQ(plat_recv(p.a(), &c, 1), 0);
}

TEST(PlatPoll, ClosedDescriptorIsNotReady) {
  plat_sock s = plat_tcp_socket();
  ASSERT_NE(s, PLAT_NO_SOCK);
  plat_sock_close(s);
  EXPECT_EQ(plat_poll1(s, 1, 0), 0);
}

TEST(PlatSend, ClosedPeerFailsWithoutSignal) {
  tcp_pair p;
  p.close_b();
  std::string block(65536, 'x');
  int64_t last = 0;
  // The first sends may still be buffered; the reset arrives after one of them.
  for (int i = 0; i < 100 && last >= 0; ++i) last = plat_send(p.a(), block.data(), block.size());
  EXPECT_EQ(last, -1);
  EXPECT_NE(plat_sock_errno(), 0);
}

TEST(PlatSendFile, Spans) {
  temp_tree t;
  const std::string body = records(100000);  // 1,000,000 bytes
  std::string path = t.file("f", body);
  struct row {
    uint64_t offset, count, want;
  };
  constexpr row rows[] = {
      {0, 1000000, 1000000},  // whole file
      {10, 30, 30},           // records 1 to 3
      {999990, 10, 10},       // last record
      {999995, 100, 5},       // runs past the end
      {1000000, 10, 0},       // starts at the end
      {2000000, 10, 0},       // starts beyond it
      {5, 0, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.offset);
    tcp_pair p;
    plat_file* f = plat_fopen_read(path.c_str());
    ASSERT_NE(f, nullptr);
    uint64_t sent = 0;
    plat_thread th;
    struct job {
      plat_sock s;
      plat_file* f;
      uint64_t offset, count, *sent;
    } j{p.b(), f, r.offset, r.count, &sent};
    // A second thread sends so that this one can read while the socket buffers are full.
    ASSERT_EQ(plat_thread_start(
                  &th,
                  [](void* a) {
                    auto* jb = static_cast<job*>(a);
                    *jb->sent = plat_send_file(jb->s, jb->f, jb->offset, jb->count);
                  },
                  &j),
              0);
    std::string got = drain(p.a(), r.want);
    plat_thread_join(th);
    plat_fclose(f);
    EXPECT_EQ(sent, r.want);
    EXPECT_EQ(got, body.substr(r.offset < body.size() ? r.offset : body.size(), r.want));
  }
}

TEST(PlatSendFile, ClosedPeerStopsWithoutSignal) {
  temp_tree t;
  std::string path = t.file("f", records(400000));  // 4 MB: more than the socket buffers hold
  tcp_pair p;
  p.close_b();
  plat_file* f = plat_fopen_read(path.c_str());
  ASSERT_NE(f, nullptr);
  uint64_t sent = plat_send_file(p.a(), f, 0, 4000000);
  plat_fclose(f);
  EXPECT_LT(sent, 4000000u);
}

}  // namespace
