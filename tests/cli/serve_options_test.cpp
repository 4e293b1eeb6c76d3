// The serve command's option reading, configuration and root registration, each refusal with its
// exact standard-error line, its status and nothing on standard output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "fs_fixture.h"
#include "long_root_path.h"
#include "serve_session.h"
#include "usage_text.h"

namespace {

constexpr const char* k_bind_refusal =
    "bind_ip: bind_ip must be an IPv4 literal of one interface (not 0.0.0.0/multicast/broadcast)\n";

struct row {
  std::vector<std::string> args;
  int status;
  std::string err;
};

void expect_rows(const std::vector<row>& rows) {
  for (const row& r : rows) {
    std::string name;
    for (const std::string& a : r.args) name += "[" + a.substr(0, 40) + "]";
    SCOPED_TRACE(name.substr(0, 300));
    run_result got = run_kobas(r.args);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, r.err);
  }
}

std::vector<std::string> with_roots(int count, const std::string& word) {
  std::vector<std::string> args = {"serve", "--bind", "127.0.0.1", "--port", "0"};
  for (int i = 0; i < count; ++i) {
    args.push_back("--root");
    args.push_back(word);
  }
  return args;
}

}  // namespace

TEST(ServeOptions, IncompleteOptionSetsAreUsageErrors) {
  temp_tree t;
  expect_rows({
      {{"serve"}, 2, k_usage},
      {{"serve", "--bind"}, 2, k_usage},
      {{"serve", "--bind", "127.0.0.1", "--port"}, 2, k_usage},
      {{"serve", "--root", "music=" + t.root()}, 2, k_usage},
      {{"serve", "--bind", "127.0.0.1", "--verbose", "1"}, 2, k_usage},
      {{"serve", "--bind", "127.0.0.1", "--BIND", "127.0.0.1"}, 2, k_usage},
      // A value is never read as an option word: here "--bind" is only the port's value.
      {{"serve", "--port", "--bind", "127.0.0.1", "x"}, 2, k_usage},
      {{"serve", "--port", "--bind"}, 2, k_usage},
  });
}

TEST(ServeOptions, RootWordsAreLimitedTo512) {
  // The words are malformed on purpose: 512 pass option reading and fail at registration, while a
  // 513th ends in usage before any of them is looked at.
  expect_rows({
      {with_roots(512, "nameless"), 1, "root needs NAME=PATH: nameless\n"},
      {with_roots(513, "nameless"), 2, k_usage},
  });
}

TEST(ServeOptions, RefusedConfigurationValuesInOrder) {
  expect_rows({
      {{"serve", "--bind", "127.0.0.1", "--port", "70000"}, 1, "port: port 0..65535\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "-1"}, 1, "port: port 0..65535\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--threads", "0"},
       1,
       "threads: threads 1..16\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--threads", "17"},
       1,
       "threads: threads 1..16\n"},
      {{"serve", "--bind", "0.0.0.0"}, 1, k_bind_refusal},
      // The address is checked first, the port second, the threads third.
      {{"serve", "--threads", "0", "--port", "70000", "--bind", "0.0.0.0"}, 1, k_bind_refusal},
      {{"serve", "--threads", "0", "--port", "70000", "--bind", "127.0.0.1"},
       1,
       "port: port 0..65535\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--require-key", std::string(128, 'k')},
       1,
       "key: server_key 1..127 chars\n"},
      // Judged whole, in the configuration's words: nothing wraps or is cut into a valid value.
      {{"serve", "--bind", "127.0.0.1", "--port", "4294970617"}, 1, "port: port 0..65535\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "-4294967296"}, 1, "port: port 0..65535\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "99999999999999999999"},
       1,
       "port: port 0..65535\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--threads", "4294967297"},
       1,
       "threads: threads 1..16\n"},
      {{"serve", "--bind", "0.0.0." + std::string(33, '0') + "1"}, 1, k_bind_refusal},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--poll-every", "0"},
       1,
       "poll-every: 1..3600 seconds\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--poll-every", "3601"},
       1,
       "poll-every: 1..3600 seconds\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--require-key", "key "},
       1,
       "key: server_key must not start or end with a space or tab\n"},
  });
}

TEST(ServeOptions, RefusedRootWords) {
  temp_tree t;
  expect_rows({
      {with_roots(1, "music"), 1, "root needs NAME=PATH: music\n"},
      {with_roots(1, "=" + t.root()), 1, "root needs NAME=PATH: =" + t.root() + "\n"},
      {with_roots(1, std::string(160, 'n') + "=" + t.root()), 1,
       "root needs NAME=PATH: " + std::string(160, 'n') + "=" + t.root() + "\n"},
      // A missing path still resolves as text; the registry refuses it when it examines it.
      {with_roots(1, "music=" + t.path("missing")), 1,
       "root music: " + t.path("missing") + " is not a file or folder\n"},
      {with_roots(1, std::string(129, 'n') + "=" + t.root()), 1,
       "root " + std::string(129, 'n') + ": root name must be 1..128 URL-safe chars\n"},
      {with_roots(1, "music=" + over_long_path_into(t.root())), 1, "root music: path too long\n"},
      {with_roots(1, "api=" + t.root()), 1,
       "root api: root name api is taken by the server's /api/ endpoints\n"},
  });
}

TEST(ServeOptions, DuplicateRootStopsAtTheSecondWord) {
  temp_tree t;
  std::vector<std::string> args = with_roots(2, "music=" + t.root());
  expect_rows({{args, 1, "root music: root name already used: music\n"}});
}

TEST(ServeOptions, StartFailureIsReported) {
  serve_session first;
  ASSERT_NE(first.port, 0) << first.listening;
  // A second server on the port the first one holds cannot bind it.
  run_result r = run_kobas({"serve", "--bind", "127.0.0.1", "--port", std::to_string(first.port)});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("start: ", 0), 0u) << r.err;
  EXPECT_GT(r.err.size(), std::string("start: \n").size());
  EXPECT_EQ(r.err.back(), '\n');
  first.quit_cleanly();
}
