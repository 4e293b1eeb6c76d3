// config.cpp: the process-wide settings record and kobas_config, one key at a time. The record
// is guarded by one small lock so that a worker checking the access key sees the old or the new
// key whole, never a mixture; the listener takes a copy of its settings when it starts.
#include "server/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kobas.h"
#include "server/access_log.h"
#include "util/base64.h"
#include "util/last_error.h"
#include "util/str.h"

namespace {

constexpr int key_bytes = 128;  // 127 bytes of text and the terminator
// Decoded Basic credentials beyond this cannot hold a key of 127 bytes beside a sensible user
// name; they are refused without a comparison.
constexpr size_t basic_credentials_bytes = 1024;
constexpr int default_port = 3321;
constexpr int default_threads = 4;
constexpr int max_threads = 16;  // beyond this a file server on one NIC gains nothing
constexpr unsigned max_port = 65535;

struct config_record {
  char bind_ip[CFG_BIND_IP_BYTES] = "127.0.0.1";
  uint32_t ip = 0x7F000001;  // BIND_IP as read, in host order
  int port = default_port;
  int threads = default_threads;
  // Heap text, kept whole whatever its length; null stands for the default.
  char* server_name = nullptr;
  int require_key = 0;
  char server_key[key_bytes] = "";
};

// Constant-initialised, so it is ready before any other static code can call in.
std::mutex cfg_lock;
config_record cfg;

constexpr const char* default_server_name = "KOBA";

constexpr const char* msg_bind_ip =
    "bind_ip must be an IPv4 literal of one interface (not 0.0.0.0/multicast/broadcast)";

// Reads one field of decimal digits and nothing else (no blank, no sign), saturating above 255
// so a long number cannot wrap into an octet. Null when no digit is there.
const char* read_octet_field(const char* p, uint64_t* out) {
  if (*p < '0' || *p > '9') return nullptr;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v <= 255) v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  *out = v;
  return p;
}

// The bind_ip test: exactly four dotted numbers and nothing after the fourth, each at most 255,
// and an address of one interface: not any-address, not broadcast, not multicast (224-239).
// On success *IP is the address in host order.
bool is_bindable_ipv4(const char* text, uint32_t* ip) {
  uint64_t part[4] = {};
  const char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') return false;
      ++p;
    }
    p = read_octet_field(p, &part[i]);
    if (p == nullptr) return false;
  }
  if (*p != '\0') return false;
  for (const uint64_t v : part) {
    if (v > 255) return false;
  }
  if (part[0] == 0 && part[1] == 0 && part[2] == 0 && part[3] == 0) return false;
  if (part[0] == 255 && part[1] == 255 && part[2] == 255 && part[3] == 255) return false;
  if (part[0] >= 224 && part[0] <= 239) return false;
  *ip = static_cast<uint32_t>(part[0] << 24 | part[1] << 16 | part[2] << 8 | part[3]);
  return true;
}

// Decimal text to integer like strtol: a leading number is read, anything after it ignored, no
// number reads as 0. Clamped at the 64-bit limits, which lie outside every accepted range.
long long read_setting_number(const char* value) {
  return std::strtoll(value, nullptr, 10);
}

// True when V, taken as unsigned (so every negative value is out), lies in LO..HI.
bool in_unsigned_range(long long v, unsigned long long lo, unsigned long long hi) {
  const auto u = static_cast<unsigned long long>(v);
  return u >= lo && u <= hi;
}

// The Authorization value reaches the key check with its blanks trimmed, so a key that starts
// or ends with one could never be presented.
bool has_outer_blank(const char* text) {
  const size_t n = std::strlen(text);
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return n > 0 && (blank(text[0]) || blank(text[n - 1]));
}

// Every byte of the stored key is looked at whatever matches, so the time taken tells a client
// nothing about how much of its guess was right.
bool same_key(const char* presented, size_t presented_len, const char* key, size_t key_len) {
  unsigned diff = presented_len != key_len ? 1U : 0U;
  for (size_t i = 0; i < key_len; ++i) {
    const unsigned char got = i < presented_len ? static_cast<unsigned char>(presented[i]) : 0;
    diff |= got ^ static_cast<unsigned char>(key[i]);
  }
  return diff == 0;
}

int refuse(const char* message) {
  set_error(-1, "%s", message);
  return -1;
}

