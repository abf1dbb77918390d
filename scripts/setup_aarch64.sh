#!/usr/bin/env bash
# Installs what cross-building for aarch64 Linux and running the result here
# need (Debian packages): the cross compiler, qemu-user, and GoogleTest's
# arm64 static libraries (multiarch: arm64 is added to dpkg's architectures).
# Safe to run again.
set -euo pipefail

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  updated=0
fi
pkgs=(g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${updated:-}" ]; then
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  # No recommends: qemu-user-binfmt would register the emulator with the kernel.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
