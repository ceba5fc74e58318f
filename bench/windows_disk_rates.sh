#!/usr/bin/env bash
# The disk test's rates under Wine against the Linux build's and a dd baseline, on the same
# folder, in one run: a whole run of each program with one pair (Size 1; the run record's
# write_mb_per_s covers the first file and its copy, read_mb_per_s the verification), and
# dd writing 512 MiB in 1 MiB blocks (oflag=direct,dsync) and reading it back (iflag=direct).
# Wine opens files without O_DIRECT or O_DSYNC, so its rates on a page-cached filesystem are
# the cache's; the default folder is a tmpfs (needs root), where all three meet the same
# memory, and a folder on a disk shows how far Wine's writes miss the device.
#
# Usage: bench/windows_disk_rates.sh [folder]   (default: a fresh 3200 MiB tmpfs)
# Needs build/windows/forgeval.exe, build/release/forgeval and a WINEPREFIX (default:
# build/windows/wineprefix).
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$PWD/build/windows/wineprefix}
work=$(mktemp -d /tmp/fgv-winbench.XXXXXX)
folder=${1:-}
cleanup() {
  if mountpoint -q "$work/drive"; then umount "$work/drive"; fi
  rm -rf "$work"
}
trap cleanup EXIT
if [[ -z $folder ]]; then
  folder=$work/drive
  mkdir -p "$folder"
  mount -t tmpfs -o size=3200m tmpfs "$folder"
fi
wineserver -p || true  # already running is fine
wine wineboot >/dev/null 2>&1
mkdir -p "$work/win" "$work/linux"
cp build/windows/forgeval.exe "$work/win/"
cp build/release/forgeval "$work/linux/"
drive=$(winepath -w "$folder")
for side in win linux; do
  entry=$folder
  [[ $side == win ]] && entry=$drive
  printf '[Main]\nLoop=1\n[Memory]\nEnabled=false\n[Cache]\nEnabled=false\n[FFT]\nEnabled=false\n[SortAlgorithms]\nEnabled=false\n[Matrix]\nEnabled=false\n[Health]\nEnabled=false\n[Disk]\nEnabled=true\nDrive=%s\nSize=1\n' \
    "$entry" >"$work/$side/forgeval.ini"
done
(cd "$work/win" && wine forgeval.exe >console.txt 2>&1)
(cd "$work/linux" && ./forgeval >console.txt 2>&1)
dd_rate() { dd "$@" bs=1M count=512 2>&1 | sed -n 's/.*, \([0-9.]* [GM]B\/s\)$/\1/p'; }
echo "dd write: $(dd_rate if=/dev/zero of="$folder/dd.bin" oflag=direct,dsync)"
echo "dd read:  $(dd_rate if="$folder/dd.bin" of=/dev/null iflag=direct)"
rm -f "$folder/dd.bin"
for side in win linux; do
  echo "$side: $(grep -o '"\(write\|read\)_mb_per_s":[0-9.]*' "$work/$side/forgeval.results.jsonl" | tr '\n' ' ')"
done
wineserver -k || true
