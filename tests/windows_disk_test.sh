#!/usr/bin/env bash
# The Windows disk service under Wine on real drives: a run of the disk test on a drive letter
# writes, copies and verifies a pair and leaves nothing; a small full drive gives the disk-full
# cause. Both drives are tmpfs mounts mapped to Wine drive letters (needs root).
set -euo pipefail
exe=$1 unit_tests=$2
if [[ $(id -u) != 0 || -z ${WINEPREFIX:-} ]]; then
  echo "skipped: needs root (for the mounts) and a WINEPREFIX"
  exit 77
fi
work=$(mktemp -d /tmp/fgv-windisk.XXXXXX)
letters=()
cleanup() {
  for letter in "${letters[@]}"; do rm -f "$WINEPREFIX/dosdevices/$letter"; done
  umount "$work/big" "$work/full" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/big" "$work/full" "$work/program"
# 3 GiB must be free before a pair is written; the pair itself takes 1 GiB.
mount -t tmpfs -o size=3200m tmpfs "$work/big"
mount -t tmpfs -o size=2m tmpfs "$work/full"
# Two free drive letters, from the end of the alphabet.
for letter in {q..y}; do
  [[ -e $WINEPREFIX/dosdevices/$letter: || ${#letters[@]} -ge 2 ]] && continue
  letters+=("$letter:")
done
ln -s "$work/big" "$WINEPREFIX/dosdevices/${letters[0]}"
ln -s "$work/full" "$WINEPREFIX/dosdevices/${letters[1]}"
big=${letters[0]} full=${letters[1]}

FORGEVAL_FULL_DRIVE=$full wine "$unit_tests" --gtest_filter='*AFullDriveIsReportedFull' \
  >"$work/full.txt" 2>&1 || { cat "$work/full.txt"; exit 1; }
grep -q '^\[  PASSED  \] 1 test' "$work/full.txt" || { cat "$work/full.txt"; exit 1; }

cp "$exe" "$work/program/forgeval.exe"
cat >"$work/program/forgeval.ini" <<INI
[Main]
Loop=1
[Memory]
Enabled=false
[Cache]
Enabled=false
[FFT]
Enabled=false
[SortAlgorithms]
Enabled=false
[Matrix]
Enabled=false
[Disk]
Enabled=true
CPU=0
Drive=${big%:}
Size=1
INI
cd "$work/program"
status=0
wine forgeval.exe >console.txt 2>&1 || status=$?
root=${big%:}:\\
expect=("Thread 0 : Writting 1GB on drive $root ..."
        "Thread 0 : Verifying written data on drive $root ..."
        "All tests passed successfully.")
for line in "${expect[@]}"; do
  grep -qxF "$line" <(tr -d '\r' <console.txt) || { echo "missing: $line"; cat console.txt; exit 1; }
done
grep -qF "Verifying written data on drive $root ...[Done]" forgeval.Log || { cat forgeval.Log; exit 1; }
[[ $status == 0 ]] || { echo "exit code $status"; cat console.txt; exit 1; }
left=$(ls -A "$work/big")
[[ -z $left ]] || { echo "left on the drive: $left"; exit 1; }
grep -o '"write_mb_per_s":[0-9.]*\|"read_mb_per_s":[0-9.]*' forgeval.results.jsonl || true
