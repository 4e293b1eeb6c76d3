// The per-thread last error: bounds of the message and isolation between threads.
#include "util/last_error.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kobas.h"

TEST(LastError, FreshThreadReadsSuccess) {
  int code = 1;
  std::string text = "x";
  std::thread t([&] {
    code = t_code_get();
    text = t_err_get();
  });
  t.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(text, "");
}

TEST(LastError, SetAndClear) {
  set_error(-4, "no root named %s", "music");
  EXPECT_EQ(t_code_get(), -4);
  EXPECT_STREQ(t_err_get(), "no root named music");
  set_ok();
  EXPECT_EQ(t_code_get(), 0);
  EXPECT_STREQ(t_err_get(), "");
}

TEST(LastError, LongMessageIsCutAt511Bytes) {
  const std::string long_text(600, 'm');
  set_error(-1, "%s", long_text.c_str());
  EXPECT_EQ(std::string(t_err_get()), long_text.substr(0, 511));
  set_error(-1, "%s", std::string(511, 'k').c_str());
  EXPECT_EQ(std::string(t_err_get()), std::string(511, 'k'));
  set_ok();
}

// Messages are UTF-8: a cut never leaves part of a character at the end.
TEST(LastError, LongMessageIsCutOnACharacterBoundary) {
  struct row {
    std::string text;
    size_t kept;  // bytes of TEXT that remain
  };
  const std::string e_acute = "\xC3\xA9";
  const std::string euro = "\xE2\x82\xAC";
  const std::string clef = "\xF0\x9D\x84\x9E";
  const row rows[] = {
      {std::string(510, 'm') + e_acute, 510},  // the lone 0xC3
      {std::string(509, 'm') + e_acute, 511},  // fits whole
      {std::string(509, 'm') + euro, 509},     // two of three bytes would fit
      {std::string(508, 'm') + euro + "x", 511},
      {std::string(508, 'm') + clef, 508},  // three of four bytes would fit
      {std::string(507, 'm') + clef, 511},
      {std::string(510, 'm') + "\x80\x80", 511},  // no character starts there: kept
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text.substr(505));
    set_error(-1, "%s", r.text.c_str());
    EXPECT_EQ(std::string(t_err_get()), r.text.substr(0, r.kept));
  }
  set_ok();
}

TEST(LastError, CodeKeptWhenMessageCannotBeFormatted) {
  const wchar_t bad[] = {static_cast<wchar_t>(0x20AC), 0};
  set_error(-3, "%ls", bad);
  EXPECT_EQ(t_code_get(), -3);
  set_ok();
}

TEST(LastError, ThreadsDoNotSeeEachOther) {
  set_error(-2, "main thread");
  int other_code_before = 1;
  int other_code_after = 1;
  std::string other_text;
  std::thread t([&] {
    other_code_before = t_code_get();
    set_error(-6, "worker thread");
    other_code_after = t_code_get();
    other_text = t_err_get();
  });
  t.join();
  EXPECT_EQ(other_code_before, 0);
  EXPECT_EQ(other_code_after, -6);
  EXPECT_EQ(other_text, "worker thread");
  EXPECT_EQ(t_code_get(), -2);
  EXPECT_STREQ(t_err_get(), "main thread");
  set_ok();
}

TEST(LastError, BufferAddressIsStable) {
  char* before = t_err_get();
  set_error(-1, "x");
  set_ok();
  EXPECT_EQ(t_err_get(), before);
}
