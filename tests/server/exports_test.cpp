// The small exports: media type, path safety, link paths and the last-error readers; and the
// result tables of docs/api.md held against what the exports really return.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "content/roots.h"
#include "fs_fixture.h"
#include "kobas.h"
#include "server_harness.h"

extern const char* const k_api_doc;  // docs/api.md, compiled in

namespace {

// Leaves a failure in the calling thread's last error, so a test can see an export clear it.
void leave_error() {
  ASSERT_EQ(kobas_config("no_such_key", "1"), -1);
}

void expect_clear() {
  EXPECT_EQ(kobas_last_code(), 0);
  EXPECT_STREQ(kobas_last_error(), "");
}

}  // namespace

TEST(ExportedErrors, FreshThreadReadsSuccess) {
  int code = 9;
  std::string text = "x";
  std::thread t([&] {
    code = kobas_last_code();
    text = kobas_last_error();
  });
  t.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(text, "");
}

TEST(ExportedErrors, FailureThenSuccess) {
  leave_error();
  EXPECT_EQ(kobas_last_code(), -1);
  EXPECT_STREQ(kobas_last_error(), "unknown key");
  // Reading does not clear.
  EXPECT_EQ(kobas_last_code(), -1);
  EXPECT_EQ(kobas_safe_rel("a"), 0);
  expect_clear();
}

TEST(ExportedErrors, PerThread) {
  leave_error();
  std::string other;
  int other_code = 9;
  std::thread t([&] {
    kobas_config("", "x");
    other_code = kobas_last_code();
    other = kobas_last_error();
  });
  t.join();
  EXPECT_EQ(other_code, -1);
  EXPECT_EQ(other, "key required");
  EXPECT_STREQ(kobas_last_error(), "unknown key");
}

TEST(MimeFor, TypesAndClearsError) {
  leave_error();
  EXPECT_STREQ(kobas_mime_for("Movie.MKV"), "video/x-matroska");
  expect_clear();
  EXPECT_STREQ(kobas_mime_for(nullptr), "application/octet-stream");
  EXPECT_STREQ(kobas_mime_for("a.tar.gz"), "application/octet-stream");
}

TEST(MimeFor, SharesBufferWithHrefFor) {
  const char* mime = kobas_mime_for("a.mp4");
  const char* href = kobas_href_for("r", "x", 0);
  EXPECT_EQ(mime, href);
  EXPECT_STREQ(mime, "/r/x");
}

TEST(SafeRel, VerdictWithoutMessage) {
  leave_error();
  EXPECT_EQ(kobas_safe_rel(".."), 404);
  expect_clear();
  EXPECT_EQ(kobas_safe_rel(nullptr), 400);
  expect_clear();
  EXPECT_EQ(kobas_safe_rel("a/b.mkv"), 0);
}

struct href_row {
  const char* root;
  const char* rel;
  int is_dir;
  const char* want;
};

const href_row href_rows[] = {
    {"music", "Live & Loud/01 intro.mp3", 0, "/music/Live%20%26%20Loud/01%20intro.mp3"},
    {"music", "albums", 1, "/music/albums/"},
    {"music", "", 1, "/music/"},
    {"music", nullptr, 0, "/music"},
    {"ROOT", "a//b", 0, "/ROOT/a//b"},
    {"ROOT", "a/", 0, "/ROOT/a/"},
    {"ROOT", "a/", 1, "/ROOT/a/"},
    {"ROOT", "/a", 0, "/ROOT//a"},
    {"ROOT", "/", 0, "/ROOT//"},
    {"my root", "x?y#z%", 0, "/my%20root/x%3Fy%23z%25"},
    {"r", "caf\xC3\xA9", 0, "/r/caf%C3%A9"},
    {nullptr, nullptr, 0, "/"},
    {nullptr, nullptr, 1, "/"},
    {"", "a", 1, "//a/"},
};

TEST(HrefFor, Table) {
  for (const href_row& r : href_rows) {
    SCOPED_TRACE(std::string(r.root ? r.root : "(null)") + " " + (r.rel ? r.rel : "(null)"));
    leave_error();
    EXPECT_STREQ(kobas_href_for(r.root, r.rel, r.is_dir), r.want);
    expect_clear();
  }
}

