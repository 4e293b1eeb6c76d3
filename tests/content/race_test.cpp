// Races against the lookup: a link swapped with a folder while requests are resolved and folders
// listed must never let a byte or a name from outside the root through, and the two ways of
// opening beneath a root (one system call, or the component walk) follow the same rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "clean_registry.h"
#include "content/resolve.h"
#include "fs_fixture.h"
#include "kobas.h"
#include "plat/plat.h"

#if !_WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

struct root_closer {
  void operator()(plat_root* r) const { plat_root_close(r); }
};

// "file:" and its first bytes, "dir", or "refused".
std::string open_with(int (*how)(const plat_root*, const char*, plat_opened*), plat_root* root,
                      const char* rel) {
  plat_opened o{};
  if (how(root, rel, &o) != 0) return "refused";
  std::string got = "dir";
  if (o.file != nullptr) {
    char buf[64];
    const int64_t n = plat_fread_at(o.file, 0, buf, sizeof buf);
    got = "file:" + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  plat_opened_close(&o);
  return got;
}

TEST(OpenBeneath, OneRuleForBothLookups) {
  if (!symlinks_supported()) GTEST_SKIP() << "this system makes no symbolic links";
  temp_tree t;
  t.file("outside/secret.txt", "S");
  t.file("root/a.txt", "A");
  t.file("root/sub/b.txt", "B");
  t.symlink("root/rel-in", "sub/b.txt");
  t.symlink("root/abs-in", t.path("root/sub/b.txt"));
  t.symlink("root/dir-in", "sub");
  t.symlink("root/sub/up-in", "../a.txt");
  t.symlink("root/up-out", "../outside/secret.txt");
  t.symlink("root/abs-out", t.path("outside/secret.txt"));
  t.symlink("root/abs-root-out", t.path("root") + "/../outside/secret.txt");
  t.symlink("root/loop1", "loop2");
  t.symlink("root/loop2", "loop1");
  t.symlink("root/dangling", "nothing");
  // A link must not show what its target's own name hides, written either way.
  t.file("root/.ssh/id", "K");
  t.file("root/.git/config", "T");
  t.symlink("root/ssh-keys", ".ssh");
  t.symlink("root/repo-config", t.path("root") + "/.git/config");
  t.symlink("root/sub/hidden-up", "../.ssh/id");
#if !_WIN32
  t.fifo("root/pipe");
  t.socket("root/sock");
  t.symlink("root/to-pipe", "pipe");
#endif
  std::unique_ptr<plat_root, root_closer> root(plat_root_open(t.path("root").c_str()));
  ASSERT_TRUE(root);
  const std::pair<const char*, const char*> cases[] = {
    {"ssh-keys", "refused"},
    {"ssh-keys/id", "refused"},
    {"repo-config", "refused"},
    {"sub/hidden-up", "refused"},
    {".ssh/id", "refused"},
    {"sub/../.ssh/id", "refused"},
    {".ssh/../a.txt", "file:A"},
#if !_WIN32
    {"pipe", "refused"},
    {"sock", "refused"},
    {"to-pipe", "refused"},
#endif
    {"", "dir"},
    {"a.txt", "file:A"},
    {"sub/b.txt", "file:B"},
    {"rel-in", "file:B"},
    {"abs-in", "file:B"},
    {"dir-in/b.txt", "file:B"},
    {"dir-in/../a.txt", "file:A"},
    {"sub/up-in", "file:A"},
    {"up-out", "refused"},
    {"abs-out", "refused"},
    {"abs-root-out", "refused"},
    {"sub/../../outside/secret.txt", "refused"},
    {"loop1", "refused"},
    {"dangling", "refused"},
    {"a.txt/x", "refused"},
    {"missing", "refused"},
  };
  for (const auto& [rel, want] : cases) {
    SCOPED_TRACE(rel);
    EXPECT_EQ(open_with(plat_open_beneath, root.get(), rel), want);
    EXPECT_EQ(open_with(plat_open_beneath_walked, root.get(), rel), want);
  }
}

#if !_WIN32
// A writer blocked in opening a FIFO is released by the first reader that opens it: a request for
// the FIFO must learn what it is without opening it.
TEST(OpenBeneath, FifoIsRefusedWithoutBeingOpened) {
  temp_tree t;
  clean_registry reg;
  const std::string pipe = t.fifo("root/pipe");
  ASSERT_EQ(kobas_add_root("r", t.path("root").c_str()), 0);
  std::atomic<bool> released{false};
  std::atomic<pid_t> tid{0};
  std::thread writer([&] {
    tid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
    const int fd = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
    released.store(true);
    if (fd >= 0) ::close(fd);
  });
  // Blocked for sure once the kernel shows the thread inside its open.
  while (tid.load() == 0) std::this_thread::yield();
  const std::string syscall_file = "/proc/self/task/" + std::to_string(tid.load()) + "/syscall";
  const std::string in_open = std::to_string(SYS_openat) + " ";
  while (read_file(syscall_file).rfind(in_open, 0) != 0 && !released.load()) {
    std::this_thread::yield();
  }
  for (int i = 0; i < 20; ++i) {
    opened_target target;
    EXPECT_EQ(resolve_open("r", "pipe", &target), 404);
  }
  EXPECT_EQ(std::string(kobas_listing_json("r", "", 0, 0)), "{\"items\":[],\"next\":null}");
  EXPECT_FALSE(released.load());
  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // lets it go
  writer.join();
  if (reader >= 0) ::close(reader);
}

// Swaps two entries of one folder atomically, as an attacker with write access inside a root
// would, to slip a link in between a check and an open.
bool exchange(const std::string& a, const std::string& b) {
  return ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

TEST(OpenBeneath, LinkSwappedWithAFolderNeverLeadsOut) {
  temp_tree t;
  clean_registry reg;
  t.file("outside/f", "OUTSIDE-CANARY");
  t.file("outside/outside-name", "x");
  t.file("root/d/f", "inside");
  t.file("root/d/inside-name", "x");
  t.symlink("root/l", t.path("outside"));
  if (!exchange(t.path("root/d"), t.path("root/l"))) GTEST_SKIP() << "no RENAME_EXCHANGE here";
  ASSERT_EQ(kobas_add_root("r", t.path("root").c_str()), 0);
  std::unique_ptr<plat_root, root_closer> root(plat_root_open(t.path("root").c_str()));
  ASSERT_TRUE(root);

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load()) exchange(t.path("root/d"), t.path("root/l"));
  });
  int leaks = 0;
  int served = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int i = 0; i < 200000 && std::chrono::steady_clock::now() < until; ++i) {
    opened_target target;
    if (resolve_open("r", "d/f", &target) == 0 && target.o.file != nullptr) {
      char buf[32];
      const int64_t n = plat_fread_at(target.o.file, 0, buf, sizeof buf);
      if (n > 0 && std::string(buf, static_cast<size_t>(n)) != "inside") ++leaks;
      ++served;
    }
    if (open_with(plat_open_beneath_walked, root.get(), "d/f") == "file:OUTSIDE-CANARY") ++leaks;
    if (i % 8 == 0) {
      const std::string page = kobas_listing_json("r", "d", 0, 0);
      if (page.find("outside-name") != std::string::npos) ++leaks;
    }
  }
  stop.store(true);
  swapper.join();
  EXPECT_EQ(leaks, 0);
  EXPECT_GT(served, 0);  // the loop did race the swaps, not only find the link
}
#endif

}  // namespace
