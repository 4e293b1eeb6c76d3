// fs.cpp: the Windows file half of the platform layer: metadata, full-path resolution with
// symbolic links and junctions followed to their final path, folder enumeration and positioned
// reads. Paths are UTF-8 here and UTF-16 towards the system. It answers what a path is and
// whether it lies under another; what a request may see is decided above it.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "plat/plat.h"
#include "plat/win32/file_handle.h"

// A folder read from its open handle (GetFileInformationByHandleEx), so that a folder opened
// beneath a root is listed from the very handle that was checked, never by its path again.
struct plat_dir {
  HANDLE h;
  std::vector<LONGLONG> buf;  // records of the last fetch; LONGLONG keeps them 8-byte aligned
  size_t next;                // byte offset of the next record in buf, or kNoRecord
  bool restart;               // the next fetch starts again from the first entry
  bool done;
  // The entry handed out last.
  DWORD attrs;
  int64_t size;
  FILETIME mtime;
  std::wstring wname;
  std::string name;
  std::wstring folder;  // the folder's path and one separator, to look an entry up by name
};

namespace {

// The longest path the wide-character calls accept, in UTF-16 units with the terminator.
constexpr DWORD kMaxPathUnits = 32768;
// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kEpochDeltaS = 11644473600;
constexpr uint64_t kTicksPerSecond = 10000000;  // FILETIME counts 100-nanosecond intervals

// UTF-8 to UTF-16. Malformed input is not refused: the system substitutes U+FFFD. False when the
// conversion fails.
bool wide(std::string_view s, std::wstring& out) {
  out.clear();
  if (s.empty()) return true;
  if (s.size() > static_cast<size_t>(INT_MAX)) return false;
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n) == n;
}

