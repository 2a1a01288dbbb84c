#!/usr/bin/env bash
# Installs the Debian packages the build needs; silent when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libplist-dev
  zlib1g-dev libcurl4-openssl-dev libcpp-httplib-dev libxkbcommon-dev xkb-data libx11-data libicu-dev
  libssl-dev uuid-dev libsqlite3-dev libelf-dev
  nanopb libnanopb-dev protobuf-compiler clang libclang-rt-14-dev
  lld llvm duktape-dev libintelrdfpmath-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
