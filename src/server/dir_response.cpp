// dir_response.cpp: enumerates a folder afresh for every request and renders it for people
// (HTML) or programs (JSON pages). Enumeration and rendering belong to content; this file only
// reads the query, picks the renderer and sends the result.
#include "server/dir_response.h"

#include <cstdlib>

#include "content/listing.h"
#include "util/sb.h"
#include "util/str.h"

namespace {

// Buffers for the query values: a value too long for its buffer fails to decode and so counts
// as absent.
constexpr uint64_t FORMAT_BYTES = 16;
constexpr uint64_t NUMBER_BYTES = 24;
// One JSON page holds at most this many entries; the listing applies the same bound.
constexpr int DEFAULT_PAGE_ENTRIES = 500;

// The decimal value of query parameter NAME: FALLBACK when absent or undecodable; a text
// without a leading number reads as 0, as strtol has it.
int query_int(const char* query, const char* name, int fallback) {
  char buf[NUMBER_BYTES];
  if (query_val(query, name, buf, sizeof buf) != 0) return fallback;
  long v = std::strtol(buf, nullptr, 10);
  if (v > 2147483647L) return 2147483647;
  if (v < -2147483647L - 1) return -2147483647 - 1;
  return static_cast<int>(v);
}

struct dents_owner {
  dent* entries = nullptr;
  int count = 0;
  ~dents_owner() { free_dents(entries, count); }
};

}  // namespace

bool serve_folder(const http_reply& r, const http_request& req, const char* root_name,
                  const char* rel, const char* full_path) {
  char format[FORMAT_BYTES];
  bool json = query_val(req.query, "format", format, sizeof format) == 0 && str_ieq(format, "json");

  dents_owner list;
  int truncated = 0;
  if (list_dir(full_path, &list.entries, &list.count, &truncated) != 0) {
    return reply(r, 404, "Not Found", "text/plain", "not found\n");
  }

  sb_owner body;
  if (json) {
    int offset = query_int(req.query, "cursor", 0);
    int limit = query_int(req.query, "limit", DEFAULT_PAGE_ENTRIES);
    render_json(body.get(), list.entries, list.count, offset, limit);
    return reply(r, 200, "OK", "application/json", std::string_view(body.str(), body.len()));
  }
  // A title path the page cannot hold means the request named something no page can show:
  // say so instead of answering an empty page with 200.
  if (render_html(body.get(), root_name, rel, list.entries, list.count, truncated) != 0) {
    return reply(r, 400, "Bad Request", "text/plain", "bad request\n");
  }
  return reply(r, 200, "OK", "text/html; charset=utf-8", std::string_view(body.str(), body.len()));
}