// UTF-16 to UTF-8; unpaired surrogates come out as U+FFFD.
bool narrow(std::wstring_view ws, std::string& out) {
  out.clear();
  if (ws.empty()) return true;
  if (ws.size() > static_cast<size_t>(INT_MAX)) return false;
  int n = WideCharToMultiByte(CP_UTF8, 0, ws.data(), static_cast<int>(ws.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return WideCharToMultiByte(CP_UTF8, 0, ws.data(), static_cast<int>(ws.size()), out.data(), n,
                             nullptr, nullptr) == n;
}

// Absolute form of PATH computed from the text alone: "." and ".." folded, "/" turned into "\".
bool full_path(const std::wstring& path, std::wstring& out) {
  out.assign(kMaxPathUnits, L'\0');
  DWORD n = GetFullPathNameW(path.c_str(), kMaxPathUnits, out.data(), nullptr);
  if (n == 0 || n >= kMaxPathUnits) return false;
  out.resize(n);
  // A trailing separator names the same folder; only a drive's top folder ("C:\") keeps it.
  if (n > 3 && out.back() == L'\\' && out[n - 2] != L'\\') out.pop_back();
  return true;
}

// The form the system calls take for PATH. Beyond MAX_PATH the classic path parser refuses, so
// long absolute paths go out with the "\\?\" prefix, which takes the text as it is and therefore
// needs the full, backslashed form first.
bool sys_path(const char* path, std::wstring& out) {
  if (path == nullptr || !wide(path, out)) return false;
  if (out.size() < MAX_PATH - 12 || out.rfind(L"\\\\?\\", 0) == 0) return true;
  std::wstring full;
  if (!full_path(out, full)) return false;
  if (full.rfind(L"\\\\", 0) == 0) {
    out = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    out = L"\\\\?\\" + full;
  }
  return true;
}

// The text the system shows for a handle's path starts "\\?\" (or "\\?\UNC\" for a share);
// callers compare it with paths written the ordinary way.
std::wstring strip_verbatim(std::wstring p) {
  if (p.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + p.substr(8);
  if (p.rfind(L"\\\\?\\", 0) == 0) return p.substr(4);
  return p;
}

// A handle on PATH itself or, through links and junctions, on what it leads to: opened for
// attributes only, folders included, sharing everything.
HANDLE open_meta(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Where the open handle H really is, with every link on the way resolved.
bool final_path(HANDLE h, std::wstring& out) {
  out.assign(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return false;
    if (n < out.size()) {
      out.resize(n);
      out = strip_verbatim(std::move(out));
      return true;
    }
    out.resize(n);  // too small: N is the size needed, terminator included
  }
}

// PATH exists and is neither a symbolic link nor a junction (nor any other reparse point).
bool plain_entry(const std::wstring& path) {
  DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool is_missing(DWORD err) {
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

// Resolves the existing part of the absolute path FULL to its final path and keeps the missing
// rest as text, so that a link or junction inside a root that leads outside is seen as outside.
// A prefix that exists but cannot be resolved (a link loop, a denied link) fails the whole path:
// kept as text it could hide where the path leads.
bool resolve_links(const std::wstring& full, std::wstring& out) {
  std::wstring head = full;
  std::wstring tail;
  for (;;) {
    std::wstring open_as = head;
    if (open_as.size() >= MAX_PATH - 12) open_as = L"\\\\?\\" + open_as;
    HANDLE h = open_meta(open_as);
    if (h != INVALID_HANDLE_VALUE) {
      std::wstring real;
      bool ok = final_path(h, real);
      CloseHandle(h);
      if (ok) {
        if (!tail.empty() && real.back() != L'\\') real += L'\\';
        out = real + tail;
        return true;
      }
      // Some systems (Wine) cannot name a handle whose path is longer than MAX_PATH. The last
      // component may then be kept as text and a shorter prefix resolved instead, but only when
      // that component is no link: kept as text, a link could hide where the path leads.
      if (!plain_entry(open_as)) return false;
    } else if (!is_missing(GetLastError())) {
      return false;
    }
    size_t sep = head.find_last_of(L'\\');
    // Nothing of the path exists, not even its drive: the text is all there is.
    if (sep == std::wstring::npos || sep + 1 == head.size()) {
      out = full;
      return true;
    }
    std::wstring last = head.substr(sep + 1);
    tail = tail.empty() ? last : last + L"\\" + tail;
    head.resize(sep == 2 && head[1] == L':' ? sep + 1 : sep);  // "C:\" keeps its backslash
  }
}

// "C:\..." or a path from the root of the current drive or a share ("/...", "\\..."): a relative
// root would resolve against whatever the current folder happens to be.
bool rooted(const char* p) {
  if (p[0] == '/' || p[0] == '\\') return true;
  return ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
         (p[2] == '/' || p[2] == '\\');
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int64_t unix_seconds(FILETIME t) {
  uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kEpochDeltaS;
}

int32_t sub_second_ns(FILETIME t) {
  uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<int32_t>(ticks % kTicksPerSecond * 100);
}

void fill_stat(DWORD attrs, DWORD size_high, DWORD size_low, FILETIME mtime, plat_stat_rec* out) {
  bool is_dir = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->is_dir = is_dir ? 1 : 0;
  out->is_file = 1 - out->is_dir;
  // A folder's size is file-system bookkeeping, not content; callers see folders as size 0.
  out->size =
      is_dir ? 0 : static_cast<int64_t>((static_cast<uint64_t>(size_high) << 32) | size_low);
  out->mtime = unix_seconds(mtime);
  out->mtime_ns = sub_second_ns(mtime);
}

bool is_dot_or_dotdot(const wchar_t* n) {
  return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'));
}

// Kind, size and time of what the link or junction at PATH leads to; -1 (OUT untouched) when it
// leads nowhere.
int stat_link_target(const std::wstring& path, plat_stat_rec* out) {
  HANDLE h = open_meta(path);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return -1;
  fill_stat(info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
            out);
  out->is_link = 1;
  return 0;
}

int stat_wide(const std::wstring& path, plat_stat_rec* out) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return -1;
  // The attributes of a link describe the link itself; callers want its target.
  if (a.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return stat_link_target(path, out);
  fill_stat(a.dwFileAttributes, a.nFileSizeHigh, a.nFileSizeLow, a.ftLastWriteTime, out);
  return 0;
}

}  // namespace

int plat_stat(const char* path, plat_stat_rec* out, int /*flag*/) {
  *out = plat_stat_rec{};
  try {
    std::wstring wpath;
    if (!sys_path(path, wpath)) return -1;
    if (stat_wide(wpath, out) == 0) return 0;
  } catch (...) {  // only allocation throws here; the caller sees a missing path
  }
  *out = plat_stat_rec{};
  return -1;
}

char* plat_realpath(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  try {
    std::wstring wpath;
    std::wstring full;
    std::wstring real;
    if (!wide(path, wpath) || !full_path(wpath, full)) return nullptr;
    if (!resolve_links(full, real)) return nullptr;
    std::string out;
    if (!narrow(real, out)) return nullptr;
    return _strdup(out.c_str());
  } catch (...) {  // only allocation throws here; the caller sees an unresolvable path
    return nullptr;
  }
}

char* plat_realpath_stat(const char* path, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  char* real = plat_realpath(path);
  if (real != nullptr) plat_stat(real, out, 1);
  return real;
}

// The joined path is resolved whole, which gives the same text as a walk that starts at the
// already resolved root.
char* plat_realpath_stat_under(const char* root_resolved, const char* rel, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  if (root_resolved == nullptr || !rooted(root_resolved) || rel == nullptr) return nullptr;
  // Below a root ':' can only name an alternate data stream ("a.mp4::$DATA" is a.mp4 itself
  // under another name, "a.mp4:x" a hidden stream) or a drive: never a plain file name.
  if (std::strchr(rel, ':') != nullptr) return nullptr;
  try {
    std::string joined(root_resolved);
    if (rel[0] != '\0') joined.append("/").append(rel);
    return plat_realpath_stat(joined.c_str(), out);
  } catch (...) {  // only allocation throws here; the caller sees an unresolvable path
    return nullptr;
  }
}

// Byte-exact: both paths are final paths the system gave for opened handles on one volume, so
// the same folder is spelt the same way, and in a case-sensitive folder (WSL, or one marked so)
// "media" and "MEDIA" are two folders. "/" and "\" differ inside the compared prefix.
int plat_path_under(const char* path, const char* root) {
  size_t n = std::strlen(root);
  if (n == 0) return 0;
  // strncmp stops at PATH's terminator, so a shorter path differs there.
  if (std::strncmp(path, root, n) != 0) return 0;
  char next = path[n];
  if (next == '\0' || next == '/' || next == '\\') return 1;
  char last = root[n - 1];
  return last == '/' || last == '\\' ? 1 : 0;
}

namespace {

constexpr size_t kNoRecord = static_cast<size_t>(-1);
constexpr size_t kDirBufferBytes = 64 * 1024;

// A folder handle reading the open folder H, which it takes over (closed on failure). FOLDER is
// the path H was opened at, for looking entries up by name.
plat_dir* dir_from_handle(HANDLE h, std::wstring folder) {
  try {
    auto* d = new plat_dir{};
    d->h = h;
    d->buf.resize(kDirBufferBytes / sizeof(LONGLONG));
    d->next = kNoRecord;
    d->restart = true;
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    d->folder = std::move(folder);
    return d;
  } catch (...) {
    CloseHandle(h);
    return nullptr;
  }
}

// Moves DIR to its next entry, "." and ".." included; false at the end or on a failure.
bool next_record(plat_dir* dir) {
  if (dir->next == kNoRecord) {
    if (dir->done) return false;
    const FILE_INFO_BY_HANDLE_CLASS what =
        dir->restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
    dir->restart = false;
    if (!GetFileInformationByHandleEx(dir->h, what, dir->buf.data(),
                                      static_cast<DWORD>(dir->buf.size() * sizeof(LONGLONG)))) {
      dir->done = true;  // ERROR_NO_MORE_FILES, or a failure that ends the enumeration alike
      return false;
    }
    dir->next = 0;
  }
  const auto* rec = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
      reinterpret_cast<const unsigned char*>(dir->buf.data()) + dir->next);
  dir->next = rec->NextEntryOffset != 0 ? dir->next + rec->NextEntryOffset : kNoRecord;
  dir->attrs = rec->FileAttributes;
  dir->size = rec->EndOfFile.QuadPart;
  dir->mtime.dwLowDateTime = rec->LastWriteTime.LowPart;
  dir->mtime.dwHighDateTime = static_cast<DWORD>(rec->LastWriteTime.HighPart);
  dir->wname.assign(rec->FileName, rec->FileNameLength / sizeof(WCHAR));
  return true;
}

// What Windows hides from its users is treated as a name beginning with '.' elsewhere: never
// listed, never served ("$RECYCLE.BIN", "AppData", the "My Music" junction in Documents).
bool hidden_attrs(DWORD attrs) {
  return (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

}  // namespace

plat_dir* plat_opendir(const char* path) {
  try {
    std::wstring wpath;
    if (!sys_path(path == nullptr || path[0] == '\0' ? "." : path, wpath)) return nullptr;
    HANDLE h = CreateFileW(wpath.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      CloseHandle(h);
      return nullptr;
    }
    return dir_from_handle(h, wpath);
  } catch (...) {
    return nullptr;
  }
}

const char* plat_readdir(plat_dir* dir) {
  while (next_record(dir)) {
    if (is_dot_or_dotdot(dir->wname.c_str()) || hidden_attrs(dir->attrs)) continue;
    try {
      if (!narrow(dir->wname, dir->name)) continue;  // skipped, like a vanished entry
    } catch (...) {
      continue;
    }
    return dir->name.c_str();
  }
  return nullptr;
}

void plat_rewinddir(plat_dir* dir) {
  dir->next = kNoRecord;
  dir->restart = true;
  dir->done = false;
}

const char* plat_readdir_kind(plat_dir* dir, int* out_kind) {
  const char* name = plat_readdir(dir);
  if (name == nullptr) return nullptr;
  DWORD attrs = dir->attrs;
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
    *out_kind = PLAT_KIND_LINK;
  } else if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
    *out_kind = PLAT_KIND_DIR;
  } else {
    *out_kind = PLAT_KIND_OTHER;
  }
  return name;
}

int plat_stat_at(plat_dir* dir, const char* name, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  try {
    std::wstring wname;
    if (name == nullptr || !wide(name, wname)) return -1;
    if (stat_wide(dir->folder + wname, out) == 0) return 0;
  } catch (...) {  // only allocation throws here; the caller sees a missing entry
  }
  *out = plat_stat_rec{};
  return -1;
}

const char* plat_readdir_stat(plat_dir* dir, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  const char* name = plat_readdir(dir);
  if (name == nullptr) return nullptr;
  // The enumeration already delivered attributes, size and time; only a link needs a second
  // look, at its target.
  if ((dir->attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    const uint64_t size = static_cast<uint64_t>(dir->size);
    fill_stat(dir->attrs, static_cast<DWORD>(size >> 32), static_cast<DWORD>(size & 0xffffffffu),
              dir->mtime, out);
    return name;
  }
  try {
    if (stat_link_target(dir->folder + dir->wname, out) != 0) *out = plat_stat_rec{};
  } catch (...) {
    *out = plat_stat_rec{};
  }
  return name;
}

void plat_closedir(plat_dir* dir) {
  if (dir == nullptr) return;
  CloseHandle(dir->h);
  delete dir;
}

plat_file* plat_fopen_read(const char* path) {
  try {
    std::wstring wpath;
    if (!sys_path(path, wpath)) return nullptr;
    // Others may read, write, rename or delete the file while it is served.
    HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    // Names such as "con", "nul" or "com1" open devices, and a named pipe may block a reader
    // without end: only disk files are served.
    if (GetFileType(h) != FILE_TYPE_DISK) {
      CloseHandle(h);
      return nullptr;
    }
    auto* f = new (std::nothrow) plat_file{h};
    if (f == nullptr) CloseHandle(h);
    return f;
  } catch (...) {
    return nullptr;
  }
}

int64_t plat_fread_at(plat_file* f, uint64_t offset, void* buf, uint32_t n) {
  // The handle was opened without overlapped mode, so the read completes before it returns;
  // the OVERLAPPED record only carries the offset.
  // An offset beyond what the system takes as a signed 64-bit position lies past any end.
  if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (ReadFile(f->h, buf, n, &got, &at)) return static_cast<int64_t>(got);
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

void plat_fclose(plat_file* f) {
  if (f == nullptr) return;
  CloseHandle(f->h);
  delete f;
}

int plat_fstat(plat_file* f, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  BY_HANDLE_FILE_INFORMATION info;
  if (f == nullptr || !GetFileInformationByHandle(f->h, &info)) return -1;
  fill_stat(info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
            out);
  return 0;
}

void plat_opened_close(plat_opened* out) {
  plat_fclose(out->file);
  plat_closedir(out->dir);
  *out = plat_opened{};
}

int plat_name_reserved(const char* name) {
  const std::string_view n(name != nullptr ? name : "");
  if (n.empty()) return 0;
  // The system trims a trailing space or dot from a name, so such a request names another
  // entry than the one it spells.
  if (n.back() == ' ' || n.back() == '.') return 1;
  // Device names stay devices whatever extension follows ("aux.mp3", "COM3 .txt").
  std::string_view base = n.substr(0, n.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string folded;
  for (char c : base) folded += ascii_lower(c);
  for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
    if (folded == device) return 1;
  }
  return folded.size() == 4 && (folded.rfind("com", 0) == 0 || folded.rfind("lpt", 0) == 0) &&
                 folded[3] >= '0' && folded[3] <= '9'
             ? 1
             : 0;
}

// A root as the system sees it: its "\\?\" path, under which request text is passed on without
// being parsed again (no trimming, no device names), and its final path, against which the final
// path of every opened target is checked.
struct plat_root {
  std::wstring verbatim;
  std::string final_text;
};

namespace {

std::wstring verbatim_of(const std::wstring& full) {
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// A handle on PATH itself, never on what a link or junction there leads to; GENERIC_READ when
// READ, else attributes only. The caller checks the final path for links on the way to it.
HANDLE open_itself(const std::wstring& path, bool read) {
  return CreateFileW(path.c_str(), read ? GENERIC_READ : FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Whether the open handle H, opened at the absolute path FULL without following its last
// component, is what FULL names with no link or junction anywhere on it: no reparse point
// itself, and its final path FULL exactly (a link on the way would make it another). Where the
// system cannot name the handle (Wine beyond MAX_PATH), the text stands for the path, as for
// the root's own final path. INFO receives the handle's record.
bool reached_without_links(HANDLE h, const std::wstring& full, BY_HANDLE_FILE_INFORMATION* info,
                           std::wstring* final_out) {
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, info) ||
      (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  std::wstring real;
  if (!final_path(h, real)) real = strip_verbatim(full);
  if (real != strip_verbatim(full)) return false;
  if (final_out != nullptr) *final_out = std::move(real);
  return true;
}

}  // namespace

plat_root* plat_root_open(const char* path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  try {
    std::wstring wpath;
    std::wstring full;
    if (!wide(path, wpath) || !full_path(wpath, full)) return nullptr;
    auto root = std::make_unique<plat_root>();
    root->verbatim = verbatim_of(full);
    HANDLE h = open_itself(root->verbatim, false);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    std::wstring real;
    const bool plain = reached_without_links(h, root->verbatim, &info, &real);
    CloseHandle(h);
    if (!plain || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return nullptr;
    if (!narrow(real, root->final_text)) return nullptr;
    return root.release();
  } catch (...) {
    return nullptr;
  }
}

void plat_root_close(plat_root* root) {
  delete root;
}

namespace {

// The components of REL, '/'-separated, empty ones dropped, joined by "\\" as a final path
// below the root would spell them.
std::string backslashed(std::string_view rel) {
  std::string out;
  while (!rel.empty()) {
    const size_t slash = rel.find('/');
    const std::string_view part = rel.substr(0, slash);
    rel = slash == std::string_view::npos ? std::string_view() : rel.substr(slash + 1);
    if (part.empty()) continue;
    if (!out.empty()) out += '\\';
    out += part;
  }
  return out;
}

// Whether BELOW, the "\\"-separated path of an opened target below ROOT, shows anything hidden:
// a component beginning with '.', or, unless CHECKED (the request's own components, examined
// before the open), a folder or the target marked hidden or system. Short names and links lead
// to long names and other folders, so only the path as opened can tell.
bool hidden_below(const plat_root* root, std::string_view below, bool checked) {
  std::wstring at;
  if (!checked && !wide(root->final_text, at)) return true;
  at = verbatim_of(at);
  while (!below.empty()) {
    const size_t sep = below.find('\\');
    const std::string_view part = below.substr(0, sep);
    below = sep == std::string_view::npos ? std::string_view() : below.substr(sep + 1);
    if (part.empty()) continue;
    if (part.front() == '.') return true;
    if (checked) continue;
    std::wstring wpart;
    if (!wide(part, wpart)) return true;
    if (at.back() != L'\\') at += L'\\';
    at += wpart;
    const DWORD attrs = GetFileAttributesW(at.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || hidden_attrs(attrs)) return true;
  }
  return false;
}

}  // namespace

// Every component is checked before anything is opened (a reserved name is never opened: a
// serial port toggles its lines on open), every prefix must exist and not be hidden, and the
// target is opened through the "\\?\" path, so the text is taken exactly as checked. Links,
// junctions and short names are followed by the system; the final path of the opened handle
// decides: it must lie under the root's, exactly as the system spells both, and show nothing
// hidden below it.
int plat_open_beneath(const plat_root* root, const char* rel, plat_opened* out) {
  *out = plat_opened{};
  if (root == nullptr || rel == nullptr) return -1;
  try {
    std::wstring path = root->verbatim;
    bool through_link = false;
    std::string_view rest(rel);
    while (!rest.empty()) {
      const size_t slash = rest.find('/');
      const std::string_view part = rest.substr(0, slash);
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
      if (part.empty()) continue;
      // ':' names an alternate data stream ("a.mp4::$DATA" is a.mp4 itself) or a drive;
      // '\' would be a separator the request did not spell.
      if (part == "." || part == ".." || part.find_first_of(":\\") != std::string_view::npos ||
          plat_name_reserved(std::string(part).c_str())) {
        return -1;
      }
      std::wstring wpart;
      if (!wide(part, wpart)) return -1;
      if (path.back() != L'\\') path += L'\\';
      path += wpart;
      const DWORD attrs = GetFileAttributesW(path.c_str());
      if (attrs == INVALID_FILE_ATTRIBUTES || hidden_attrs(attrs)) return -1;
      if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) through_link = true;
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    auto refuse = [&] {
      CloseHandle(h);
      return -1;
    };
    if (GetFileType(h) != FILE_TYPE_DISK) return refuse();
    const std::string asked = backslashed(rel);
    std::wstring real;
    std::string real_text;
    if (final_path(h, real)) {
      if (!narrow(real, real_text) ||
          !plat_path_under(real_text.c_str(), root->final_text.c_str())) {
        return refuse();
      }
      std::string_view below(real_text);
      below.remove_prefix(root->final_text.size());
      while (!below.empty() && below.front() == '\\') below.remove_prefix(1);
      if (hidden_below(root, below, below == asked)) return refuse();
    } else if (through_link || hidden_below(root, asked, true)) {
      // Where the system cannot name the handle (Wine beyond MAX_PATH), only a path without
      // links or junctions is known to lead where its text says.
      return refuse();
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return refuse();
    fill_stat(info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
              &out->st);
    if (out->st.is_dir) {
      out->dir = dir_from_handle(h, path);
      return out->dir != nullptr ? 0 : -1;
    }
    out->file = new plat_file{h};
    return 0;
  } catch (...) {  // only allocation throws here; the target counts as not found
    plat_opened_close(out);
    return -1;
  }
}

int plat_open_path(const char* path, plat_opened* out) {
  *out = plat_opened{};
  if (path == nullptr || path[0] == '\0') return -1;
  try {
    std::wstring wpath;
    std::wstring full;
    if (!wide(path, wpath) || !full_path(wpath, full)) return -1;
    // "\\.\" is the device namespace, where the system sends reserved names ("C:\x\COM1");
    // nothing there is a file or a folder, and opening it may act.
    if (full.rfind(L"\\\\.\\", 0) == 0) return -1;
    const std::wstring verbatim = verbatim_of(full);
    HANDLE h = open_itself(verbatim, true);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (!reached_without_links(h, verbatim, &info, nullptr)) {
      CloseHandle(h);
      return -1;
    }
    fill_stat(info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
              &out->st);
    if (out->st.is_dir) {
      out->dir = dir_from_handle(h, verbatim);
      return out->dir != nullptr ? 0 : -1;
    }
    out->file = new plat_file{h};
    return 0;
  } catch (...) {  // only allocation throws here; the path counts as not found
    plat_opened_close(out);
    return -1;
  }
}

int plat_open_beneath_walked(const plat_root* root, const char* rel, plat_opened* out) {
  return plat_open_beneath(root, rel, out);
}

int plat_open_file_blocks_changes() {
  return 1;
}
