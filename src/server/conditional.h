// conditional.h: validators of a file answer and the conditional request headers judged against
// them (RFC 9110 sections 8.8 and 13), and whether a request admits a gzip'd body (section
// 12.5.3). Pure: no state, no last error, no I/O, so each rule can be driven from a table.
#pragma once

#include <cstdint>
#include <string_view>

// "…" around three hexadecimal numbers with dashes: 2 + 3 * 16 + 2 and the terminator fit.
inline constexpr size_t ETAG_BYTES = 64;
// A decimal int64 with its sign and the terminator.
inline constexpr size_t LAST_MODIFIED_BYTES = 24;

// The strong entity tag of a file of SIZE bytes last modified at MTIME_S seconds and MTIME_NS
// nanoseconds: a rewrite changes it even within one second, when the platform records finer
// times. Written with its double quotes.
void make_etag(int64_t size, int64_t mtime_s, int32_t mtime_ns, char out[ETAG_BYTES]);

// The Last-Modified value as file answers carry it: seconds in decimal, not an HTTP date.
void make_last_modified(int64_t mtime_s, char out[LAST_MODIFIED_BYTES]);

// An HTTP date in any of the three forms a recipient must accept (RFC 9110 section 5.6.7):
// IMF-fixdate, the obsolete RFC 850 form and asctime's. true with *OUT in Unix seconds.
bool parse_http_date(std::string_view text, int64_t* out);

// true when the If-None-Match value LIST names ETAG by weak comparison, or is "*". A list that
// does not parse matches nothing, so the client gets the full answer rather than a wrong 304.
bool etag_list_matches(std::string_view list, std::string_view etag);

// The validators of the current file and the request's conditional headers (null when absent).
struct conditional_input {
  const char* etag;
  const char* last_modified;  // the text file answers carry
  int64_t mtime_s;
  const char* if_none_match;
  const char* if_modified_since;
  const char* if_range;
};

// What the request gets: 304 "Not Modified", or the answer its Range asks for, or the whole
// file because If-Range names another version.
enum class conditional_outcome { not_modified, honour_range, whole_file };

// RFC 9110 section 13.2.2 for a GET or HEAD of a file that exists: If-None-Match first (then
// If-Modified-Since is ignored), otherwise If-Modified-Since; then If-Range. If-Range holds
// only for the exact current ETag or the exact Last-Modified text, so a Range that would be
// unsatisfiable is judged only after it held. honour_range is also the answer without Range.
conditional_outcome judge_conditional(const conditional_input& in);

// true when the Accept-Encoding value admits gzip (or its alias x-gzip, or "*") with q > 0.
// Null or absent: false, as the body goes out as it is.
bool accepts_gzip(const char* accept_encoding);
