#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR: installs the build into a temporary prefix and uses it the
# way another project would: examples/host.c compiled with pkg-config and run against the
# installed library (ping, one file, one change line, clean SIGTERM stop), and a small CMake
# project that links kobas::kobas through find_package. KOBAS_SANITIZE (as in the build) is passed
# on to the consumers, because an instrumented library needs instrumented programs.
set -euo pipefail

build=${1:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
cmake_bin=${KOBAS_CMAKE:-cmake}
cc_bin=${CC:-cc}
san=${KOBAS_SANITIZE:-}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kobas-install.XXXXXX")
host_pid=""
cleanup() {
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill -KILL "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  fi
  exec 3<&- 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
pass() { echo "ok: $*"; }

for tool in "$cc_bin" pkg-config curl "$cmake_bin"; do
  command -v "$tool" >/dev/null || fail "$tool is needed by this test and was not found"
done

san_flags=()
if [ -n "$san" ]; then
  san_flags=(-fsanitize="$san" -fno-omit-frame-pointer)
fi

# ---- install ----------------------------------------------------------------------------------
prefix=$tmp/prefix
"$cmake_bin" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log" >&2; fail "cmake --install"; }

[ -f "$prefix/include/kobas.h" ] || fail "include/kobas.h not installed"
pc=$(find "$prefix" -name kobas.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc" ] || fail "kobas.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
real_lib=$(find "$libdir" -maxdepth 1 -name 'libkobas.so.*.*.*' | head -n 1)
[ "$(basename "$real_lib")" = libkobas.so.1.0.0 ] || fail "expected libkobas.so.1.0.0 in $libdir"
[ "$(readlink "$libdir/libkobas.so.1")" = libkobas.so.1.0.0 ] || fail "libkobas.so.1 link"
[ "$(readlink "$libdir/libkobas.so")" = libkobas.so.1 ] || fail "libkobas.so dev link"
soname=$(objdump -p "$real_lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libkobas.so.1 ] || fail "SONAME is '$soname', expected libkobas.so.1"
[ -f "$libdir/cmake/kobas/kobasConfig.cmake" ] || fail "kobasConfig.cmake not installed"
[ -f "$libdir/cmake/kobas/kobasConfigVersion.cmake" ] || fail "kobasConfigVersion.cmake missing"
grep -qx "prefix=$prefix" "$pc" || fail "kobas.pc does not name the install prefix: $(head -n 5 "$pc")"
pass "layout under $prefix (libdir ${libdir#"$prefix"/})"

# The installed command line finds the installed library by itself (no LD_LIBRARY_PATH).
cli_out=$(env -u LD_LIBRARY_PATH "$prefix/bin/tandrill-orbelwick-koba-http-file-server" version) ||
  fail "installed command line does not run"
[ "$cli_out" = 1.0.0 ] || fail "installed command line printed '$cli_out'"
pass "installed command line runs: version $cli_out"

# ---- pkg-config consumer ------------------------------------------------------------------------
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
[ "$(pkg-config --modversion kobas)" = 1.0.0 ] || fail "pkg-config --modversion kobas"
# shellcheck disable=SC2046  # the flags are meant to split into words
"$cc_bin" -std=c11 -Wall -Wextra -Werror "${san_flags[@]}" -o "$tmp/host" "$src/examples/host.c" \
  $(pkg-config --cflags --libs kobas) || fail "examples/host.c does not build with pkg-config"
pass "examples/host.c built with pkg-config --cflags --libs kobas"

root=$tmp/media
mkdir -p "$root"
printf 'record-000 record-001 record-002\n' >"$root/clip.txt"

mkfifo "$tmp/host.out"
LD_LIBRARY_PATH=$libdir "$tmp/host" "media=$root" 0 >"$tmp/host.out" 2>"$tmp/host.err" &
host_pid=$!
exec 3<"$tmp/host.out"
url=""
read -r -t 20 -u 3 url || fail "no URL line from the host: $(cat "$tmp/host.err")"
[[ $url =~ ^http://127\.0\.0\.1:([0-9]+)/media/$ ]] || fail "unexpected URL line '$url'"
port=${BASH_REMATCH[1]}
[ "$port" -gt 0 ] || fail "port 0 in '$url'"
pass "host listens: $url"

ping=$(curl -sS --noproxy '*' --max-time 10 "http://127.0.0.1:$port/api/ping") || fail "GET /api/ping"
[ "$ping" = "i am ok!" ] || fail "/api/ping answered '$ping'"
body=$(curl -sS --noproxy '*' --max-time 10 "${url}clip.txt") || fail "GET ${url}clip.txt"
[ "$body" = "record-000 record-001 record-002" ] || fail "clip.txt answered '$body'"
part=$(curl -sS --noproxy '*' --max-time 10 -r 11-20 "${url}clip.txt") || fail "ranged GET"
[ "$part" = record-001 ] || fail "bytes 11-20 answered '$part'"
pass "/api/ping, a file and a byte range served"

# A new top-level entry changes the root's fingerprint; the host polls once a second.
printf 'x' >"$root/new.txt"
change=""
read -r -t 20 -u 3 change || fail "no change line after adding a file"
[ "$change" = "change media" ] || fail "unexpected change line '$change'"
pass "change reported: $change"

kill -TERM "$host_pid"
rc=0
wait "$host_pid" || rc=$?
host_pid=""
[ "$rc" -eq 0 ] || fail "host exited with $rc after SIGTERM: $(cat "$tmp/host.err")"
pass "host stopped on SIGTERM with status 0"

# ---- find_package consumer ----------------------------------------------------------------------
proj=$tmp/consumer
mkdir -p "$proj"
cat >"$proj/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(kobas_consumer C)
find_package(kobas ${WANT_VERSION} REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE kobas::kobas)
CMAKE
cat >"$proj/main.c" <<'C'
#include <stdio.h>
#include <string.h>

#include <kobas.h>

int main(void) {
  const char* v = kobas_version();
  const char* type = kobas_mime_for("film.mkv");
  printf("%s %s\n", v, type);
  return strcmp(v, "1.0.0") == 0 && strcmp(type, "video/x-matroska") == 0 ? 0 : 1;
}
C
"$cmake_bin" -S "$proj" -B "$proj/build" -DCMAKE_PREFIX_PATH="$prefix" -DWANT_VERSION=1.0 \
  -DCMAKE_C_FLAGS="${san_flags[*]}" >"$tmp/consumer.log" 2>&1 ||
  { cat "$tmp/consumer.log" >&2; fail "find_package(kobas 1.0) consumer does not configure"; }
"$cmake_bin" --build "$proj/build" >>"$tmp/consumer.log" 2>&1 ||
  { cat "$tmp/consumer.log" >&2; fail "find_package consumer does not build"; }
got=$(LD_LIBRARY_PATH=$libdir "$proj/build/consumer") || fail "consumer exited non-zero: '$got'"
[ "$got" = "1.0.0 video/x-matroska" ] || fail "consumer printed '$got'"
pass "find_package(kobas) consumer linked kobas::kobas: $got"

# SameMajorVersion: a project that needs version 2 must not accept 1.0.0.
if "$cmake_bin" -S "$proj" -B "$proj/build2" -DCMAKE_PREFIX_PATH="$prefix" -DWANT_VERSION=2 \
  >"$tmp/consumer2.log" 2>&1; then
  fail "find_package(kobas 2) accepted version 1.0.0"
fi
grep -q 'kobasConfig.cmake, version: 1.0.0' "$tmp/consumer2.log" ||
  { cat "$tmp/consumer2.log" >&2; fail "find_package(kobas 2) failed for another reason"; }
pass "find_package(kobas 2) refuses 1.0.0"

echo "install test: all checks passed"
