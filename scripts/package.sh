#!/usr/bin/env bash
# package.sh: builds the release packages from clean folders and prints where they are:
#   build-pkg/packages/libkobas1_VERSION_ARCH.deb        the shared library libkobas.so.1
#   build-pkg/packages/libkobas-dev_VERSION_ARCH.deb     header, libkobas.so, kobas.pc, CMake files
#   build-pkg/packages/tandrill-kobas_VERSION_ARCH.deb   the command line and its manual page
#   build-pkg-win/packages/tandrill-kobas-VERSION-win64.zip   the mingw-w64 build for Windows
# The .deb files are what `dpkg-buildpackage -us -uc -b` makes of debian/ in a copy of the
# checkout's files (tracked and new, not ignored), so a build folder lying in the checkout
# changes nothing. The zip is made by CPack (cmake/packaging.cmake).
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
  deb) need+=(dpkg-dev debhelper) ;;
  # groff renders the manual page as text for the zip.
  zip) need+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev groff-base) ;;
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

# The one version, project(VERSION), must head debian/changelog too.
version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[[ -n $version ]] || { echo "package: no project(VERSION) in CMakeLists.txt" >&2; exit 1; }

# Runs a build step with its output in LOG; on failure shows the end of it and stops.
logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || {
    tail -60 "$log" >&2
    echo "package: $* failed (log: $log)" >&2
    exit 1
  }
}

# The checkout's files: what git tracks or would track, as they are in the working tree.
source_files() {
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' f; do [[ -e $f || -L $f ]] && printf '%s\0' "$f"; done
  else
    find . -path './build*' -prune -o -path ./.git -prune -o \( -type f -o -type l \) -print0
  fi
}

for kind in "${kinds[@]}"; do
  case $kind in
  deb)
    changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
    if [[ $changelog_version != "$version" ]]; then
      echo "package: debian/changelog is at $changelog_version, project(VERSION) at $version:" \
        "add a changelog entry" >&2
      exit 1
    fi
    rm -rf build-pkg
    tree=build-pkg/tandrill-kobas-$version
    mkdir -p "$tree" build-pkg/packages
    source_files | tar --null -T - -cf - | tar -xf - -C "$tree"
    # dpkg-buildpackage puts its results beside the tree; the -dbgsym packages stay there.
    logged build-pkg.log bash -c "cd '$tree' && dpkg-buildpackage -us -uc -b -j$jobs"
    for p in libkobas1 libkobas-dev tandrill-kobas; do mv build-pkg/"$p"_*.deb build-pkg/packages/; done
    for f in build-pkg/packages/*.deb; do echo "deb $src/$f"; done
    ;;
  zip)
    rm -rf build-pkg-win
    logged build-pkg-win.log bash -c "
      cmake -S '$src' -B build-pkg-win -DCMAKE_BUILD_TYPE=Release -DKOBAS_TESTS=OFF \
        -DKOBAS_EXAMPLES=OFF -DKOBAS_BENCH=OFF \
        -DCMAKE_TOOLCHAIN_FILE='$src/cmake/mingw-w64-x86_64.cmake' &&
      cmake --build build-pkg-win -j$jobs && cd build-pkg-win && cpack"
    for f in build-pkg-win/packages/*.zip; do echo "zip $src/$f"; done
    ;;
  esac
done
