#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need; a no-op when all are present.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config ccache git
  libicu-dev
  qt6-base-dev libgl-dev fonts-dejavu-core
  libqt6sql6-mysql mariadb-server mariadb-client
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libsqlite3-dev libedit-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
