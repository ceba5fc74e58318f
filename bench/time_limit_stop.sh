#!/usr/bin/env bash
# How long each test takes to notice that the run's time is up: every case runs the real
# program with one test enabled and `Duration=D` for several D (so the limit falls at
# different points of the test's work), and shows the wall time of the whole run minus D:
# the time to the test's next boundary, plus releasing what it holds (freeing memory, the
# disk test deleting its files) and the verdict. A run must end by the time limit
# (ended_by "duration"); one that ended otherwise is marked.
#
# Usage: bench/time_limit_stop.sh [folder for the disk test] [durations...]
#        (defaults: a new folder under /var/tmp; 2 5 9 14 20)
# SORT_DEFAULT_DURATIONS (default "3 8 70 75") are the limits for the sorts at the default
# ArraySize of 20,000,000, whose pass takes many minutes: they fall in the fill, the quick
# sorts and the first Shell sorts.
set -euo pipefail
cd "$(dirname "$0")/.."
program=build/release/forgeval
if [ ! -x "$program" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target forgeval
fi
folder=${1:-}
shift || true
durations=${*:-2 5 9 14 20}
work=$(mktemp -d /var/tmp/fgvstop.XXXXXX)
[ -n "$folder" ] || { folder=$work/drive; mkdir "$folder"; }
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/forgeval"

off() {  # every test off but $1
  for s in Memory Cache FFT SortAlgorithms Matrix Disk; do
    [ "$s" = "$1" ] || printf '[%s]\nEnabled=0\n' "$s"
  done
}

measure() {  # name, section, its settings, durations
  local name=$1 section=$2 settings=$3 worst=0
  printf '%-22s' "$name"
  for d in $4; do
    { printf '[Main]\nDuration=%s\n' "$d"; off "$section"; printf '[%s]\n%b\n' "$section" "$settings"; } \
      >"$work/forgeval.ini"
    rm -f "$work/forgeval.results.jsonl"
    local start end over ended
    start=$(date +%s.%N)
    (cd "$work" && ./forgeval >/dev/null) || true
    end=$(date +%s.%N)
    over=$(echo "$end - $start - $d" | bc)
    ended=$(grep -o '"ended_by":"[a-z]*"' "$work/forgeval.results.jsonl" | cut -d'"' -f4)
    [ "$ended" = duration ] || over="$over($ended)"
    printf ' %7s' "$over"
    worst=$(echo "if (${over%%(*} > $worst) ${over%%(*} else $worst" | bc)
  done
  printf '   worst %.2f s\n' "$worst"
  if ls "$folder" | grep -Eq '^(~temp\.tmp|[mn].{6}\.TMP)$'; then echo "  files left in $folder"; fi
}

echo "Seconds from the time limit to the end of the run, per D in: $durations"
measure "Memory (MemSize=512)" Memory 'CPU=0,1\nMemSize=512' "$durations"
measure "Cache" Cache 'CPU=0,1' "$durations"
measure "FFT" FFT 'CPU=0,1' "$durations"
measure "Sort (1,000,000)" SortAlgorithms 'CPU=0,1\nArraySize=1000000' "$durations"
measure "Sort (20,000,000)" SortAlgorithms 'CPU=0,1\nArraySize=20000000' \
  "${SORT_DEFAULT_DURATIONS:-3 8 70 75}"
measure "Matrix" Matrix 'CPU=0,1' "$durations"
measure "Disk (Size=3)" Disk "CPU=0\nSize=3\nDrive=$folder" "$durations"
