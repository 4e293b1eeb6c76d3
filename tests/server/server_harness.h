// server_harness.h: a running server for one test. Configures a loopback listener on a port
// the system picks, starts it, and stops it from the destructor so a failed assertion cannot
// leave it running.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "http_client.h"
#include "kobas.h"

// 100 ten-byte records "000000042\n": every offset names itself, so an off-by-one shows.
inline std::string records_1000() {
  std::string s;
  char rec[11];
  for (int i = 0; i < 100; ++i) {
    std::snprintf(rec, sizeof rec, "%09d\n", i);
    s += rec;
  }
  return s;
}

class running_server {
 public:
  explicit running_server(int threads = 4) {
    kobas_config("bind_ip", "127.0.0.1");
    kobas_config("port", "0");
    kobas_config("threads", std::to_string(threads).c_str());
    kobas_config("require_key", "0");
    started_ = kobas_start() == 0;
    EXPECT_TRUE(started_) << kobas_last_error();
    port_ = kobas_port();
  }
  ~running_server() { kobas_stop(); }
  running_server(const running_server&) = delete;
  running_server& operator=(const running_server&) = delete;

  bool started() const { return started_; }
  int port() const { return port_; }
  http_response get(const std::string& target, const std::string& extra_headers = "") const {
    return http_once(port_, "GET " + target + " HTTP/1.1\r\n" + extra_headers + "\r\n");
  }

 private:
  bool started_ = false;
  int port_ = 0;
};
