// config.h: the server's settings, changed one key at a time through kobas_config. The listener
// reads the listen settings when it starts; the workers check the access key per request.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int CFG_BIND_IP_BYTES = 40;  // 39 bytes of text and the terminator

struct listen_settings {
  char bind_ip[CFG_BIND_IP_BYTES];
  uint32_t ip;  // BIND_IP read, in host order: the configuration accepts only addresses
  int port;
  int threads;  // 1 to 16
};

// A consistent copy of the address, port and thread count.
listen_settings cfg_listen_settings();

// Copies the server name into OUT (SIZE bytes, cut to fit, terminated when SIZE > 0) and returns
// its whole length, so a caller can tell a cut copy and ask again with room enough.
size_t cfg_server_name(char* out, size_t size);

// 1 when a request with this Authorization value (null when absent) may pass: always when no key
// is required; otherwise only "Bearer " followed by exactly the stored key, or "Basic " followed
// by base64 of "USER:KEY" with any USER (schemes ASCII case-insensitive), the key compared in
// constant time. With a key required and none stored, nothing passes.
// Safe to call from any worker while kobas_config changes the key: it sees the old or the new.
int cfg_authorized(const char* authorization);
