// mime.cpp: the media-type table and the extension lookup. The table is the whole policy:
// anything it does not name is served as an opaque byte stream.
#include "util/mime.h"

#include <algorithm>
#include <cstring>

namespace {

struct mime_row {
  const char* ext;  // lower case, without the dot
  const char* type;
};

constexpr const char* default_type = "application/octet-stream";
constexpr size_t EXT_MAX_BYTES = 8;  // longer than any extension in the table

constexpr mime_row MIMES[] = {
    {"mp4", "video/mp4"},
    {"m4v", "video/mp4"},
    {"mkv", "video/x-matroska"},
    {"avi", "video/x-msvideo"},
    {"webm", "video/webm"},
    {"mov", "video/quicktime"},
    {"ts", "video/mp2t"},
    {"m2ts", "video/mp2t"},
    {"mts", "video/mp2t"},
    {"mpg", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"vob", "video/mpeg"},
    {"flv", "video/x-flv"},
    {"f4v", "video/x-flv"},
    {"wmv", "video/x-ms-wmv"},
    {"ogv", "video/ogg"},
    {"3gp", "video/3gpp"},
    {"rm", "application/vnd.rn-realmedia"},
    {"rmvb", "application/vnd.rn-realmedia"},
    {"mp3", "audio/mpeg"},
    {"m4a", "audio/mp4"},
    {"aac", "audio/aac"},
    {"flac", "audio/flac"},
    {"wav", "audio/wav"},
    {"wma", "audio/x-ms-wma"},
    {"ogg", "audio/ogg"},
    {"oga", "audio/ogg"},
    {"opus", "audio/ogg"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"png", "image/png"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"heic", "image/heic"},
    {"heif", "image/heic"},
    {"webp", "image/webp"},
    {"srt", "text/srt"},
    {"ass", "text/x-ass"},
    {"ssa", "text/x-ass"},
    {"vtt", "text/vtt"},
    {"sub", "text/plain"},
    {"smi", "application/smil"},
    {"txt", "text/plain"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"css", "text/css"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"xml", "application/xml"},
    {"pdf", "application/pdf"},
    {"zip", "application/zip"},
    {"pdfx", "application/octet-stream"},
};
static_assert(sizeof MIMES / sizeof MIMES[0] == 52);

constexpr bool extensions_fit() {
  for (const mime_row& row : MIMES) {
    size_t n = 0;
    while (row.ext[n] != '\0') {
      if (row.ext[n] >= 'A' && row.ext[n] <= 'Z') return false;  // compared folded
      ++n;
    }
    if (n == 0 || n > EXT_MAX_BYTES) return false;
  }
  return true;
}
static_assert(extensions_fit());

}  // namespace

int mime_lookup(const char* name, char* buf, uint64_t buf_size) {
  if (buf == nullptr) return 0;
  const char* type = default_type;
  const char* dot = name != nullptr ? std::strrchr(name, '.') : nullptr;
  // The extension folded once, so each row costs one plain comparison. Longer ones name no row,
  // and a separator after the last dot means the dot belongs to a folder name.
  char ext[EXT_MAX_BYTES + 1];
  size_t n = 0;
  if (dot != nullptr) {
    for (const char* p = dot + 1; *p != '\0' && n <= EXT_MAX_BYTES; ++p) {
      if (*p == '/' || *p == '\\') {
        n = 0;
        break;
      }
      ext[n++] = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p + ('a' - 'A')) : *p;
    }
  }
  if (n > 0 && n <= EXT_MAX_BYTES) {
    ext[n] = '\0';
    for (const mime_row& row : MIMES) {
      if (row.ext[0] == ext[0] && std::strcmp(ext, row.ext) == 0) {
        type = row.type;
        break;
      }
    }
  }
  // Cut to the buffer, as the callers' fixed buffers expect.
  const size_t cap = static_cast<size_t>(buf_size);
  if (cap == 0) return 0;
  const size_t len = std::min(std::strlen(type), cap - 1);
  std::memcpy(buf, type, len);
  buf[len] = '\0';
  return 0;
}
