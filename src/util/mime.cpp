// mime.cpp: the media-type table and the extension lookup. The table is the whole policy:
// anything it does not name is served as an opaque byte stream.
#include "util/mime.h"

#include <cstdio>
#include <cstring>

#include "util/str.h"

namespace {

struct mime_row {
  const char* ext;  // lower case, without the dot
  const char* type;
};

constexpr const char* default_type = "application/octet-stream";

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

}  // namespace

int mime_lookup(const char* name, char* buf, uint64_t buf_size) {
  if (buf == nullptr) return 0;
  const size_t cap = static_cast<size_t>(buf_size);
  std::snprintf(buf, cap, "%s", default_type);
  if (name == nullptr) return 0;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr || dot[1] == '\0') return 0;
  // A separator after the last dot means the dot belongs to a folder name.
  if (std::strpbrk(dot + 1, "/\\") != nullptr) return 0;
  for (const mime_row& row : MIMES) {
    if (str_ieq(dot + 1, row.ext) != 0) {
      std::snprintf(buf, cap, "%s", row.type);
      break;
    }
  }
  return 0;
}
