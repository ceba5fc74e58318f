#!/usr/bin/env bash
# Builds the optimised Forgeval and runs it with the shipped forgeval.ini.
# The log, forgeval.Log, is written beside the program in build/release/.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target forgeval
exec build/release/forgeval forgeval.ini "$@"
