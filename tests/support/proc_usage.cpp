// proc_usage.cpp: descriptor and memory counts from /proc on Linux and from the process's own
// records on Windows. Under Wine /proc is reachable too, but it shows the Unix side of the
// emulation (its descriptor cache among it), not the handles the program holds.
#include "proc_usage.h"

#if _WIN32

#include <windows.h>
// psapi.h needs the types of windows.h first.
#include <psapi.h>

int open_descriptor_count() {
  DWORD n = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int64_t resident_kib() {
  PROCESS_MEMORY_COUNTERS c{};
  c.cb = sizeof c;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) return -1;
  return static_cast<int64_t>(c.WorkingSetSize / 1024);
}

#else

#include <filesystem>
#include <fstream>
#include <string>

int open_descriptor_count() {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return ec || n == 0 ? -1 : n;
}

bool under_wine() {
  return false;
}

int64_t resident_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

#endif
