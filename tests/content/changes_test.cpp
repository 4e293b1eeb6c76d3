// Change watcher: fingerprints, one report per pass, absorbed and pending changes, forgotten
// roots, and callbacks that call back into the library or are replaced while they run.
#include "exports/changes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clean_registry.h"
#include "fs_fixture.h"
#include "kobas.h"

namespace {

struct reports {
  std::vector<std::string> names;
  std::vector<std::string> details;
};

int record(const char* name, const char* detail, void* user) {
  auto* r = static_cast<reports*>(user);
  r->names.push_back(name);
  r->details.push_back(detail);
  return 7;  // ignored
}

// The names reported by one kobas_poll_changes.
std::vector<std::string> poll(reports& r) {
  r.names.clear();
  r.details.clear();
  kobas_poll_changes();
  for (const std::string& d : r.details) EXPECT_EQ(d, "");
  return r.names;
}

using names = std::vector<std::string>;

// The folder r of every fingerprint row: two files, a folder with an entry of its own, a hidden
// file and, where the system makes links, a link that leads out of r.
void fingerprint_base(temp_tree& t) {
  t.file("r/a", "aa");
  t.set_mtime("r/a", 1000);
  t.file("r/b", "b");
  t.set_mtime("r/b", 2000);
  t.file("r/sub/deep", "x");
  t.set_mtime("r/sub", 1500);
  t.file("r/.hidden", "x");
  t.file("outside/target", "x");
  if (symlinks_supported()) t.symlink("r/out", t.path("outside/target"));
}

bool same_print(const root_print& x, const root_print& y) {
  return x.hash == y.hash && x.count == y.count;
}

TEST(ChangeFingerprint, MovesWithEveryListedEntryAndNothingElse) {
  // Each row removes GONE (if any), then writes TEXT to REL with the time S seconds and NS.
  struct row {
    const char* gone;
    const char* rel;
    const char* text;
    int64_t s;
    int32_t ns;
    bool moves;
  };
  const row rows[] = {
      {"", "r/a", "aa", 1000, 0, false},                 // the same again
      {"r/a", "r/c", "aa", 1000, 0, true},               // renamed, time kept
      {"r/a", "r/d", "dd", 500, 0, true},                // an older copy for a deleted file
      {"", "r/a", "aa", 1000, 500000000, true},          // rewritten within its second
      {"", "r/a", "aaa", 1000, 0, true},                 // grown, time kept
      {"", "r/.hidden", "longer", 9000, 0, false},       // not listed
      {"", "r/sub/deep", "longer", 9000, 0, false},      // below the top level
      {"", "outside/target", "longer", 9000, 0, false},  // behind the link leading out
  };
  for (const row& w : rows) {
    SCOPED_TRACE(std::string(w.gone) + " " + w.rel);
    temp_tree t;
    fingerprint_base(t);
    const root_print before = snapshot_root(t.path("r").c_str());
    EXPECT_EQ(before.count, 3);  // a, b and sub: not the hidden file, not the link
    if (w.gone[0] != '\0') t.remove(w.gone);
    t.file(w.rel, w.text);
    t.set_mtime(w.rel, w.s, w.ns);
    EXPECT_EQ(!same_print(before, snapshot_root(t.path("r").c_str())), w.moves);
  }
  // A file or a missing path cannot be listed: one fingerprint, apart from an empty folder's.
  temp_tree t;
  t.file("film.mkv", "1");
  t.dir("empty");
  const root_print file = snapshot_root(t.path("film.mkv").c_str());
  EXPECT_EQ(file.count, -1);
  EXPECT_TRUE(same_print(file, snapshot_root(t.path("missing").c_str())));
  EXPECT_FALSE(same_print(file, snapshot_root(t.path("empty").c_str())));
}

TEST(ChangeReport, FirstSightingThenOneReportPerChange) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.file("r/a");
  EXPECT_EQ(kobas_on_change(record, &got), 1);
  ASSERT_EQ(kobas_add_root("cw-first", t.path("r").c_str()), 0);
  EXPECT_TRUE(got.names.empty());
  EXPECT_EQ(poll(got), names{});
  t.file("r/b");
  EXPECT_EQ(poll(got), names{"cw-first"});
  EXPECT_EQ(poll(got), names{});
}

TEST(ChangeReport, EveryTimeChangeOfAnEntryIsReported) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.file("r/a");
  t.file("r/b");
  t.set_mtime("r/a", 1000);
  t.set_mtime("r/b", 2000);
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-newest", t.path("r").c_str()), 0);
  t.set_mtime("r/a", 1500);  // still below the newest: seen all the same
  EXPECT_EQ(poll(got), names{"cw-newest"});
  t.set_mtime("r/a", 1500);  // the same time again
  EXPECT_EQ(poll(got), names{});
  t.set_mtime("r/b", 2000, 1000);  // within the same second
  EXPECT_EQ(poll(got), names{"cw-newest"});
  EXPECT_EQ(poll(got), names{});
}

