// utf8_args.cpp (Windows): the words rebuilt from the wide command line, so that a root path
// with letters outside the ANSI code page reaches the library as the UTF-8 it expects.
#include "utf8_args.h"

#include <windows.h>

// After windows.h, whose types it uses.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct local_deleter {
  void operator()(LPWSTR* p) const { LocalFree(p); }
};

// Kept for the process's life: main and everything it calls hold pointers into it.
std::vector<std::string> g_words;
std::vector<char*> g_ptrs;

bool to_utf8(const wchar_t* w, std::string& out) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out.assign(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr) != n) return false;
  out.pop_back();  // the terminator the count included
  return true;
}

bool to_wide(const char* s, std::wstring& out) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
  if (n <= 0) return false;
  out.assign(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, out.data(), n) != n) return false;
  out.pop_back();
  return true;
}

}  // namespace

char** utf8_args(int argc, char** argv) {
  try {
    int n = 0;
    std::unique_ptr<LPWSTR, local_deleter> wide(CommandLineToArgvW(GetCommandLineW(), &n));
    // The shell's splitting and the runtime's agree on every ordinary command line; when they
    // do not, the runtime's words are kept rather than guessing which word is which.
    if (!wide || n != argc) return argv;
    std::vector<std::string> words(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      if (!to_utf8(wide.get()[i], words[static_cast<size_t>(i)])) return argv;
    }
    g_words = std::move(words);
    g_ptrs.clear();
    for (std::string& w : g_words) g_ptrs.push_back(w.data());
    g_ptrs.push_back(nullptr);
    return g_ptrs.data();
  } catch (...) {  // only allocation can throw here
    return argv;
  }
}

std::FILE* open_utf8_for_reading(const char* path) {
  try {
    std::wstring wide;
    if (!to_wide(path, wide)) return nullptr;
    return _wfopen(wide.c_str(), L"rb");
  } catch (...) {  // only allocation can throw here
    return nullptr;
  }
}

const char* env_utf8(const char* name) {
  static std::string value;
  try {
    std::wstring wide_name;
    if (!to_wide(name, wide_name)) return nullptr;
    const wchar_t* wide = _wgetenv(wide_name.c_str());
    if (wide == nullptr || !to_utf8(wide, value)) return nullptr;
    return value.c_str();
  } catch (...) {
    return nullptr;
  }
}
