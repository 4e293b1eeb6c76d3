// access_lines.cpp: serve --access-log. A thread of the command's own takes the library's access
// records every tenth of a second and writes each as one line on standard error, in the Common
// Log Format with the answer's duration after it, so standard output keeps only the console's
// answers. The library itself never prints.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "cli.h"
#include "kobas.h"

namespace {

// Short enough that a line shows up while its client is still on screen; long enough that an
// idle server costs nothing. The queue holds 4,096 records, so this keeps up with 40,000
// answers a second.
constexpr auto k_poll_every = std::chrono::milliseconds(100);

constexpr const char* k_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct printer {
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;
};

printer g_printer;

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days), so the
// time is written the same on every platform without gmtime's shared buffer.
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

// "[08/Dec/2026:22:55:14 +0000]": the log's times are UTC, as the library's are.
void put_time(std::string* line, int64_t time_ms) {
  const int64_t s = time_ms >= 0 ? time_ms / 1000 : (time_ms - 999) / 1000;
  int64_t days = s >= 0 ? s / 86400 : (s - 86399) / 86400;
  const int64_t in_day = s - days * 86400;
  int64_t y = 0;
  unsigned m = 1;
  unsigned d = 1;
  civil_from_days(days, &y, &m, &d);
  char text[64];
  std::snprintf(text, sizeof text, "[%02u/%s/%04lld:%02lld:%02lld:%02lld +0000]", d,
                k_months[m - 1], static_cast<long long>(y), static_cast<long long>(in_day / 3600),
                static_cast<long long>(in_day / 60 % 60), static_cast<long long>(in_day % 60));
  line->append(text);
}

// A request text goes between quotes: quotes, backslashes and every byte that is not printable
// ASCII are written as \xHH, so a line is one line and a terminal shows it as it is.
void put_escaped(std::string* line, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      line->append(hex);
    } else {
      line->push_back(static_cast<char>(c));
    }
  }
}

// CLIENT - - [TIME] "METHOD TARGET PROTOCOL" STATUS BYTES SECONDS
void put_line(std::string* batch, const kobas_access* r) {
  if (r->dropped_before > 0) {
    batch->append("access-log: ")
        .append(std::to_string(r->dropped_before))
        .append(" records dropped (the queue was full)\n");
  }
  batch->append(r->client_ip[0] != '\0' ? r->client_ip : "-").append(" - - ");
  put_time(batch, r->time_ms);
  if (r->method[0] == '\0') {
    // A head the server refused has no request line worth showing.
    batch->append(" \"-\" ");
  } else {
    batch->append(" \"");
    put_escaped(batch, r->method);
    batch->push_back(' ');
    put_escaped(batch, r->target);
    batch->push_back(' ');
    put_escaped(batch, r->protocol);
    batch->append("\" ");
  }
  char tail[96];
  std::snprintf(tail, sizeof tail, "%d %lld %lld.%06lld\n", r->status,
                static_cast<long long>(r->bytes_sent),
                static_cast<long long>(r->duration_us / 1000000),
                static_cast<long long>(r->duration_us % 1000000));
  batch->append(tail);
}

int add_line(const kobas_access* r, void* user) {
  try {
    put_line(static_cast<std::string*>(user), r);
  } catch (...) {
    // Out of memory: this line is lost, the lines before it still go out.
  }
  return 0;
}

// One write per batch: standard error is unbuffered, and lines of other writers stay whole.
void print_pending() {
  std::string batch;
  kobas_poll_access(add_line, &batch);
  if (!batch.empty()) std::fwrite(batch.data(), 1, batch.size(), stderr);
}

void run_printer() {
  std::unique_lock<std::mutex> hold(g_printer.lock);
  while (!g_printer.stopping) {
    hold.unlock();
    print_pending();
    hold.lock();
    g_printer.wake.wait_for(hold, k_poll_every, [] { return g_printer.stopping; });
  }
}

}  // namespace

int start_access_lines() {
  if (kobas_config("access_records", "1") != 0) {
    std::fprintf(stderr, "access-log: %s\n", kobas_last_error());
    return 1;
  }
  try {
    g_printer.thread = std::thread(run_printer);
  } catch (...) {
    std::fputs("access-log: cannot start its thread\n", stderr);
    return 1;
  }
  return 0;
}

void stop_access_lines() {
  if (!g_printer.thread.joinable()) return;
  {
    const std::lock_guard<std::mutex> hold(g_printer.lock);
    g_printer.stopping = true;
  }
  g_printer.wake.notify_one();
  g_printer.thread.join();
  // The answers that ended with the stop.
  print_pending();
}
