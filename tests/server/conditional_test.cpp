// Validators and conditional requests as pure rules: the entity tag, HTTP dates in their three
// forms, If-None-Match lists, the order in which the conditions are judged, Accept-Encoding, and
// the capture of these fields from a request head.
#include "server/conditional.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "server/http.h"

namespace {

TEST(Etag, ChangesWithEveryPartOfTheVersion) {
  char base[ETAG_BYTES];
  make_etag(1000, 1700000000, 5, base);
  EXPECT_EQ(base[0], '"');
  EXPECT_EQ(base[std::strlen(base) - 1], '"');
  struct row {
    int64_t size, s;
    int32_t ns;
  };
  // A rewrite within the same second, a size change alone, a time 1 s later, a time before 1970.
  for (const row& r : {row{1000, 1700000000, 6}, row{1001, 1700000000, 5}, row{1000, 1700000001, 5},
                       row{1000, -1700000000, 5}}) {
    char other[ETAG_BYTES];
    make_etag(r.size, r.s, r.ns, other);
    EXPECT_STRNE(other, base) << other;
  }
  char again[ETAG_BYTES];
  make_etag(1000, 1700000000, 5, again);
  EXPECT_STREQ(again, base);
  EXPECT_STREQ(base, "\"3e8-6553f100-5\"");
  make_etag(0, 0, 0, again);
  EXPECT_STREQ(again, "\"0-0-0\"");
  make_etag(INT64_MAX, INT64_MIN, 999999999, again);
  EXPECT_STREQ(again, "\"7fffffffffffffff-8000000000000000-3b9ac9ff\"");
}

TEST(LastModifiedText, DecimalSeconds) {
  char text[LAST_MODIFIED_BYTES];
  for (int64_t t : {int64_t{0}, int64_t{1700000000}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
    make_last_modified(t, text);
    EXPECT_EQ(text, std::to_string(t));
  }
}

TEST(HttpDateParse, ThreeFormsAndRefusals) {
  struct row {
    const char* text;
    bool ok;
    int64_t t;
  };
  const row rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", true, 784111777},
      {"Sun Nov  6 08:49:37 1994", true, 784111777},
      {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
      {"Tue, 29 Feb 2028 23:59:59 GMT", true, 1835481599},
      {"Wed, 30 Dec 2026 10:00:00 GMT", true, 1798624800},
      {"Thursday, 01-Jan-70 00:00:00 GMT", true, 0},
      {"Wed, 29 Feb 2027 00:00:00 GMT", false, 0},  // not a leap year
      {"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
      {"Sun, 6 Nov 1994 08:49:37 GMT", false, 0},
      {"Sun, 06 nov 1994 08:49:37 GMT", false, 0},  // names are case-sensitive
      {"Sun, 06 Nov 1994 24:00:00 GMT", false, 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT x", false, 0},
      {"Sun, 32 Dec 1994 08:49:37 GMT", false, 0},
      {"Sun Nov 6 08:49:37 1994", false, 0},
      {"1700000000", false, 0},  // our own Last-Modified text is not a date
      {"", false, 0},
      {"yesterday", false, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    int64_t t = -1;
    EXPECT_EQ(parse_http_date(r.text, &t), r.ok);
    if (r.ok) {
      EXPECT_EQ(t, r.t);
    }
  }
}

TEST(IfNoneMatchList, WeakComparison) {
  const char* etag = "\"3e8-1\"";
  struct row {
    const char* list;
    bool match;
  };
  const row rows[] = {
      {"\"3e8-1\"", true},
      {"W/\"3e8-1\"", true},  // weak comparison ignores the weakness
      {"\"a\", \"3e8-1\"", true},
      {"\"a\",W/\"3e8-1\" ,\"b\"", true},
      {" , ,\"3e8-1\",", true},
      {"*", true},
      {" * ", true},
      {"\"3e8-2\"", false},
      {"\"3E8-1\"", false},  // opaque tags compare byte for byte
      {"3e8-1", false},      // unquoted
      {"\"3e8-1", false},
      {"\"a\" \"3e8-1\"", false},  // no comma between members: not a list
      {"w/\"3e8-1\"", false},
      {"\"a,b\", \"3e8-1\"", true},  // a comma inside a tag is part of it
      {"*, \"a\"", false},
      {"", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.list);
    EXPECT_EQ(etag_list_matches(r.list, etag), r.match);
  }
}

TEST(JudgeConditional, Table) {
  using o = conditional_outcome;
  // The file: this ETag, Last-Modified text and time (Tue, 14 Nov 2023 22:13:20 GMT).
  const char* etag = "\"3e8-6553f100-0\"";
  const char* lm = "1700000000";
  struct row {
    const char* what;
    const char *inm, *ims, *if_range;
    o want;
  };
  const row rows[] = {
      {"nothing asked", nullptr, nullptr, nullptr, o::honour_range},
      {"tag matches", etag, nullptr, nullptr, o::not_modified},
      {"tag differs", "\"old\"", nullptr, nullptr, o::honour_range},
      {"list holds it", "\"old\", \"3e8-6553f100-0\"", nullptr, nullptr, o::not_modified},
      {"star", "*", nullptr, nullptr, o::not_modified},
      {"weak tag", "W/\"3e8-6553f100-0\"", nullptr, nullptr, o::not_modified},
      {"malformed list", "\"3e8-6553f100-0", nullptr, nullptr, o::honour_range},
      {"date after", nullptr, "Tue, 14 Nov 2023 22:13:21 GMT", nullptr, o::not_modified},
      {"date equal", nullptr, "Tue, 14 Nov 2023 22:13:20 GMT", nullptr, o::not_modified},
      {"date before", nullptr, "Tue, 14 Nov 2023 22:13:19 GMT", nullptr, o::honour_range},
      {"malformed date", nullptr, "14 Nov 2023", nullptr, o::honour_range},
      {"two dates", nullptr, "Tue, 14 Nov 2023 22:13:21 GMT, Tue, 14 Nov 2023 22:13:21 GMT",
       nullptr, o::honour_range},
      {"tag differs, date would match: the tag decides", "\"old\"", "Tue, 14 Nov 2023 22:13:21 GMT",
       nullptr, o::honour_range},
      {"tag matches, date before: the tag decides", etag, "Thu, 01 Jan 1970 00:00:00 GMT", nullptr,
       o::not_modified},
      {"If-Range our ETag", nullptr, nullptr, etag, o::honour_range},
      {"If-Range our Last-Modified text", nullptr, nullptr, lm, o::honour_range},
      {"If-Range an older ETag", nullptr, nullptr, "\"3e8-6553f0ff-0\"", o::whole_file},
      {"If-Range weak", nullptr, nullptr, "W/\"3e8-6553f100-0\"", o::whole_file},
      {"If-Range as an HTTP date", nullptr, nullptr, "Tue, 14 Nov 2023 22:13:20 GMT",
       o::whole_file},
      {"If-Range another number", nullptr, nullptr, "1699999999", o::whole_file},
      {"If-Range empty", nullptr, nullptr, "", o::whole_file},
      {"304 comes before If-Range", etag, nullptr, "\"other\"", o::not_modified},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(judge_conditional({etag, lm, 1700000000, r.inm, r.ims, r.if_range}), r.want);
  }
}

TEST(AcceptEncoding, AdmitsGzip) {
  struct row {
    const char* value;
    bool gzip;
  };
  const row rows[] = {
      {"gzip", true},
      {"gzip, deflate, br", true},
      {"GZip", true},
      {"x-gzip", true},
      {"br;q=1.0, gzip;q=0.8, *;q=0.1", true},
      {"gzip;q=0.001", true},
      {"gzip ; q=1", true},
      {"*", true},
      {"deflate, *;q=0.5", true},
      {"gzip;q=0", false},
      {"gzip;q=0.000", false},
      {"gzip;q=0, *", false},  // named and refused: the star does not bring it back
      {"*;q=0", false},
      {"deflate, br", false},
      {"identity", false},
      {"gzipx", false},
      {"gzip;q=2", false},  // not a qvalue
      {"gzip;q=1.5", false},
      {"gzip;q=abc", false},
      {"", false},
      {nullptr, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.value != nullptr ? r.value : "(absent)");
    EXPECT_EQ(accepts_gzip(r.value), r.gzip);
  }
}

TEST(RequestHead, ConditionalFieldsCaptured) {
  auto req = std::make_unique<http_request>();
  int status = 0;
  ASSERT_EQ(
      parse_request_head("GET / HTTP/1.1\r\nif-none-match: \"a\"\r\nIf-None-Match:  \"b\" \r\n"
                         "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                         "IF-RANGE: \"c\"\r\nAccept-Encoding: br\r\nAccept-Encoding: gzip",
                         req.get(), &status),
      1);
  // Repeated lines of a list field are one list.
  EXPECT_STREQ(req->if_none_match.get(), "\"a\", \"b\"");
  EXPECT_STREQ(req->if_modified_since.get(), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_STREQ(req->if_range.get(), "\"c\"");
  EXPECT_STREQ(req->accept_encoding.get(), "br, gzip");
  // The record is reused for the next request of a connection: nothing may carry over.
  ASSERT_EQ(parse_request_head("GET / HTTP/1.1\r\nHost: x", req.get(), &status), 1);
  EXPECT_EQ(req->if_none_match, nullptr);
  EXPECT_EQ(req->if_modified_since, nullptr);
  EXPECT_EQ(req->if_range, nullptr);
  EXPECT_EQ(req->accept_encoding, nullptr);
}

}  // namespace
