// Many threads on the registry and the watcher at once: adding, removing, resolving, listing
// and polling. Meant to run under ThreadSanitizer as well; a lock-order fault hangs or reports.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "clean_registry.h"
#include "content/listing.h"
#include "content/resolve.h"
#include "fs_fixture.h"
#include "kobas.h"

namespace {

std::atomic<int> g_reports{0};

int count_report(const char*, const char*, void*) {
  g_reports.fetch_add(1);
  kobas_root_count();  // the callback runs with no lock held
  return 0;
}

TEST(RegistryConcurrency, AddRemoveResolvePollAtOnce) {
  temp_tree t;
  clean_registry reg;
  t.file("stable/f.txt", "abc");
  const std::string spare = t.dir("spare");
  ASSERT_EQ(kobas_add_root("cc-stable", t.path("stable").c_str()), 0);
  kobas_on_change(count_report, nullptr);

  constexpr int rounds = 150;
  std::atomic<int> resolve_failures{0};
  std::atomic<int> add_failures{0};
  std::vector<std::thread> threads;
  for (int a = 0; a < 2; ++a) {
    threads.emplace_back([&, a] {
      for (int i = 0; i < rounds; ++i) {
        const std::string name = "cc-a" + std::to_string(a) + "-" + std::to_string(i % 5);
        if (kobas_add_root(name.c_str(), spare.c_str()) != 0) add_failures.fetch_add(1);
        if (kobas_remove_root(name.c_str()) != 0) add_failures.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < rounds; ++i) {
      opened_target target;
      if (resolve_open("cc-stable", "f.txt", &target) != 0 || target.is_dir()) {
        resolve_failures.fetch_add(1);
      }
      dent* entries = nullptr;
      int count = 0, truncated = 0;
      if (list_dir(t.path("stable").c_str(), &entries, &count, &truncated) != 0)
        resolve_failures.fetch_add(1);
      free_dents(entries, count);
    }
  });
  // Two pollers: passes read the folders side by side and record what they read in turn.
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < rounds; ++i) {
        kobas_poll_changes();
        if (i % 10 == 0) {
          std::ofstream(t.path("stable/n" + std::to_string(p) + "-" + std::to_string(i))).put('x');
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < rounds; ++i) {
      kobas_on_change(i % 2 ? count_report : nullptr, nullptr);
      kobas_root_count();
    }
    kobas_on_change(count_report, nullptr);
  });
  for (std::thread& th : threads) th.join();

  EXPECT_EQ(resolve_failures.load(), 0);
  EXPECT_EQ(add_failures.load(), 0);
  EXPECT_EQ(kobas_root_count(), 1);
  EXPECT_EQ(std::string(kobas_roots_json()), "[{\"name\":\"cc-stable\",\"path\":\"" +
                                                 json_text(t.path("stable")) +
                                                 "\",\"kind\":\"folder\"}]");
}

}  // namespace