TEST(ChangeReport, OneReportPerPassOldestChangeFirstNoneLost) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.dir("one");
  t.dir("two");
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-two", t.path("two").c_str()), 0);
  ASSERT_EQ(kobas_add_root("cw-one", t.path("one").c_str()), 0);
  t.file("one/x");
  t.file("two/x");
  EXPECT_EQ(poll(got), names{"cw-two"});  // registry order among changes of one pass
  t.file("two/y");                        // two changes again, but one's change is older
  EXPECT_EQ(poll(got), names{"cw-one"});
  EXPECT_EQ(poll(got), names{"cw-two"});
  EXPECT_EQ(poll(got), names{});
}

TEST(ChangeReport, AddReadsTheNewRootAloneAndReportsWhatIsPending) {
  temp_tree t;
  reports got;
  clean_registry reg;
  for (const char* d : {"a", "b", "new", "off"}) t.dir(d);
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-a", t.path("a").c_str()), 0);
  ASSERT_EQ(kobas_add_root("cw-b", t.path("b").c_str()), 0);
  t.file("a/x");
  t.file("b/x");
  EXPECT_EQ(poll(got), names{"cw-a"});  // cw-b's change waits for a report
  got.names.clear();
  ASSERT_EQ(kobas_add_root("cw-new", t.path("new").c_str()), 0);
  EXPECT_EQ(got.names, names{"cw-b"});
  // An add with reporting off would absorb a change it read; it reads only its own root.
  t.file("a/y");
  kobas_on_change(nullptr, nullptr);
  ASSERT_EQ(kobas_add_root("cw-off", t.path("off").c_str()), 0);
  kobas_on_change(record, &got);
  EXPECT_EQ(poll(got), names{"cw-a"});
  t.file("new/x");  // compared with the first fingerprint the add's own pass took
  EXPECT_EQ(poll(got), names{"cw-new"});
}

TEST(ChangeReport, EmptyRootThatDisappearsOrComesBackIsReported) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.dir("r");
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-empty", t.path("r").c_str()), 0);
  t.remove("r");
  EXPECT_EQ(poll(got), names{"cw-empty"});
  EXPECT_EQ(poll(got), names{});
  t.dir("r");
  EXPECT_EQ(poll(got), names{"cw-empty"});
}

TEST(ChangeReport, HiddenNamesAreIgnored) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.dir("r");
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-hidden", t.path("r").c_str()), 0);
  t.dir("r/.cache");
  EXPECT_EQ(poll(got), names{});
  t.dir("r/cache");
  EXPECT_EQ(poll(got), names{"cw-hidden"});
}

TEST(ChangeReport, FileRootIsNeverReported) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.file("film.mkv", "1");
  t.dir("r");
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-file", t.path("film.mkv").c_str()), 0);
  ASSERT_EQ(kobas_add_root("cw-after-file", t.path("r").c_str()), 0);
  t.file("film.mkv", "longer content");
  t.set_mtime("film.mkv", 1234567890);
  EXPECT_EQ(poll(got), names{});
  t.file("r/x");
  EXPECT_EQ(poll(got), names{"cw-after-file"});  // the watcher itself is working
}

TEST(ChangeReport, ChangesWithoutACallbackAreAbsorbed) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.dir("r");
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-absorb", t.path("r").c_str()), 0);
  EXPECT_EQ(kobas_on_change(nullptr, &got), 0);
  t.file("r/x");
  EXPECT_EQ(poll(got), names{});
  EXPECT_EQ(kobas_on_change(record, &got), 1);
  EXPECT_EQ(poll(got), names{});
  t.file("r/y");
  EXPECT_EQ(poll(got), names{"cw-absorb"});
}

TEST(ChangeReport, RemovedRootsAreForgotten) {
  temp_tree t;
  reports got;
  clean_registry reg;
  t.file("a/x");
  t.file("b/1");
  t.file("b/2");
  kobas_on_change(record, &got);
  ASSERT_EQ(kobas_add_root("cw-again", t.path("a").c_str()), 0);
  t.file("a/y");  // a change no pass saw before the root went
  ASSERT_EQ(kobas_remove_root("cw-again"), 0);
  // The same name for another folder starts afresh: its add reports nothing.
  ASSERT_EQ(kobas_add_root("cw-again", t.path("b").c_str()), 0);
  EXPECT_EQ(got.names, names{});
  EXPECT_EQ(poll(got), names{});
  roots_clear(roots_get());  // as kobas_stop empties the registry
  ASSERT_EQ(kobas_add_root("cw-again", t.path("a").c_str()), 0);
  EXPECT_EQ(got.names, names{});
  ASSERT_EQ(kobas_remove_root("cw-again"), 0);
  // Names never run out: far more than the registry holds at once, one after another.
  for (int i = 0; i < 4200; ++i) {
    const std::string name = "cw-n" + std::to_string(i);
    ASSERT_EQ(kobas_add_root(name.c_str(), t.path("a").c_str()), 0);
    ASSERT_EQ(kobas_remove_root(name.c_str()), 0);
  }
  ASSERT_EQ(kobas_add_root("cw-late", t.path("a").c_str()), 0);
  t.file("a/z");
  EXPECT_EQ(poll(got), names{"cw-late"});
}

