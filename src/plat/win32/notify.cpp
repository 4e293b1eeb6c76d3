// notify.cpp: folder change notifications on Windows: a change notification handle per folder,
// asked about without waiting when a kept file of that folder is about to be used. A WSAPoll
// poller waits on sockets only, so reports cannot come through it as they do on Linux.
#include <windows.h>

#include <new>
#include <string>
#include <vector>

#include "plat/plat.h"

struct plat_notify {
  std::vector<HANDLE> watches;  // by id; INVALID_HANDLE_VALUE once removed
};

namespace {

std::wstring wide(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, w.data(), n);
  w.resize(static_cast<size_t>(n - 1));
  return w;
}

}  // namespace

plat_notify* plat_notify_open() {
  return new (std::nothrow) plat_notify;
}

void plat_notify_close(plat_notify* n) {
  if (n == nullptr) return;
  for (HANDLE h : n->watches) {
    if (h != INVALID_HANDLE_VALUE) FindCloseChangeNotification(h);
  }
  delete n;
}

int plat_notify_add(plat_notify* n, const char* path) {
  if (n == nullptr) return -1;
  try {
    const std::wstring w = wide(path);
    if (w.empty()) return -1;
    // Whatever can make a file served from this folder another one, or no longer there.
    const HANDLE h = FindFirstChangeNotificationW(
        w.c_str(), FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
            FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (h == INVALID_HANDLE_VALUE) return -1;
    for (size_t i = 0; i < n->watches.size(); ++i) {
      if (n->watches[i] == INVALID_HANDLE_VALUE) {
        n->watches[i] = h;
        return static_cast<int>(i);
      }
    }
    n->watches.push_back(h);
    return static_cast<int>(n->watches.size() - 1);
  } catch (...) {
    return -1;
  }
}

void plat_notify_remove(plat_notify* n, int id) {
  if (n == nullptr || id < 0 || static_cast<size_t>(id) >= n->watches.size()) return;
  HANDLE& h = n->watches[static_cast<size_t>(id)];
  if (h != INVALID_HANDLE_VALUE) FindCloseChangeNotification(h);
  h = INVALID_HANDLE_VALUE;
}

void plat_notify_drain(plat_notify* n, void (*fn)(void*, int), void* user) {
  if (n == nullptr) return;
  for (size_t i = 0; i < n->watches.size(); ++i) {
    if (plat_notify_check(n, static_cast<int>(i)) != 0) fn(user, static_cast<int>(i));
  }
}

int plat_notify_check(plat_notify* n, int id) {
  if (n == nullptr || id < 0 || static_cast<size_t>(id) >= n->watches.size()) return 0;
  const HANDLE h = n->watches[static_cast<size_t>(id)];
  if (h == INVALID_HANDLE_VALUE || WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return 0;
  FindNextChangeNotification(h);  // the next change signals it again
  return 1;
}

int plat_poller_watch_notify(plat_poller*, plat_notify*, void*) {
  return -1;
}