TEST(HrefFor, SegmentOver1099BytesIsRefusedNotCut) {
  const std::string seg(1099, 'x');
  const std::string over(1100, 'x');
  // Counted before encoding: 400 '%' and 699 bytes fit, though they encode to 1,899.
  const std::string pct = std::string(400, '%') + std::string(699, 'x');
  std::string pct_encoded;
  for (int i = 0; i < 400; ++i) pct_encoded += "%25";
  pct_encoded += std::string(699, 'x');
  struct row {
    std::string rel;
    std::string want;
  };
  const row rows[] = {
      {seg, "/r/" + seg},
      {"a/" + seg + "/b", "/r/a/" + seg + "/b"},
      {pct, "/r/" + pct_encoded},
      {over, ""},
      {std::string(1503, 'x'), ""},
      {"a/" + over + "/b", ""},
      {pct + "%", ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.rel.size());
    leave_error();
    EXPECT_EQ(std::string(kobas_href_for("r", r.rel.c_str(), 0)), r.want);
    expect_clear();
  }
}

TEST(HrefFor, TooLongGivesEmptyWithoutError) {
  // "/r/" and 2,044 bytes is 2,047 bytes: the longest that fits.
  const std::string fits = std::string(1000, 'a') + "/" + std::string(1043, 'b');
  const std::string got = kobas_href_for("r", fits.c_str(), 0);
  EXPECT_EQ(got.size(), 2047u);
  const std::string over = fits + "c";
  leave_error();
  EXPECT_STREQ(kobas_href_for("r", over.c_str(), 0), "");
  expect_clear();
  // The folder slash counts too.
  EXPECT_STREQ(kobas_href_for("r", fits.c_str(), 1), "");
  // A failed call leaves the previous result in the buffer untouched.
  const char* ok = kobas_href_for("r", "x", 0);
  kobas_href_for("r", over.c_str(), 0);
  EXPECT_STREQ(ok, "/r/x");
}

namespace {

// One documented failure: its code and its message with %s and %d as wildcards.
struct documented {
  int code;
  std::string message;
};

std::vector<std::string> table_cells(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  for (size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
      cell += row[++i];
    } else if (row[i] == '|') {
      cells.push_back(cell);
      cell.clear();
    } else {
      cell += row[i];
    }
  }
  return cells;
}

std::vector<std::string> quoted_texts(const std::string& text) {
  std::vector<std::string> out;
  for (size_t open = text.find('"'); open != std::string::npos;) {
    const size_t close = text.find('"', open + 1);
    if (close == std::string::npos) break;
    out.push_back(text.substr(open + 1, close - open - 1));
    open = text.find('"', close + 1);
  }
  return out;
}

bool is_code(const std::string& cell) {
  return std::regex_match(cell, std::regex(" *-[0-9]+ *"));
}

// The failures docs/api.md lists for each export: rows of its result tables that hold a
// negative code and a quoted message; for kobas_config, the refusal column of its key table
// and the messages of its Result line, all -1.
std::map<std::string, std::vector<documented>> documented_failures() {
  std::map<std::string, std::vector<documented>> out;
  std::istringstream doc(k_api_doc);
  std::string line;
  std::string function;
  bool in_result = false;
  std::smatch m;
  while (std::getline(doc, line)) {
    if (std::regex_search(line, m, std::regex("^### `[^`]*(kobas_[a-z_]+)\\("))) {
      function = m[1];
      continue;
    }
    if (function.empty()) continue;
    if (function == "kobas_config") {
      std::vector<std::string> texts;
      if (line.rfind("| `", 0) == 0) {
        const std::vector<std::string> cells = table_cells(line);
        if (cells.size() == 4) texts = quoted_texts(cells[3]);
      } else if (line.rfind("- **Result:**", 0) == 0) {
        in_result = true;
      } else if (line.rfind("  ", 0) != 0) {
        in_result = false;  // the bullet's wrapped lines are indented
      }
      if (in_result) texts = quoted_texts(line);
      for (const std::string& t : texts) out[function].push_back({-1, t});
      continue;
    }
    if (line.rfind("|", 0) != 0) continue;
    const std::vector<std::string> cells = table_cells(line);
    for (size_t i = 0; i + 1 < cells.size(); ++i) {
      if (!is_code(cells[i])) continue;
      const std::vector<std::string> texts = quoted_texts(cells[i + 1]);
      if (!texts.empty()) out[function].push_back({std::stoi(cells[i]), texts[0]});
      break;
    }
  }
  return out;
}

