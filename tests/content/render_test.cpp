// The two listing renderers (HTML page, JSON page) as pure functions of an entry list, and the
// exported listings end to end over a real folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clean_registry.h"
#include "content/listing.h"
#include "fs_fixture.h"
#include "kobas.h"
#include "util/sb.h"

namespace {

// Entry lists with names owned by the test; the renderers never take ownership.
struct entries {
  std::vector<std::string> names;
  std::vector<dent> list;
  void add(std::string name, int is_dir, int64_t size, int64_t mtime) {
    names.push_back(std::move(name));
    list.push_back(dent{.size = size, .mtime = mtime, .is_dir = is_dir});
  }
  const dent* data() {
    for (size_t i = 0; i < list.size(); ++i) list[i].name = names[i].data();
    return list.data();
  }
  int count() const { return static_cast<int>(list.size()); }
};

std::string html(const char* root, const char* rel, entries& e, int truncated, int* rc = nullptr) {
  sb_owner sb;
  const int r = render_html(sb.get(), root, rel, e.data(), e.count(), truncated);
  if (rc != nullptr) *rc = r;
  return sb.str();
}

std::string json(entries& e, int offset, int limit) {
  sb_owner sb;
  EXPECT_EQ(render_json(sb.get(), e.data(), e.count(), offset, limit), 0);
  return sb.str();
}

constexpr const char* PAGE_TOP = R"(<!DOCTYPE html>
<html lang="en">
<head>
  <title>Index of /a&amp;b/x&lt;y</title>
  <style>
    body { font-family: "Segoe UI", sans-serif; font-size: 14px; }
    #index { border-collapse: collapse; }
    #index th, #index td { padding: 3px 10px; text-align: left; }
    #index td.length, #index td.modified { text-align: right; }
    a { color: #1ba1e2; text-decoration: none; }
  </style>
</head>
<body>
  <section id="main">
    <header><h1>Index of /a&amp;b/x&lt;y</h1></header>
    <table id="index">
    <thead>
      <tr><th abbr="Name">Name</th><th abbr="Size">Size</th><th abbr="Modified">Last Modified</th></tr>
    </thead>
    <tbody>
)";

TEST(HtmlPage, AwkwardNamesByteForByte) {
  entries e;
  e.add("Live & Loud", 1, -1, 0);
  e.add("\xC3\xA9t\xC3\xA9", 1, -1, 1709647629);
  e.add("say \"hi\".txt", 0, 0, 999);
  e.add("<tag>.txt", 0, 999, 1709647629);
  e.add("tab\there.txt", 0, 1000, 86399);
  e.add("it's.mp3", 0, 1234567, 951782400);
  e.add("big.iso", 0, 1073741824, -14182940);
  const std::string rows = R"(      <tr class="directory">
        <td class="name"><a href="./Live%20%26%20Loud/">Live &amp; Loud/</a></td>
        <td class="length"></td>
        <td class="modified">01/01/1970 00:00:00 +00:00</td>
      </tr>
      <tr class="directory">
        <td class="name"><a href="./%C3%A9t%C3%A9/">été/</a></td>
        <td class="length"></td>
        <td class="modified">03/05/2024 14:07:09 +00:00</td>
      </tr>
      <tr class="file">
        <td class="name"><a href="./say%20%22hi%22.txt">say &quot;hi&quot;.txt</a></td>
        <td class="length">0</td>
        <td class="modified">01/01/1970 00:16:39 +00:00</td>
      </tr>
      <tr class="file">
        <td class="name"><a href="./%3Ctag%3E.txt">&lt;tag&gt;.txt</a></td>
        <td class="length">999</td>
        <td class="modified">03/05/2024 14:07:09 +00:00</td>
      </tr>
      <tr class="file">
        <td class="name"><a href="./tab%09here.txt">tab&#x09;here.txt</a></td>
        <td class="length">1,000</td>
        <td class="modified">01/01/1970 23:59:59 +00:00</td>
      </tr>
      <tr class="file">
        <td class="name"><a href="./it%27s.mp3">it&#x27;s.mp3</a></td>
        <td class="length">1,234,567</td>
        <td class="modified">02/29/2000 00:00:00 +00:00</td>
      </tr>
      <tr class="file">
        <td class="name"><a href="./big.iso">big.iso</a></td>
        <td class="length">1,073,741,824</td>
)"
#if _WIN32
                           // The Windows runtime refuses to break down times before 1970.
                           R"(        <td class="modified"></td>
)"
#else
                           R"(        <td class="modified">07/20/1969 20:17:40 +00:00</td>
)"
#endif
                           R"(      </tr>
)";
  const std::string end = "    </tbody>\n    </table>\n  </section>\n</body>\n</html>\n";
  int rc = -9;
  EXPECT_EQ(html("a&b", "x<y", e, 0, &rc), PAGE_TOP + rows + end);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(html("a&b", "x<y", e, 1),
            PAGE_TOP + rows + "    </tbody>\n    </table>\n    <!-- listing truncated -->\n" +
                "  </section>\n</body>\n</html>\n");
}

