// escape.h: byte-level escaping of names and request parts: HTML text, percent-encoding of one
// path segment, and percent-decoding. UTF-8 passes through as bytes.
#pragma once

#include <cstdint>

struct string_builder;

// Appends S escaped as HTML text (both quotes and control bytes too); null appends nothing.
void sb_html(string_builder* sb, const char* s);
// Appends S percent-encoded except RFC 3986 unreserved bytes ("/" is encoded). Always 0.
int sb_url_encode(string_builder* sb, const char* s);
// Decodes SRC into DST of SIZE bytes ('+' as space when PLUS_AS_SPACE). 0, or -1 for a null
// source, a bad escape or an output that does not fit (DST then unspecified, *OUT_LEN 0).
// *OUT_LEN, when given, receives the decoded length (embedded zero bytes counted).
int url_decode(const char* src, char* dst, uint64_t size, int plus_as_space, uint64_t* out_len);