bool matches(const documented& d, int code, const std::string& message) {
  if (d.code != code) return false;
  std::string pattern;
  for (size_t i = 0; i < d.message.size(); ++i) {
    const char c = d.message[i];
    if (c == '%' && i + 1 < d.message.size() && d.message[i + 1] == 's') {
      pattern += ".*";
      ++i;
    } else if (c == '%' && i + 1 < d.message.size() && d.message[i + 1] == 'd') {
      pattern += "-?[0-9]+";
      ++i;
    } else {
      if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
      pattern += c;
    }
  }
  return std::regex_match(message, std::regex(pattern));
}

// A call's code and the message it left, taken before anything else runs.
struct outcome {
  int code;
  std::string message;
};

outcome now(int code) {
  return {code, kobas_last_error()};
}

outcome listing(const char* page) {
  return now(page[0] == '\0' ? kobas_last_code() : 0);
}

// One call of an export and the code it must give; its message must be one docs/api.md lists
// for that code.
struct call_row {
  const char* function;
  const char* what;
  int want;
  std::function<outcome()> call;
};

}  // namespace

// Every documented failure of the exports with result tables is provoked, and every call that
// fails gives a documented code and message. Failures no test can provoke are named, with why.
TEST(DocumentedResults, EveryListedFailureHappensAndNoOtherDoes) {
  const auto docs = documented_failures();
  for (const char* f : {"kobas_config", "kobas_start", "kobas_add_root", "kobas_listing_html"}) {
    ASSERT_FALSE(docs.count(f) == 0 || docs.at(f).empty()) << f << ": no results found in the doc";
  }
  temp_tree t;
  roots_clear(roots_get());
  t.file("m/film.mkv", "x");
  t.dir("m/locked");
  const std::string seg(250, 's');
  const std::string long_rel = seg + "/" + seg + "/" + seg + "/" + seg + "/" + seg;
  t.dir("m/" + long_rel);
  const std::string m = t.path("m");
  const bool has_links = symlinks_supported();
  if (has_links) t.symlink("loop", t.path("loop"));
  // A folder without permissions stops no privileged process (root here, or Wine).
  std::filesystem::permissions(t.path("m/locked"), std::filesystem::perms::none);
  const bool locks_hold = kobas_add_root("probe", t.path("m/locked").c_str()) != 0;
  kobas_remove_root("probe");

  const std::vector<call_row> rows = {
      {"kobas_config", "0.0.0.0", -1, [] { return now(kobas_config("bind_ip", "0.0.0.0")); }},
      {"kobas_config", "blank first", -1, [] { return now(kobas_config("bind_ip", " 1.2.3.4")); }},
      {"kobas_config", "signs", -1, [] { return now(kobas_config("bind_ip", "+1.+2.+3.+4")); }},
      {"kobas_config", "port", -1, [] { return now(kobas_config("port", "65536")); }},
      {"kobas_config", "threads", -1, [] { return now(kobas_config("threads", "17")); }},
      {"kobas_config", "require_key", -1, [] { return now(kobas_config("require_key", "2")); }},
      {"kobas_config", "access_records", -1,
       [] { return now(kobas_config("access_records", "2")); }},
      {"kobas_poll_access", "no callback", -1,
       [] { return now(kobas_poll_access(nullptr, nullptr)); }},
      {"kobas_config", "empty key", -1, [] { return now(kobas_config("server_key", "")); }},
      {"kobas_config", "blank key", -1, [] { return now(kobas_config("server_key", "k ")); }},
      {"kobas_config", "no key", -1, [] { return now(kobas_config("", "1")); }},
      {"kobas_config", "unknown", -1, [] { return now(kobas_config("Port", "1")); }},
      {"kobas_start", "no such interface", -3,
       [] {
         kobas_config("bind_ip", "192.0.2.1");
         const outcome got = now(kobas_start());
         kobas_config("bind_ip", "127.0.0.1");
         return got;
       }},
      {"kobas_start", "twice", -2,
       [&] {
         outcome got;
         {
           running_server srv;
           got = now(kobas_start());
         }
         kobas_add_root("m", m.c_str());  // the stop emptied the registry
         return got;
       }},
      {"kobas_add_root", "no path", -1, [] { return now(kobas_add_root("a", nullptr)); }},
      {"kobas_add_root", "long path", -1,
       [] { return now(kobas_add_root("a", ("/" + std::string(1024, 'p')).c_str())); }},
      {"kobas_add_root", "bad name", -1, [&] { return now(kobas_add_root(".a", m.c_str())); }},
      {"kobas_add_root", "api", -1, [&] { return now(kobas_add_root("Api", m.c_str())); }},
      {"kobas_add_root", "missing", -4,
       [&] { return now(kobas_add_root("a", t.path("missing").c_str())); }},
      {"kobas_add_root", "link loop", has_links ? -4 : 0,
       [&] { return has_links ? now(kobas_add_root("a", t.path("loop").c_str())) : now(0); }},
      {"kobas_add_root", "locked", locks_hold ? -4 : 0,
       [&] {
         const outcome got = now(kobas_add_root("locked", t.path("m/locked").c_str()));
         kobas_remove_root("locked");
         return got;
       }},
      {"kobas_add_root", "twice", -1,
       [&] {
         kobas_add_root("twice", m.c_str());
         return now(kobas_add_root("twice", m.c_str()));
       }},
      {"kobas_add_root", "4,097th", -6,
       [&] {
         for (int i = kobas_root_count(); i < 4096; ++i)
           kobas_add_root(("r" + std::to_string(i)).c_str(), m.c_str());
         const outcome got = now(kobas_add_root("one-more", m.c_str()));
         roots_clear(roots_get());
         kobas_add_root("m", m.c_str());
         return got;
       }},
      {"kobas_listing_html", "backslash", -1,
       [] { return listing(kobas_listing_html("m", "a\\b")); }},
      {"kobas_listing_html", "no root", -4,
       [] { return listing(kobas_listing_html("nobody", "")); }},
      {"kobas_listing_html", "dot dot", -4, [] { return listing(kobas_listing_html("m", "..")); }},
      {"kobas_listing_html", "file", -4,
       [] { return listing(kobas_listing_html("m", "film.mkv")); }},
      {"kobas_listing_html", "locked", locks_hold ? -4 : 0,
       [] { return listing(kobas_listing_html("m", "locked")); }},
      {"kobas_listing_html", "long path", 0,
       [&] { return listing(kobas_listing_html("m", long_rel.c_str())); }},
      {"kobas_listing_html", "json, long path", 0,
       [&] { return listing(kobas_listing_json("m", long_rel.c_str(), 0, 0)); }},
      {"kobas_listing_html", "json, file", -4,
       [] { return listing(kobas_listing_json("m", "film.mkv", 0, 0)); }},
  };
  // What no test here can bring about: the system refusing sockets, threads or memory, and a
  // 16 MiB page (100,000 entries with long names).
  std::set<std::string> provoked = {
      "kobas_start socket() failed (errno %d)", "kobas_start thread start failed",
      "kobas_start cannot watch sockets",       "kobas_add_root out of memory",
      "kobas_listing_html page too large",      "kobas_poll_access out of memory",
  };
  if (!has_links) provoked.insert("kobas_add_root cannot resolve %s");
  if (!locks_hold) provoked.insert("kobas_add_root cannot open %s");

  ASSERT_EQ(kobas_add_root("m", m.c_str()), 0);
  for (const call_row& r : rows) {
    SCOPED_TRACE(std::string(r.function) + ": " + r.what);
    const auto [code, message] = r.call();
    EXPECT_EQ(code, r.want) << message;
    if (code == 0) continue;
    bool listed = false;
    for (const documented& d : docs.at(r.function)) {
      if (matches(d, code, message)) {
        provoked.insert(std::string(r.function) + " " + d.message);
        listed = true;
      }
    }
    EXPECT_TRUE(listed) << code << " \"" << message << "\" is not in docs/api.md";
  }
  std::filesystem::permissions(t.path("m/locked"), std::filesystem::perms::owner_all);
  for (const auto& [function, list] : docs) {
    for (const documented& d : list) {
      EXPECT_EQ(provoked.count(function + " " + d.message), 1u)
          << function << ": " << d.code << " \"" << d.message << "\" never happened";
    }
  }
  roots_clear(roots_get());
}
