#!/usr/bin/env bash
# Builds Forgeval and passes every test: the format check, the unit and end-to-end tests of
# the optimised build, and the unit tests again under AddressSanitizer with UBSan and under
# ThreadSanitizer. Exits non-zero at the first failure.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-deps.sh

echo "== format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in release asan-ubsan tsan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset" -LE soak
done
