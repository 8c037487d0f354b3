#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: installs only what is missing, refreshes the package lists only then.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev fonts-noto-cjk
  libgpiod-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# The package lists may be missing or stale on a fresh machine: refresh them
# when the first attempt cannot find what it needs.
if ! $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