// Calls back into the library from inside the callback: adds a root (which runs its own pass)
// and polls again. Any lock still held by the outer pass would hang here. Last, it makes a call
// that fails, which must not show in the last error of the pass that called it.
struct reentry {
  std::string dir;
  int calls = 0;
  int add_result = -99;
  int count_seen = -1;
  int replaced = -1;
  names seen;
};

int call_back_in(const char* name, const char*, void* user) {
  auto* r = static_cast<reentry*>(user);
  r->seen.push_back(name);
  if (++r->calls == 1) {
    r->add_result = kobas_add_root("cw-inner", r->dir.c_str());
    kobas_poll_changes();
    r->count_seen = kobas_root_count();
    // Its own call is in progress on this very thread: waiting for it would never end.
    r->replaced = kobas_on_change(call_back_in, r);
  }
  kobas_remove_root("cw-nobody");
  return 0;
}

TEST(ChangeReport, CallbackMayCallBackIntoTheLibrary) {
  temp_tree t;
  reentry state;
  clean_registry reg;
  t.dir("outer");
  state.dir = t.dir("inner");
  kobas_on_change(call_back_in, &state);
  ASSERT_EQ(kobas_add_root("cw-outer", t.path("outer").c_str()), 0);
  t.file("outer/x");
  kobas_poll_changes();
  EXPECT_EQ(kobas_last_code(), 0);
  EXPECT_STREQ(kobas_last_error(), "");
  EXPECT_EQ(state.seen, names{"cw-outer"});
  EXPECT_EQ(state.add_result, 0);
  EXPECT_EQ(state.count_seen, 2);
  EXPECT_EQ(state.replaced, 1);
  EXPECT_EQ(kobas_root_count(), 2);
}

// A callback that holds its call open until the test lets it go, so the test can replace it
// while the call is in progress. Each waits with a deadline, so a fault fails instead of hanging.
struct gate {
  std::mutex m;
  std::condition_variable cv;
  int inside = 0;  // calls that have started
  bool open = false;
  bool finished = false;

  template <typename Ready>
  bool wait_for(Ready ready, std::unique_lock<std::mutex>& hold) {
    return cv.wait_for(hold, std::chrono::seconds(10), ready);
  }
};

int hold_until_open(const char*, const char*, void* user) {
  auto* g = static_cast<gate*>(user);
  std::unique_lock<std::mutex> hold(g->m);
  ++g->inside;
  g->cv.notify_all();
  g->wait_for([g] { return g->open; }, hold);
  g->finished = true;
  return 0;
}

TEST(ChangeCallback, ReplacingItReturnsOnlyAfterCallsInProgressEnd) {
  temp_tree t;
  clean_registry reg;
  gate g;
  t.dir("r");
  kobas_on_change(hold_until_open, &g);
  ASSERT_EQ(kobas_add_root("cw-held", t.path("r").c_str()), 0);
  t.file("r/x");
  std::thread poller([] { kobas_poll_changes(); });
  {
    std::unique_lock<std::mutex> hold(g.m);
    EXPECT_TRUE(g.wait_for([&g] { return g.inside == 1; }, hold));
  }
  bool finished_at_return = false;
  std::thread replacer([&] {
    kobas_on_change(nullptr, nullptr);
    const std::lock_guard<std::mutex> hold(g.m);
    finished_at_return = g.finished;
  });
  // The call is let go only once the replacement waits for it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (changes_waiters() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(changes_waiters(), 1);
  {
    const std::lock_guard<std::mutex> hold(g.m);
    g.open = true;
  }
  g.cv.notify_all();
  poller.join();
  replacer.join();
  EXPECT_TRUE(finished_at_return);
  EXPECT_EQ(changes_waiters(), 0);
}

// Two threads in the callback at once, each replacing it: each may wait for the other's call
// only while that one is not waiting itself, or neither would ever return.
int meet_then_replace(const char*, const char*, void* user) {
  auto* g = static_cast<gate*>(user);
  {
    std::unique_lock<std::mutex> hold(g->m);
    ++g->inside;
    g->cv.notify_all();
    g->wait_for([g] { return g->inside == 2; }, hold);
  }
  kobas_on_change(meet_then_replace, g);
  return 0;
}

TEST(ChangeCallback, CallbacksReplacingItOnTwoThreadsAtOnceBothReturn) {
  temp_tree t;
  clean_registry reg;
  gate g;
  t.dir("a");
  t.dir("b");
  kobas_on_change(meet_then_replace, &g);
  ASSERT_EQ(kobas_add_root("cw-meet-a", t.path("a").c_str()), 0);
  ASSERT_EQ(kobas_add_root("cw-meet-b", t.path("b").c_str()), 0);
  t.file("a/x");
  t.file("b/x");
  std::thread one([] { kobas_poll_changes(); });
  std::thread two([] { kobas_poll_changes(); });
  one.join();
  two.join();
  EXPECT_EQ(g.inside, 2);
}

}  // namespace
