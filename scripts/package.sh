#!/usr/bin/env bash
# package.sh: builds the release packages from clean build folders and prints where they are:
#   build-pkg/packages/tandrill-kobas_VERSION_ARCH.deb   the command line and libkobas.so.1
#   build-pkg/packages/libkobas-dev_VERSION_ARCH.deb     header, libkobas.so, kobas.pc, CMake files
#   build-pkg-win/packages/tandrill-kobas-VERSION-win64.zip   the mingw-w64 build for Windows
# Usage: scripts/package.sh [deb|zip]...   (default: both). Installs what is missing (as root).
# Each package is printed on a line of its own as "deb PATH" or "zip PATH".
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
kinds=("$@")
((${#kinds[@]})) || kinds=(deb zip)
jobs=$(nproc)

need=()
for kind in "${kinds[@]}"; do
  case $kind in
  # dpkg-shlibdeps (dpkg-dev) and file are what CPack's Debian generator calls.
  deb) need+=(dpkg-dev file binutils) ;;
  zip) need+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev) ;;
  *) echo "usage: $0 [deb|zip]..." >&2; exit 2 ;;
  esac
done
scripts/deps.sh
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "package: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Configures a clean folder, builds it and runs CPack there; the log goes beside the folder.
pack() {
  local dir=$1
  shift
  rm -rf "$dir"
  {
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKOBAS_TESTS=OFF -DKOBAS_EXAMPLES=OFF \
      -DKOBAS_BENCH=OFF "$@" &&
      cmake --build "$dir" -j"$jobs" &&
      (cd "$dir" && cpack)
  } >"$dir.log" 2>&1 || {
    tail -60 "$dir.log" >&2
    echo "package: building $dir failed (log: $dir.log)" >&2
    exit 1
  }
}

for kind in "${kinds[@]}"; do
  case $kind in
  deb)
    # The compiler and linker flags Debian builds its own packages with (hardening included),
    # and the /usr prefix, which puts the library in the multiarch folder.
    (
      export DEB_BUILD_MAINT_OPTIONS=hardening=+all
      eval "$(dpkg-buildflags --export=sh)"
      export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
      pack build-pkg -DCMAKE_INSTALL_PREFIX=/usr
    )
    for f in build-pkg/packages/*.deb; do echo "deb $src/$f"; done
    ;;
  zip)
    pack build-pkg-win -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake"
    for f in build-pkg-win/packages/*.zip; do echo "zip $src/$f"; done
    ;;
  esac
done
