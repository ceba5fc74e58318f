#!/usr/bin/env bash
# The Windows program under Wine against the Linux build: one whole run of every test, one
# worker each, the same configuration. The console and the log must match the Linux build's
# line for line (times, the drive's name and the hardware-source line aside), the matrix's
# integer result must be the same number, and each build's two transform sums must agree.
# Usage: windows_run_test.sh FORGEVAL_EXE LINUX_FORGEVAL. Exit 77 (skipped) without wine or
# without the Linux build.
set -euo pipefail
exe=$1
linux=$2
command -v wine >/dev/null || { echo "skipped: wine is not installed"; exit 77; }
[ -x "$linux" ] || { echo "skipped: no Linux build at $linux to compare with"; exit 77; }

export WINEDEBUG=${WINEDEBUG:--all}
work=$(mktemp -d /tmp/fgv-win.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/linux/drive" "$work/windows/drive"
cp "$linux" "$work/linux/forgeval"
cp "$exe" "$work/windows/forgeval.exe"
# Wine shows the whole Linux file system as drive Z:.
windows_drive="Z:${work//\//\\}\\windows\\drive"
configure() {  # $1 folder, $2 processor, $3 drive entry
  printf '[Main]\nLoop=1\n[Memory]\nCPU=%s\nMemSize=8\n[Cache]\nCPU=%s\n[FFT]\nCPU=%s\n' "$2" "$2" "$2"
  printf '[SortAlgorithms]\nCPU=%s\nArraySize=1000\n[Matrix]\nCPU=%s\n' "$2" "$2"
  printf '[Disk]\nCPU=%s\nDrive=%s\nSize=1\n' "$2" "$3"
}
configure "$work/linux" 0 "$work/linux/drive" >"$work/linux/forgeval.ini"
configure "$work/windows" 1 "$windows_drive" >"$work/windows/forgeval.ini"

# Both at once, each on its own processor.
run() {  # $1 folder, then the command
  local status=0
  (cd "$1" && shift && "$@" >console.txt 2>&1) || status=$?
  echo "$status" >"$1/status"
}
run "$work/linux" ./forgeval &
run "$work/windows" wine forgeval.exe &
wait

failed=0
check() {  # $1 what, then the command
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what"
    failed=1
  fi
}
check "Linux run passed" test "$(cat "$work/linux/status")" = 0
check "Windows run passed" test "$(cat "$work/windows/status")" = 0

# Times, the drive entries and the processor numbers are the only differences allowed; the
# hardware sources are a Linux facility and have a line of their own on each system.
normalise() {  # $1 file, $2 drive entry
  tr -d '\r' <"$1" |
    sed -E -e 's#[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}#TIME#g' \
      -e "s#$(printf '%s' "$2" | sed 's/[\\.]/\\&/g')[/\\]#DRIVE/#g" \
      -e '/Hardware error sources:/d'
}
for file in console.txt forgeval.Log; do
  normalise "$work/linux/$file" "$work/linux/drive" >"$work/linux.$file"
  normalise "$work/windows/$file" "$windows_drive" >"$work/windows.$file"
  check "$file: the Windows build's lines are the Linux build's" \
    diff -u "$work/linux.$file" "$work/windows.$file"
done
check "the Windows log keeps the Linux log's line ends (no carriage returns)" \
  bash -c "! grep -q $'\r' '$work/windows/forgeval.Log'"
check "one hardware-source line on Windows, naming no source as read" \
  test "$(grep -c 'Hardware error sources: ' "$work/windows/console.txt")" = 1

# The figures of the run record.
figure() {  # $1 folder, $2 test, $3 figure
  grep "\"record\":\"worker_end\"" "$1/forgeval.results.jsonl" | grep "\"test\":\"$2\"" |
    sed -E "s/.*\"$3\":\"?([^\",}]*).*/\\1/"
}
linux_matrix=$(figure "$work/linux" Matrix element_0_0)
windows_matrix=$(figure "$work/windows" Matrix element_0_0)
check "the matrix result is the same number ($linux_matrix, $windows_matrix)" \
  test -n "$linux_matrix" -a "$linux_matrix" = "$windows_matrix"
for side in linux windows; do
  sum_0=$(figure "$work/$side" FFT sum_0_bits)
  sum_1=$(figure "$work/$side" FFT sum_1_bits)
  check "$side: the transform's two sums agree ($sum_0, $sum_1)" test -n "$sum_0" -a "$sum_0" = "$sum_1"
  eval "${side}_sum=\$sum_0"
done
echo "transform sums: Linux $linux_sum ($(figure "$work/linux" FFT math_library))," \
  "Windows $windows_sum ($(figure "$work/windows" FFT math_library))"
check "the disk test left nothing in either drive folder" \
  test -z "$(ls -A "$work/linux/drive" "$work/windows/drive" | grep -v ':$' | grep -v '^$' || true)"
exit $failed
