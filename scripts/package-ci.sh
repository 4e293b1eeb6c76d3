#!/usr/bin/env bash
# package-ci.sh: CI for the release packages (run as root on a machine it may install on).
#  1. scripts/package.sh builds the three .deb files from debian/ (dpkg-buildpackage) and the
#     Windows zip; `lintian --pedantic` must report no error and no warning on them, and every
#     library kobas.pc requires must come with a package libkobas-dev depends on.
#  2. `apt-get install` of the three .deb files, then the installed command line runs `version`
#     and `serve` on a temporary folder (127.0.0.1, a free port) that curl fetches a file from,
#     and `man` shows its manual page; examples/host.c is built against the installed dev package
#     with pkg-config and with a find_package(kobas) project, and each build serves a file to curl.
#  3. The packages are removed again, and nothing they installed may be left.
#  4. The zip is listed and must hold every file the release names; its executable runs under Wine.
# Every server started here binds 127.0.0.1 and is stopped here. Exit status 0 when all passed.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
started=$SECONDS
echo "== release packages: build, lintian, install, use, remove; the Windows zip under Wine"
packages=(libkobas1 libkobas-dev tandrill-kobas)
exe=tandrill-orbelwick-koba-http-file-server

fail() {
  echo "package-ci: FAIL: $*" >&2
  exit 1
}
ok() { echo "package-ci: ok: $*"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need=()
for p in lintian unzip curl pkg-config cmake gcc man-db wine wine64; do installed "$p" || need+=("$p"); done
if ((${#need[@]})); then
  echo "package-ci: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kobas-package-ci.XXXXXX")
pid=""
we_installed=0
cleanup() {
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  exec 3>&- 4<&- 2>/dev/null || true
  if ((we_installed)); then
    for p in "${packages[@]}"; do
      if installed "$p"; then
        DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
        break
      fi
    done
  fi
  [[ -n ${WINEPREFIX:-} ]] && wineserver -k >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# ---- 1. build the packages, lintian, declared dependencies -------------------------------------
scripts/package.sh | tee "$tmp/built"
declare -A deb
for p in "${packages[@]}"; do
  deb[$p]=$(awk -v p="$p" '$1 == "deb" && $2 ~ "/" p "_[^/]*\\.deb$" {print $2}' "$tmp/built")
  [[ -f ${deb[$p]} ]] || fail "package.sh did not name the $p package"
done
zip=$(awk '$1 == "zip" {print $2}' "$tmp/built")
[[ -f $zip ]] || fail "package.sh did not name the zip"
version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[[ -n $version ]] || fail "no project(VERSION) in CMakeLists.txt"
for p in "${packages[@]}"; do
  echo "-- $(basename "${deb[$p]}")"
  dpkg-deb --field "${deb[$p]}"
  dpkg-deb --contents "${deb[$p]}" | awk '{print "   ", $6, $7, $8}'
  [[ $(dpkg-deb --field "${deb[$p]}" Version) = "$version" ]] || fail "${deb[$p]} is not version $version"
done
echo "-- lintian --pedantic"
rc=0 && lintian --pedantic --display-info --fail-on error,warning "${deb[@]}" >"$tmp/lintian" 2>&1 || rc=$?
grep -v 'running with root privileges' "$tmp/lintian" || true
((rc == 0)) || fail "lintian reports errors or warnings (exit $rc)"
# Two notes lintian gives only as information, kept out all the same: unstripped sections and a
# library without a symbols file.
! grep -E 'binary-has-unneeded-section|no-symbols-control-file' "$tmp/lintian" ||
  fail "lintian finds unneeded sections or no symbols file"
ok "lintian --pedantic: no errors, no warnings"

# The linker cache is refreshed by dpkg's trigger, not by maintainer scripts.
dpkg-deb --info "${deb[libkobas1]}" triggers | grep -qx 'activate-noawait ldconfig' ||
  fail "libkobas1 has no ldconfig trigger"
ok "libkobas1 activates the ldconfig trigger"

# The copyright files carry LICENSE's permission notice word for word.
sed -n '/^Permission/,$p' LICENSE >"$tmp/license"
for p in "${packages[@]}"; do
  dpkg-deb --fsys-tarfile "${deb[$p]}" | tar -xO "./usr/share/doc/$p/copyright" |
    sed -n '/^License: Expat$/,$p' | sed -n '/^ /p' | sed 's/^ //; s/^\.$//' >"$tmp/license.$p"
  cmp -s "$tmp/license.$p" "$tmp/license" || fail "/usr/share/doc/$p/copyright does not carry LICENSE"
done
ok "the copyright files carry LICENSE"

# Names the packages a Depends field lists (versions and alternatives dropped).
depends_of() { dpkg-deb --field "$1" Depends | tr ',|' '\n' | awk '{print $1}' | sed '/^$/d'; }
# `pkg-config --cflags --libs kobas` needs every module kobas.pc requires, static part included:
# each must be owned by a package libkobas-dev depends on.
dpkg-deb --fsys-tarfile "${deb[libkobas-dev]}" | tar -xO --wildcards './usr/lib/*/pkgconfig/kobas.pc' >"$tmp/kobas.pc"
depends_of "${deb[libkobas-dev]}" >"$tmp/dev.depends"
for module in $(sed -n 's/^Requires\(\.private\)\?://p' "$tmp/kobas.pc" | tr ',' '\n' | awk '{print $1}'); do
  # The file pkg-config itself would read for the module, and the package it belongs to.
  pc=$(pkg-config --path "$module") || fail "kobas.pc requires $module, and pkg-config finds no $module.pc"
  owner=$(dpkg-query -S "$pc" 2>/dev/null | cut -d: -f1 | head -n 1)
  [[ -n $owner ]] || fail "kobas.pc requires $module, and no package holds $pc"
  grep -qx "$owner" "$tmp/dev.depends" || fail "kobas.pc requires $module ($owner), libkobas-dev does not depend on it"
  ok "kobas.pc requires $module: libkobas-dev depends on $owner"
done
dpkg-deb --field "${deb[libkobas-dev]}" Depends | grep -q "libkobas1 (= $version)" ||
  fail "libkobas-dev does not depend on libkobas1 (= $version)"
depends_of "${deb[tandrill-kobas]}" | grep -qx libkobas1 || fail "tandrill-kobas does not depend on libkobas1"
ok "libkobas-dev depends on libkobas1 (= $version), tandrill-kobas on libkobas1"

# ---- 2. install and use -------------------------------------------------------------------------
for p in "${packages[@]}"; do
  if installed "$p"; then
    echo "package-ci: $p was installed before this run; removing it first"
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "${packages[@]}" >/dev/null
    break
  fi
done
we_installed=1
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
  "${deb[@]}" >"$tmp/apt-install.log" 2>&1 ||
  { cat "$tmp/apt-install.log" >&2; fail "apt-get install of the packages"; }
for p in "${packages[@]}"; do
  installed "$p" || fail "$p is not installed after apt-get install"
  dpkg-query -L "$p" >"$tmp/files.$p"
done
ok "apt-get install ${deb[*]##*/}"

[[ $(command -v "$exe") = /usr/bin/$exe ]] || fail "$exe is not /usr/bin/$exe"
# The program reports the version of the package it came in.
got=$("$exe" version) || fail "$exe version exited non-zero"
[[ $got = "$version" ]] || fail "$exe version printed '$got', the package is $version"
ok "$exe version: $got"

page=$(man -w "$exe") || fail "man finds no page for $exe"
[[ $page = /usr/share/man/man1/$exe.1.gz ]] || fail "man $exe shows $page"
MANWIDTH=200 man "$exe" 2>"$tmp/err" | grep -Eq "^ *$exe +- +small HTTP/1.1 file server" ||
  fail "man $exe does not show the page's NAME line: $(cat "$tmp/err")"
ok "man $exe shows $page"

media=$tmp/media
mkdir -p "$media/sub"
printf 'packaged bytes %s\n' "$version" >"$media/sub/clip.txt"
expected=$(cat "$media/sub/clip.txt")

# Reads the first line of fd 4 (the program's output) within 20 s into $line.
first_line() { line="" && read -r -t 20 -u 4 line || fail "no first line from $1: $(cat "$tmp/err")"; }
fetch() {
  local body
  body=$(curl -sS --noproxy '*' --max-time 10 "$1") || fail "curl $1"
  [[ $body = "$expected" ]] || fail "$1 answered '$body'"
  ok "curl $1"
}

# serve with its control lines on a pipe, so "quit" stops it as a user would.
mkfifo "$tmp/in" "$tmp/out"
"$exe" serve --bind 127.0.0.1 --port 0 --root "media=$media" <"$tmp/in" >"$tmp/out" 2>"$tmp/err" &
pid=$!
exec 3>"$tmp/in" 4<"$tmp/out"
first_line serve
[[ $line =~ ^listening\ 127\.0\.0\.1:([0-9]+)\  ]] || fail "serve printed '$line'"
fetch "http://127.0.0.1:${BASH_REMATCH[1]}/media/sub/clip.txt"
echo quit >&3
rc=0 && wait "$pid" || rc=$?
pid=""
exec 3>&- 4<&-
((rc == 0)) || fail "serve exited with $rc after quit"
ok "serve stopped on quit"

# Runs a build of examples/host.c on the media folder, fetches the file and stops it.
run_host() {
  local host=$1 lib
  lib=$(ldd "$host" | awk '$1 == "libkobas.so.1" {print $3}')
  [[ -n $lib ]] && dpkg-query -S "$(readlink -f "$lib")" 2>/dev/null | grep -q '^libkobas1:' ||
    fail "$host loads libkobas.so.1 from '$lib', not from the package"
  mkfifo "$tmp/host.out"
  "$host" "media=$media" 0 >"$tmp/host.out" 2>"$tmp/err" &
  pid=$!
  exec 4<"$tmp/host.out"
  first_line "$host"
  [[ $line =~ ^http://127\.0\.0\.1:[0-9]+/media/$ ]] || fail "$host printed '$line'"
  fetch "${line}sub/clip.txt"
  kill -TERM "$pid"
  rc=0 && wait "$pid" || rc=$?
  pid=""
  exec 4<&-
  rm -f "$tmp/host.out"
  ((rc == 0)) || fail "$host exited with $rc after SIGTERM"
}

# pkg-config finds the installed kobas.pc by itself.
[[ $(pkg-config --modversion kobas) = "$version" ]] || fail "pkg-config --modversion kobas"
[[ $(pkg-config --variable=libdir kobas) = /usr/lib/* ]] ||
  fail "pkg-config found kobas.pc elsewhere: $(pkg-config --variable=pcfiledir kobas)"
# shellcheck disable=SC2046  # the flags are meant to split into words
cc -std=c11 -Wall -Wextra -Werror -o "$tmp/host-pc" examples/host.c $(pkg-config --cflags --libs kobas) ||
  fail "examples/host.c does not build with pkg-config"
run_host "$tmp/host-pc"
ok "examples/host.c built with pkg-config serves a file"

# A CMake project finds the installed package by itself.
proj=$tmp/consumer
mkdir -p "$proj"
cat >"$proj/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(kobas_consumer C)
find_package(kobas $version EXACT REQUIRED)
add_executable(host "$src/examples/host.c")
target_link_libraries(host PRIVATE kobas::kobas)
CMAKE
cmake -S "$proj" -B "$proj/build" >"$tmp/consumer.log" 2>&1 &&
  cmake --build "$proj/build" >>"$tmp/consumer.log" 2>&1 ||
  { cat "$tmp/consumer.log" >&2; fail "the find_package(kobas) project does not build"; }
kobas_dir=$(sed -n 's/^kobas_DIR:PATH=//p' "$proj/build/CMakeCache.txt")
[[ $kobas_dir = /usr/lib/*/cmake/kobas ]] || fail "find_package(kobas) used $kobas_dir"
run_host "$proj/build/host"
ok "examples/host.c built with find_package(kobas $version) from $kobas_dir serves a file"

# ---- 3. remove ----------------------------------------------------------------------------------
DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "${packages[@]}" >"$tmp/apt-remove.log" 2>&1 ||
  { cat "$tmp/apt-remove.log" >&2; fail "apt-get remove --purge"; }
we_installed=0
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.[^n]' ||
    fail "dpkg still knows $p: $(dpkg-query -W -f='${db:Status-Abbrev}' "$p")"
  # Files and links must be gone, and so must every folder no other package uses.
  while read -r f; do
    if [[ -L $f || -f $f ]]; then fail "$f of $p is left"; fi
    if [[ -d $f ]] && ! dpkg-query -S "$f" >/dev/null 2>&1 && [[ -z $(ls -A "$f") ]]; then
      fail "the empty folder $f of $p is left"
    fi
  done <"$tmp/files.$p"
done
for d in /usr/share/doc/libkobas1 /usr/share/doc/libkobas-dev /usr/share/doc/tandrill-kobas \
  /usr/lib/*/cmake/kobas /usr/share/man/man1/$exe.1.gz; do
  [[ ! -e $d ]] || fail "$d is left"
done
! ldconfig -p | grep -q libkobas || fail "the linker cache still lists libkobas"
ok "apt-get remove --purge left nothing of ${packages[*]}"

# ---- 4. the Windows zip -------------------------------------------------------------------------
echo "-- $(basename "$zip")"
unzip -l "$zip" | tee "$tmp/zip.list"
top=$(basename "$zip" .zip)
for f in bin/$exe.exe bin/kobas.dll lib/libkobas.dll.a include/kobas.h lib/pkgconfig/kobas.pc \
  lib/cmake/kobas/kobasConfig.cmake lib/cmake/kobas/kobasConfigVersion.cmake \
  lib/cmake/kobas/kobasTargets.cmake README.md LICENSE doc/api.md doc/$exe.txt; do
  awk -v f="$top/$f" '$4 == f {found = 1} END {exit !found}' "$tmp/zip.list" || fail "$f is not in the zip"
done
ok "the zip holds the program, kobas.dll, its import library, kobas.h, kobas.pc, the CMake files, README, LICENSE and doc/"
unzip -q "$zip" -d "$tmp/zip"
cmp -s "$tmp/zip/$top/LICENSE" LICENSE || fail "the zip's LICENSE differs from LICENSE"
# The manual page as plain text: its NAME line, and no overstrike or escape sequence left.
grep -Eq "^ *$exe +- +small HTTP/1.1 file server" "$tmp/zip/$top/doc/$exe.txt" ||
  fail "the zip's doc/$exe.txt does not hold the manual page"
! grep -q $'[\b\e]' "$tmp/zip/$top/doc/$exe.txt" || fail "the zip's doc/$exe.txt holds terminal control bytes"

export WINEPREFIX=$tmp/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineboot -i </dev/null >/dev/null 2>&1 || wine wineboot -i </dev/null >/dev/null 2>&1 || true
got=$(cd "$tmp/zip/$top/bin" && timeout 300 wine "./$exe.exe" version </dev/null 2>"$tmp/err" | tr -d '\r') ||
  fail "the zip's $exe.exe does not run under Wine: $(cat "$tmp/err")"
[[ $got = "$version" ]] || fail "the zip's $exe.exe version printed '$got', the zip is $version"
ok "the zip's $exe.exe under Wine: version $got"

echo "package-ci: all passed in $((SECONDS - started)) s"