TEST(HtmlPage, TitlesAndEmptyLists) {
  entries none;
  const std::string page = html("music", "", none, 0);
  EXPECT_NE(page.find("<title>Index of /music</title>"), std::string::npos);
  EXPECT_NE(page.find("<h1>Index of /music</h1>"), std::string::npos);
  EXPECT_NE(page.find("<tbody>\n    </tbody>\n    </table>\n  </section>"), std::string::npos);
  EXPECT_EQ(html("music", nullptr, none, 0), page);
  EXPECT_NE(html("music", "a/b", none, 0).find("<h1>Index of /music/a/b</h1>"), std::string::npos);
}

TEST(HtmlPage, LongTitlePathIsShownWhole) {
  entries none;
  // "/" + 128 + "/" + rel of 4,096 bytes, the longest path resolution lets through.
  const std::string root(128, 'r');
  const std::string rel(4096, 'p');
  int rc = -9;
  const std::string page = html(root.c_str(), rel.c_str(), none, 0, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(page.find("<h1>Index of /" + root + "/" + rel + "</h1>"), std::string::npos);
}

TEST(JsonPage, ItemsAndEscaping) {
  entries e;
  e.add("a b", 1, -1, 1700000000);
  e.add("q\"\\\t\x01\xC3\xA9", 0, 1024, 1700000001);
  e.add("old", 0, 0, -5);
  EXPECT_EQ(json(e, 0, 0),
            "{\"items\":["
            "{\"name\":\"a b\",\"kind\":\"dir\",\"mtime_unix\":1700000000,\"href\":\"a%20b/\"},"
            "{\"name\":\"q\\\"\\\\\\t\\u0001\xC3\xA9\",\"kind\":\"file\",\"size\":1024,"
            "\"mtime_unix\":1700000001,\"href\":\"q%22%5C%09%01%C3%A9\"},"
            "{\"name\":\"old\",\"kind\":\"file\",\"size\":0,\"mtime_unix\":-5,\"href\":\"old\"}"
            "],\"next\":null}");
  EXPECT_EQ(json(e, 1, 1),
            "{\"items\":[{\"name\":\"q\\\"\\\\\\t\\u0001\xC3\xA9\",\"kind\":\"file\","
            "\"size\":1024,\"mtime_unix\":1700000001,\"href\":\"q%22%5C%09%01%C3%A9\"}],"
            "\"next\":\"2\"}");
  EXPECT_EQ(json(e, 2, 1),
            "{\"items\":[{\"name\":\"old\",\"kind\":\"file\",\"size\":0,\"mtime_unix\":-5,"
            "\"href\":\"old\"}],\"next\":null}");
  // A name that is not UTF-8 keeps the page valid: U+FFFD in the text, the real bytes in the
  // link, which still leads to the entry.
  entries latin;
  latin.add("caf\xE9.mp3", 0, 1, 0);
  EXPECT_EQ(json(latin, 0, 0),
            "{\"items\":[{\"name\":\"caf\xEF\xBF\xBD.mp3\",\"kind\":\"file\",\"size\":1,"
            "\"mtime_unix\":0,\"href\":\"caf%E9.mp3\"}],\"next\":null}");
}

TEST(JsonPage, Paging) {
  entries e;
  for (int i = 0; i < 1200; ++i) e.add("f" + std::to_string(10000 + i), 0, i, 0);
  struct row {
    int offset, limit;
    int items;
    const char* first;  // name of the first item, null for none
    const char* next;
  };
  const row rows[] = {
      {0, 500, 500, "f10000", "\"next\":\"500\"}"}, {500, 500, 500, "f10500", "\"next\":\"1000\"}"},
      {1000, 500, 200, "f11000", "\"next\":null}"}, {-7, 0, 500, "f10000", "\"next\":\"500\"}"},
      {0, -5, 500, "f10000", "\"next\":\"500\"}"},  {0, 501, 500, "f10000", "\"next\":\"500\"}"},
      {3, 1, 1, "f10003", "\"next\":\"4\"}"},       {1199, 1, 1, "f11199", "\"next\":null}"},
      {700, 500, 500, "f10700", "\"next\":null}"},  // ends exactly at the last entry
      {1200, 500, 0, nullptr, "\"next\":null}"},    {2147483647, 500, 0, nullptr, "\"next\":null}"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::to_string(r.offset) + "/" + std::to_string(r.limit));
    const std::string page = json(e, r.offset, r.limit);
    size_t items = 0;
    for (size_t at = page.find("{\"name\""); at != std::string::npos;
         at = page.find("{\"name\"", at + 1)) {
      ++items;
    }
    EXPECT_EQ(items, static_cast<size_t>(r.items));
    if (r.first != nullptr) {
      EXPECT_EQ(page.rfind(std::string("{\"items\":[{\"name\":\"") + r.first + "\"", 0), 0u);
    } else {
      EXPECT_EQ(page, "{\"items\":[],\"next\":null}");
    }
    EXPECT_EQ(page.substr(page.size() - std::string(r.next).size()), r.next);
  }
  entries none;
  EXPECT_EQ(json(none, 0, 10), "{\"items\":[],\"next\":null}");
}

TEST(ListingExports, HtmlAndJsonOverARealFolder) {
  temp_tree t;
  clean_registry reg;
  t.file("m/Live & Loud/01.mp3", "x");
  t.set_mtime("m/Live & Loud", 0);
  t.file("m/b.txt", "12345");
  t.set_mtime("m/b.txt", 1709647629);
  t.file("m/.hidden");
  t.file("single.mkv", "1");
  ASSERT_EQ(kobas_add_root("music", t.path("m").c_str()), 0);
  ASSERT_EQ(kobas_add_root("one", t.path("single.mkv").c_str()), 0);

  const std::string page = kobas_listing_html("music", "");
  EXPECT_EQ(kobas_last_code(), 0);
  EXPECT_NE(page.find("<title>Index of /music</title>"), std::string::npos);
  EXPECT_NE(page.find("<a href=\"./Live%20%26%20Loud/\">Live &amp; Loud/</a>"), std::string::npos);
  EXPECT_NE(page.find("<td class=\"length\">5</td>\n"
                      "        <td class=\"modified\">03/05/2024 14:07:09 +00:00</td>"),
            std::string::npos);
  EXPECT_EQ(page.find("hidden"), std::string::npos);
  EXPECT_LT(page.find("Live"), page.find("b.txt"));

  // A null REL is the root itself, as "" is.
  EXPECT_EQ(std::string(kobas_listing_html("music", nullptr)), page);
  EXPECT_EQ(kobas_last_code(), 0);
  const std::string top = kobas_listing_json("music", "", 0, 10);
  EXPECT_EQ(top.rfind("{\"items\":[{\"name\":\"Live & Loud\"", 0), 0u) << top;
  EXPECT_EQ(std::string(kobas_listing_json("music", nullptr, 0, 10)), top);
  EXPECT_EQ(kobas_last_code(), 0);

  const std::string sub = kobas_listing_json("music", "Live & Loud", -1, 0);
  EXPECT_EQ(sub.rfind("{\"items\":[{\"name\":\"01.mp3\",\"kind\":\"file\",\"size\":1,", 0), 0u);
  const std::string tail = ",\"href\":\"01.mp3\"}],\"next\":null}";
  ASSERT_GT(sub.size(), tail.size());
  EXPECT_EQ(sub.substr(sub.size() - tail.size()), tail);
}

TEST(ListingExports, FailuresLeaveTheBufferAlone) {
  temp_tree t;
  clean_registry reg;
  t.file("m/f.txt", "x");
  t.file("single.mkv", "1");
  ASSERT_EQ(kobas_add_root("music", t.path("m").c_str()), 0);
  ASSERT_EQ(kobas_add_root("one", t.path("single.mkv").c_str()), 0);
  const char* good = kobas_listing_html("music", "");
  ASSERT_NE(std::string(good), "");
  const std::string before = good;

  struct row {
    const char* root;
    const char* rel;
    int code;
    const char* message;
  };
  const row rows[] = {
      {"nobody", "", -4, "resolve: 404"},
      {"music", "a/../f.txt", -4, "resolve: 404"},
      {"music", "a\\b", -1, "resolve: 400"},
      {"music", "missing", -4, "resolve: 404"},
      {"music", "f.txt", -4, "not a folder (a file root has no listing)"},
      {"one", "single.mkv", -4, "not a folder (a file root has no listing)"},
      {"one", "", -4, "resolve: 404"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.root) + " " + r.rel);
    EXPECT_STREQ(kobas_listing_html(r.root, r.rel), "");
    EXPECT_EQ(kobas_last_code(), r.code);
    EXPECT_STREQ(kobas_last_error(), r.message);
    EXPECT_STREQ(kobas_listing_json(r.root, r.rel, 0, 10), "");
    EXPECT_EQ(kobas_last_code(), r.code);
    EXPECT_STREQ(kobas_last_error(), r.message);
  }
  EXPECT_EQ(std::string(good), before);
}

TEST(ListingExports, LongPathListsInBothForms) {
  temp_tree t;
  clean_registry reg;
  // Five nested folders of 250 bytes: a title "/" + 100 + "/" + 1,254 bytes long.
  const std::string seg(250, 's');
  const std::string rel = seg + "/" + seg + "/" + seg + "/" + seg + "/" + seg;
  t.dir("m/" + rel);
  const std::string name(100, 'n');
  ASSERT_EQ(kobas_add_root(name.c_str(), t.path("m").c_str()), 0);
  const std::string page = kobas_listing_html(name.c_str(), rel.c_str());
  EXPECT_EQ(kobas_last_code(), 0);
  EXPECT_NE(page.find("<h1>Index of /" + name + "/" + rel + "</h1>"), std::string::npos);
  EXPECT_STREQ(kobas_listing_json(name.c_str(), rel.c_str(), 0, 0), "{\"items\":[],\"next\":null}");
}

}  // namespace