int apply(const char* key, const char* value) {
  const bool empty = value == nullptr || value[0] == '\0';
  if (std::strcmp(key, "bind_ip") == 0) {
    // Judged whole: a cut copy of an accepted text can name another address ("0.0.0." and 33
    // zeros and "1" is 0.0.0.1, its first 39 bytes the any-address).
    uint32_t ip = 0x7F000001;
    if (!empty && (std::strlen(value) >= sizeof cfg.bind_ip || !is_bindable_ipv4(value, &ip))) {
      return refuse(msg_bind_ip);
    }
    const std::lock_guard<std::mutex> hold(cfg_lock);
    std::snprintf(cfg.bind_ip, sizeof cfg.bind_ip, "%s", empty ? "127.0.0.1" : value);
    cfg.ip = ip;
    return 0;
  }
  if (std::strcmp(key, "port") == 0) {
    const long long v = empty ? default_port : read_setting_number(value);
    if (!in_unsigned_range(v, 0, max_port)) return refuse("port 0..65535");
    const std::lock_guard<std::mutex> hold(cfg_lock);
    cfg.port = static_cast<int>(v);
    return 0;
  }
  if (std::strcmp(key, "threads") == 0) {
    const long long v = empty ? default_threads : read_setting_number(value);
    if (!in_unsigned_range(v, 1, max_threads)) return refuse("threads 1..16");
    const std::lock_guard<std::mutex> hold(cfg_lock);
    cfg.threads = static_cast<int>(v);
    return 0;
  }
  if (std::strcmp(key, "server_name") == 0) {
    char* copy = nullptr;
    if (!empty && (copy = x_strdup(value)) == nullptr) {
      set_error(-5, "out of memory");
      return -5;
    }
    const std::lock_guard<std::mutex> hold(cfg_lock);
    std::free(cfg.server_name);
    cfg.server_name = copy;
    return 0;
  }
  if (std::strcmp(key, "require_key") == 0) {
    const long long v = empty ? 0 : read_setting_number(value);
    if (!in_unsigned_range(v, 0, 1)) return refuse("require_key 0|1");
    const std::lock_guard<std::mutex> hold(cfg_lock);
    cfg.require_key = static_cast<int>(v);
    return 0;
  }
  if (std::strcmp(key, "server_key") == 0) {
    // An empty key would protect nothing; refusing it keeps "require_key 1" meaningful.
    if (empty || std::strlen(value) >= sizeof cfg.server_key) {
      return refuse("server_key 1..127 chars");
    }
    if (has_outer_blank(value))
      return refuse("server_key must not start or end with a space or tab");
    const std::lock_guard<std::mutex> hold(cfg_lock);
    std::snprintf(cfg.server_key, sizeof cfg.server_key, "%s", value);
    return 0;
  }
  if (std::strcmp(key, "access_records") == 0) {
    const long long v = empty ? 0 : read_setting_number(value);
    if (!in_unsigned_range(v, 0, 1)) return refuse("access_records 0|1");
    if (access_records_switch(v == 1) != 0) {
      set_error(-5, "out of memory");
      return -5;
    }
    return 0;
  }
  return refuse("unknown key");
}

}  // namespace

listen_settings cfg_listen_settings() {
  listen_settings out{};
  const std::lock_guard<std::mutex> hold(cfg_lock);
  std::memcpy(out.bind_ip, cfg.bind_ip, sizeof out.bind_ip);
  out.ip = cfg.ip;
  out.port = cfg.port;
  out.threads = cfg.threads;
  return out;
}

size_t cfg_server_name(char* out, size_t size) {
  const std::lock_guard<std::mutex> hold(cfg_lock);
  const char* name = cfg.server_name != nullptr ? cfg.server_name : default_server_name;
  if (size > 0) std::snprintf(out, size, "%s", name);
  return std::strlen(name);
}

int cfg_authorized(const char* authorization) {
  char key[key_bytes];
  int require = 0;
  {
    const std::lock_guard<std::mutex> hold(cfg_lock);
    require = cfg.require_key;
    std::memcpy(key, cfg.server_key, sizeof key);
  }
  if (require == 0) return 1;
  const size_t key_len = std::strlen(key);
  if (key_len == 0) return 0;
  // RFC 9110 section 11.1: the scheme name is case-insensitive; the key itself is not.
  if (const char* presented = str_iprefix(authorization, "Bearer ")) {
    return same_key(presented, std::strlen(presented), key, key_len) ? 1 : 0;
  }
  // RFC 7617: "user:password" in base64. Browsers, TVs and players prompt for this scheme only,
  // so the key is taken as the password and any user name is accepted.
  if (const char* encoded = str_iprefix(authorization, "Basic ")) {
    unsigned char pair[basic_credentials_bytes];
    const int64_t n = base64_decode(encoded, pair, sizeof pair);
    if (n < 0) return 0;
    const auto* colon =
        static_cast<const unsigned char*>(std::memchr(pair, ':', static_cast<size_t>(n)));
    if (colon == nullptr) return 0;
    const auto* password = reinterpret_cast<const char*>(colon + 1);
    const size_t password_len = static_cast<size_t>(pair + n - (colon + 1));
    return same_key(password, password_len, key, key_len) ? 1 : 0;
  }
  return 0;
}

extern "C" KOBAS_API int kobas_config(const char* key, const char* value) {
  set_ok();
  if (key == nullptr || key[0] == '\0') return refuse("key required");
  try {
    return apply(key, value);
  } catch (...) {
    set_error(-5, "out of memory");
    return -5;
  }
}
