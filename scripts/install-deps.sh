#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need;
# does nothing when all are there already.
set -euo pipefail
packages=(build-essential cmake libhdf5-dev hdf5-tools libpugixml-dev libboost-dev libdeflate-dev
          libgtest-dev libxml2-utils clang-14 clang-format-14 libclang-rt-14-dev time python3-numpy dpkg-dev
          python3-mne python3-pandas chromium)
# The package test checks the .deb with lintian and renders its manual pages.
packages+=(lintian man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
