#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan + UBSan) and runs each for
# FUZZ_SECONDS (default 60) from its seed corpus. Exits non-zero when a target crashes.
# FUZZ_TARGETS limits the run to some targets; FUZZ_OUT names the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
out=${FUZZ_OUT:-build-fuzz}
targets=${FUZZ_TARGETS:-"request_head url_decode range path_safe query_val render"}
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -Iinclude -Isrc
       -fsanitize=address,undefined -fno-sanitize-recover=undefined)
mkdir -p "$out/obj"

# The code under test is compiled once, instrumented for coverage, and shared by every target.
objs=()
for src in src/util/*.cpp src/plat/posix/*.cpp src/server/*.cpp src/content/*.cpp \
           src/exports/*.cpp; do
  obj="$out/obj/$(echo "$src" | tr / _).o"
  if [ ! "$obj" -nt "$src" ]; then
    clang++ "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  fi
  objs+=("$obj")
done

failed=0
for t in $targets; do
  clang++ "${flags[@]}" -fsanitize=fuzzer "fuzz/$t.cpp" "${objs[@]}" -lpthread -lz -o "$out/fuzz_$t"
  mkdir -p "$out/corpus/$t"
  echo "== fuzz $t for ${seconds}s"
  # New inputs go to the build folder; the seeds in fuzz/corpus stay as committed.
  if ! (cd "$out" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="crash_$t-" -print_final_stats=1 "corpus/$t" "../fuzz/corpus/$t" \
        > "fuzz_$t.log" 2>&1); then
    echo "FAILED: fuzz $t (see $out/fuzz_$t.log and $out/crash_$t-*)"
    tail -40 "$out/fuzz_$t.log"
    failed=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$out/fuzz_$t.log" || true
  fi
done
exit $failed
