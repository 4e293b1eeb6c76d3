#!/usr/bin/env bash
# CI hardening step: installs the fuzzing compiler and the real clients the end-to-end test
# uses (only what is missing), then runs the fuzz targets for FUZZ_SECONDS each (default 60).
# The end-to-end clients and the traversal and overload suites run through ctest, so call this
# before ctest, or with "install" first and again without it after.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for pkg in clang libclang-rt-14-dev ffmpeg aria2 curl python3 wget chromium chromium-driver; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${need[@]}"
fi
[ "${1:-}" = install ] && exit 0
echo "== fuzz (${FUZZ_SECONDS:-60} s per target)"
scripts/fuzz.sh
