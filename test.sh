#!/usr/bin/env bash
# Builds Forgeval and passes every test: the format check, the unit and end-to-end tests of
# the optimised build, the unit tests again under AddressSanitizer with UBSan and under
# ThreadSanitizer, then the Windows build with its tests under Wine. Exits non-zero at the first
# failure.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-deps.sh --windows

echo "== format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in release asan-ubsan tsan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset" -LE soak
done

echo "== windows: build"
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "== windows: tests under Wine"
# One Wine server for all the tests, started (with the prefix made, on first use) before ctest
# and stopped after: without it every Windows program waits seconds at its exit for Wine's
# helper processes.
export WINEDEBUG=-all WINEPREFIX="$PWD/build/windows/wineprefix"
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine wineboot >/dev/null 2>&1
# Two at a time: most are short programs waiting on Wine, beside the one long whole run.
ctest --preset windows -LE soak -j2
