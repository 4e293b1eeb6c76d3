// The media type of a file name: every table row, case folding and the no-extension cases.
#include "util/mime.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string mime(const char* name) {
  char buf[128];
  EXPECT_EQ(mime_lookup(name, buf, sizeof buf), 0);
  return buf;
}

}  // namespace

struct mime_row {
  const char* name;
  const char* type;
};

// One row per extension of the table, written literally.
const mime_row known_rows[] = {
    {"a.mp4", "video/mp4"},
    {"a.m4v", "video/mp4"},
    {"a.mkv", "video/x-matroska"},
    {"a.avi", "video/x-msvideo"},
    {"a.webm", "video/webm"},
    {"a.mov", "video/quicktime"},
    {"a.ts", "video/mp2t"},
    {"a.m2ts", "video/mp2t"},
    {"a.mts", "video/mp2t"},
    {"a.mpg", "video/mpeg"},
    {"a.mpeg", "video/mpeg"},
    {"a.vob", "video/mpeg"},
    {"a.flv", "video/x-flv"},
    {"a.f4v", "video/x-flv"},
    {"a.wmv", "video/x-ms-wmv"},
    {"a.ogv", "video/ogg"},
    {"a.3gp", "video/3gpp"},
    {"a.rm", "application/vnd.rn-realmedia"},
    {"a.rmvb", "application/vnd.rn-realmedia"},
    {"a.mp3", "audio/mpeg"},
    {"a.m4a", "audio/mp4"},
    {"a.aac", "audio/aac"},
    {"a.flac", "audio/flac"},
    {"a.wav", "audio/wav"},
    {"a.wma", "audio/x-ms-wma"},
    {"a.ogg", "audio/ogg"},
    {"a.oga", "audio/ogg"},
    {"a.opus", "audio/ogg"},
    {"a.jpg", "image/jpeg"},
    {"a.jpeg", "image/jpeg"},
    {"a.png", "image/png"},
    {"a.gif", "image/gif"},
    {"a.bmp", "image/bmp"},
    {"a.heic", "image/heic"},
    {"a.heif", "image/heic"},
    {"a.webp", "image/webp"},
    {"a.srt", "text/srt"},
    {"a.ass", "text/x-ass"},
    {"a.ssa", "text/x-ass"},
    {"a.vtt", "text/vtt"},
    {"a.sub", "text/plain"},
    {"a.smi", "application/smil"},
    {"a.txt", "text/plain"},
    {"a.htm", "text/html"},
    {"a.html", "text/html"},
    {"a.css", "text/css"},
    {"a.js", "text/javascript"},
    {"a.json", "application/json"},
    {"a.xml", "application/xml"},
    {"a.pdf", "application/pdf"},
    {"a.zip", "application/zip"},
    {"a.pdfx", "application/octet-stream"},
};

TEST(MediaType, EveryTableRow) {
  for (const mime_row& r : known_rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(mime(r.name), r.type);
  }
}

const mime_row edge_rows[] = {
    {"Movie.MKV", "video/x-matroska"},
    {"clip.m2ts", "video/mp2t"},
    {".mp4", "video/mp4"},
    {"dir.x/Song.Mp3", "audio/mpeg"},
    {"a.tar.gz", "application/octet-stream"},
    {"README", "application/octet-stream"},
    {"name.", "application/octet-stream"},
    {"x.pdfx", "application/octet-stream"},
    {"folder.d/file", "application/octet-stream"},
    {"folder.mp4\\file", "application/octet-stream"},
    {"a.mp4x", "application/octet-stream"},  // whole extension, not a prefix
    {"a.mp", "application/octet-stream"},
    {"", "application/octet-stream"},
};

TEST(MediaType, NamesAndDefaults) {
  for (const mime_row& r : edge_rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(mime(r.name), r.type);
  }
  EXPECT_EQ(mime(nullptr), "application/octet-stream");
}

TEST(MediaType, CutToBuffer) {
  char buf[5];
  EXPECT_EQ(mime_lookup("a.mp4", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "vide");
  EXPECT_EQ(mime_lookup("README", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "appl");
}

TEST(MediaType, OverwritesPreviousContent) {
  char buf[64] = "stale stale stale";
  mime_lookup("a.png", buf, sizeof buf);
  EXPECT_STREQ(buf, "image/png");
}
