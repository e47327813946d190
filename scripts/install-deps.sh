#!/usr/bin/env bash
# Installs Debian packages that are missing.
#   scripts/install-deps.sh           what the build and the tests need
#   scripts/install-deps.sh PKG...    the packages named
set -euo pipefail
if (($#)); then
  packages=("$@")
else
  # doxygen, pkg-config and dpkg-dev serve the packaging step (API
  # reference, pkg-config build, Debian package); Boost is the shared heap's
  # benchmark baseline.
  packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev
    libboost-dev doxygen pkg-config dpkg-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
