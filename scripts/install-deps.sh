#!/usr/bin/env bash
# Installs the Debian packages quorvex needs to build and test, when any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ make libzstd-dev zstd libtbb-dev libfmt-dev libcli11-dev
          rapidjson-dev libgtest-dev googletest libbenchmark-dev time python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
