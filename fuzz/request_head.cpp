// Fuzzes the request-head parser: any bytes must give 1 or -1 with a 400/505 status, and an
// accepted head must leave every text field terminated within its buffer.
#include <cstring>
#include <memory>
#include <string_view>

#include "server/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto req = std::make_unique<http_request>();
  int err = 0;
  int rc = parse_request_head(std::string_view(reinterpret_cast<const char*>(data), size),
                              req.get(), &err);
  if (rc != 1 && !(rc == -1 && (err == 400 || err == 505))) __builtin_trap();
  if (rc == 1) {
    if (memchr(req->method, 0, sizeof req->method) == nullptr ||
        memchr(req->path, 0, sizeof req->path) == nullptr ||
        memchr(req->target, 0, sizeof req->target) == nullptr ||
        memchr(req->query, 0, sizeof req->query) == nullptr) {
      __builtin_trap();
    }
  }
  return 0;
}
