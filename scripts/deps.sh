#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (run as root; a no-op when
# everything is there).
set -euo pipefail
need=()
for pkg in g++ cmake libgtest-dev zlib1g-dev curl python3 pkg-config; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${need[@]}"
fi
