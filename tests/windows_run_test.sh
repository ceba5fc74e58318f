#!/usr/bin/env bash
# The Windows program under Wine: a run of the quick tests passes.
set -euo pipefail
exe=$1
work=$(mktemp -d /tmp/fgv-win.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/forgeval.exe"
printf '[Main]\nLoop=1\n[Memory]\nMemSize=8\n[SortAlgorithms]\nArraySize=1000\n[Disk]\nEnabled=false\n' >"$work/forgeval.ini"
cd "$work"
wine forgeval.exe >console.txt 2>&1
grep -q "All tests passed successfully." console.txt
