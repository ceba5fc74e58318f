#!/usr/bin/env bash
# Installs what building and testing Forgeval needs on Debian 12, when it is missing.
# As root it runs apt-get; otherwise it prints the exact command and stops.
# With --windows it also installs the Windows cross build and what runs its tests: MinGW-w64
# (the -posix threading model, which has std::thread), Wine, Xvfb and xdotool for the message
# box, and lldb to read minidumps back.
set -euo pipefail

packages=(cmake ninja-build g++ googletest libbenchmark-dev clang-format dpkg-dev nlohmann-json3-dev
          ansible-core chromium)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 xvfb xdotool lldb-14 zip)
fi
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "Forgeval needs these Debian packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
