// micro.cpp: micro-benchmarks of the request and listing paths that run per request or per
// entry: head parsing, ranges, percent-decoding, ordering and rendering a 100,000-entry folder.
// Built with the project (KOBAS_BENCH), never run by the test suite: speed is measured, not
// asserted.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "content/listing.h"
#include "server/gzip_body.h"
#include "server/http.h"
#include "server/range.h"
#include "util/escape.h"
#include "util/sb.h"

namespace {

constexpr int FOLDER_ENTRIES = 100000;

constexpr std::string_view TYPICAL_HEAD =
    "GET /movies/Season%201/Episode%2003.mkv?format=json&cursor=500 HTTP/1.1\r\n"
    "Host: 192.168.1.20:8080\r\nUser-Agent: player/2.1\r\nAccept: */*\r\n"
    "Range: bytes=1048576-2097151\r\nAuthorization: Bearer 0123456789abcdef\r\n"
    "Connection: keep-alive";

void head_parse(benchmark::State& state) {
  auto req = std::make_unique<http_request>();
  for (auto _ : state) {
    int err = 0;
    benchmark::DoNotOptimize(parse_request_head(TYPICAL_HEAD, req.get(), &err));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(head_parse);

void range_grammar(benchmark::State& state) {
  const char* headers[] = {"bytes=0-99", "bytes=-500", "bytes=1048576-", "bytes=10-20,30-40"};
  size_t i = 0;
  for (auto _ : state) {
    int64_t first = 0;
    int64_t last = 0;
    int partial = 0;
    benchmark::DoNotOptimize(range_parse(headers[i++ & 3], 1073741824, &first, &last, &partial));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(range_grammar);

void percent_decode(benchmark::State& state) {
  const char* target = "/music/Live%20%26%20Loud/01%20intro%20%E2%9C%93.mp3";
  char out[HTTP_TARGET_BYTES];
  for (auto _ : state) {
    uint64_t n = 0;
    benchmark::DoNotOptimize(url_decode(target, out, sizeof out, 0, &n));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(percent_decode);

// A folder like the benchmark data set's: names in shuffled order, one folder in twenty.
struct folder {
  std::vector<std::string> names;
  std::vector<dent> entries;
  folder() {
    names.reserve(FOLDER_ENTRIES);
    for (int i = 0; i < FOLDER_ENTRIES; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, i % 20 == 0 ? "Album %06d" : "track %06d.mp3", i);
      names.emplace_back(name);
    }
    std::mt19937 rng(7);
    std::shuffle(names.begin(), names.end(), rng);
    for (int i = 0; i < FOLDER_ENTRIES; ++i) {
      const bool is_dir = names[i][0] == 'A';
      entries.push_back(dent{.name = names[i].data(),
                             .size = is_dir ? -1 : 4000000 + i,
                             .mtime = 1700000000 + i % 86400,
                             .is_dir = is_dir ? 1 : 0});
    }
  }
};

const folder& shared_folder() {
  static const folder f;
  return f;
}

void sort_100k(benchmark::State& state) {
  const folder& f = shared_folder();
  std::vector<dent> work;
  for (auto _ : state) {
    state.PauseTiming();
    work = f.entries;
    state.ResumeTiming();
    std::qsort(work.data(), work.size(), sizeof(dent), dent_cmp);
    benchmark::DoNotOptimize(work.data());
  }
  state.SetItemsProcessed(state.iterations() * FOLDER_ENTRIES);
}
BENCHMARK(sort_100k)->Unit(benchmark::kMillisecond);

std::vector<dent> sorted_entries() {
  std::vector<dent> work = shared_folder().entries;
  std::qsort(work.data(), work.size(), sizeof(dent), dent_cmp);
  return work;
}

void html_100k(benchmark::State& state) {
  const std::vector<dent> work = sorted_entries();
  sb_owner page;
  for (auto _ : state) {
    sb_reset(page.get());
    render_html(page.get(), "music", "albums", work.data(), FOLDER_ENTRIES, 0);
    benchmark::DoNotOptimize(page.str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.len()));
}
BENCHMARK(html_100k)->Unit(benchmark::kMillisecond);

int count_piece(void* ctx, const char*, uint64_t n) {
  *static_cast<uint64_t*>(ctx) += n;
  return 0;
}

// What the HTTP answer does: the measuring pass over 64 KiB pieces.
void html_100k_pieces(benchmark::State& state) {
  const std::vector<dent> work = sorted_entries();
  sb_owner piece;
  uint64_t total = 0;
  for (auto _ : state) {
    total = 0;
    render_html_pieces(piece.get(), "music", "albums", work.data(), FOLDER_ENTRIES, 0, 65536,
                       count_piece, &total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(html_100k_pieces)->Unit(benchmark::kMillisecond);

int gzip_piece(void* ctx, const char* bytes, uint64_t n) {
  return static_cast<gzip_writer*>(ctx)->write(bytes, n);
}

// One pass of the gzip'd page: rendered in 64 KiB pieces and compressed as they come (the
// answer runs it twice when the compressed page spans several output blocks).
void html_100k_gzip_pass(benchmark::State& state) {
  const std::vector<dent> work = sorted_entries();
  sb_owner piece;
  uint64_t total = 0;
  for (auto _ : state) {
    total = 0;
    gzip_writer gz(count_piece, &total);
    render_html_pieces(piece.get(), "music", "albums", work.data(), FOLDER_ENTRIES, 0, 65536,
                       gzip_piece, &gz);
    gz.finish();
  }
  state.counters["gzip_bytes"] = static_cast<double>(total);
}
BENCHMARK(html_100k_gzip_pass)->Unit(benchmark::kMillisecond);

void json_page_500(benchmark::State& state) {
  const std::vector<dent> work = sorted_entries();
  sb_owner page;
  for (auto _ : state) {
    sb_reset(page.get());
    render_json(page.get(), work.data(), FOLDER_ENTRIES, 50000, 500);
    benchmark::DoNotOptimize(page.str());
  }
  state.SetItemsProcessed(state.iterations() * 500);
}
BENCHMARK(json_page_500);

}  // namespace

BENCHMARK_MAIN();
