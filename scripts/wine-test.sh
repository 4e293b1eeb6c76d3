#!/usr/bin/env bash
# wine-test.sh: cross-builds the server for 64-bit Windows with mingw-w64 into build-win and runs
# the unit and end-to-end test executables under Wine, in a fresh Wine prefix that is removed at
# the end. Usage: scripts/wine-test.sh [SOURCE_DIR]   (default: the repository holding this script)
# Exit status: 0 when every suite passed, 1 otherwise.
set -u

src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
build="$src/build-win"
# libz-mingw-w64-dev: zlib for the cross build, linked statically into kobas.dll.
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  libz-mingw-w64-dev wine wine64)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  echo "wine-test: installing ${missing[*]}"
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -o DPkg::Lock::Timeout=900 "${missing[@]}" >/dev/null || {
    echo "wine-test: cannot install the cross compiler and Wine" >&2
    exit 1
  }
fi

cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Debug >"$build.configure.log" 2>&1 || {
  cat "$build.configure.log" >&2
  echo "wine-test: configure failed" >&2
  exit 1
}
cmake --build "$build" -j2 >"$build.build.log" 2>&1 || {
  tail -50 "$build.build.log" >&2
  echo "wine-test: cross build failed" >&2
  exit 1
}

# A prefix of its own, so no state of an earlier run (or of the user's ~/.wine) leaks in.
work=$(mktemp -d "${TMPDIR:-/tmp}/kobas-wine-XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"
cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
# No display is needed: without DISPLAY, Wine runs its desktop headless.
unset DISPLAY WAYLAND_DISPLAY
wineboot -i </dev/null >/dev/null 2>&1 || wine wineboot -i </dev/null >/dev/null 2>&1
# A crashing test must end its process with the exception's code, not start a debugger that may
# wait for somebody (an empty debugger command is what stops Wine from starting winedbg).
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
  </dev/null >/dev/null 2>&1

# Wine shows the Unix root as drive Z:.
win_path() { printf 'Z:%s' "${1//\//\\}"; }
export KOBAS_BIN WINEPATH
KOBAS_BIN=$(win_path "$build/tandrill-orbelwick-koba-http-file-server.exe")
# test_c_abi loads kobas.dll, which lies in the build folder, not beside the test executables.
WINEPATH=$(win_path "$build")

# Wine makes no symbolic links itself (CreateSymbolicLinkW reports success and makes nothing),
# but it follows the host's: a small tree of them lets the suites test link containment.
links="$work/links"
mkdir -p "$links/outside" "$links/root/sub"
printf s >"$links/outside/secret.txt"
printf i >"$links/root/sub/inside.txt"
ln -s "$links/outside" "$links/root/out"
ln -s "$links/outside/secret.txt" "$links/root/out-file"
ln -s ../outside "$links/root/up"
ln -s sub "$links/root/in"
ln -s sub/inside.txt "$links/root/in-file"
ln -s "$links/root" "$links/alias"
export KOBAS_HOST_LINKS
KOBAS_HOST_LINKS=$(win_path "$links")
# A root "media" beside a sibling "MEDIA" that differs only in letter case, with links to the
# sibling's file, to the sibling, and to the file by its absolute path: the host's folders are
# case-sensitive, so all three lead out of the root.
mkdir -p "$links/cased/media" "$links/cased/MEDIA"
printf o >"$links/cased/media/own.txt"
printf s >"$links/cased/MEDIA/secret.txt"
ln -s ../MEDIA/secret.txt "$links/cased/media/case-file"
ln -s ../MEDIA "$links/cased/media/case-dir"
ln -s "$links/cased/MEDIA/secret.txt" "$links/cased/media/case-abs"
export KOBAS_HOST_CASED_ROOT
KOBAS_HOST_CASED_ROOT=$(win_path "$links/cased/media")
# A root whose Windows path is 239 UTF-16 units long, holding a link that leads out: at that
# length a path that Windows trims and its "\\?\" form once named different things.
long_name=$(printf 'L%.0s' $(seq 1 $((239 - ${#KOBAS_HOST_LINKS} - 1))))
mkdir -p "$links/$long_name"
printf i >"$links/$long_name/inside.txt"
ln -s "$links/outside/secret.txt" "$links/$long_name/evil-link"
export KOBAS_HOST_LONG_ROOT
KOBAS_HOST_LONG_ROOT=$(win_path "$links/$long_name")

passed=0 failed=0 skipped=0 bad_suites=()
for exe in test_plat test_util test_content test_server test_cli test_c_abi; do
  path="$build/tests/$exe.exe"
  [[ -f $path ]] || continue
  log="$build/$exe.wine.log"
  # Wine cuts exit codes to 8 bits; gtest gives 0 or 1, which survives that.
  (cd "$build/tests" && timeout 1200 wine "$path" --gtest_color=no) </dev/null >"$log" 2>&1
  rc=$?
  # A suite whose link to the wineserver broke was ended by Wine, not by a test: its buffered
  # output is lost with it. It runs once more, and says so; a second loss fails it.
  if ((rc != 0)) && grep -q '^wine client error' "$log"; then
    echo "wine-test: $exe lost its wineserver ($(head -1 "$log" | tr -d '\r')); running it again"
    (cd "$build/tests" && timeout 1200 wine "$path" --gtest_color=no) </dev/null >"$log" 2>&1
    rc=$?
  fi
  if [[ $exe == test_c_abi ]]; then
    # A plain C program: its exit status is the whole verdict.
    if ((rc == 0)); then ((passed += 1)); else ((failed += 1)); fi
  else
    p=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' | tail -1)
    f=$(tr -d '\r' <"$log" | sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' | tail -1)
    s=$(tr -d '\r' <"$log" | sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' | tail -1)
    ((passed += ${p:-0}, failed += ${f:-0}, skipped += ${s:-0}))
    if ((rc != 0)) && [[ -z ${f:-} ]]; then ((failed += 1)); fi
    # A suite that died before its summary did not pass, whatever its exit status says.
    if ((rc == 0)) && ! tr -d '\r' <"$log" | grep -q '^\[==========\] .* ran\.'; then
      rc=1
      ((failed += 1))
    fi
  fi
  if ((rc != 0)); then
    bad_suites+=("$exe")
    echo "wine-test: $exe failed (exit $rc); log $log"
    tr -d '\r' <"$log" | grep -E '^\[  FAILED  \] [A-Za-z]' | sort -u | head -40
  else
    echo "wine-test: $exe passed"
  fi
done

echo "wine-test: $passed passed, $failed failed, $skipped skipped under Wine" \
  "(suites failing: ${#bad_suites[@]}${bad_suites:+: ${bad_suites[*]}})"
((${#bad_suites[@]} == 0))
