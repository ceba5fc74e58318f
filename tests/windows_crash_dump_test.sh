#!/usr/bin/env bash
# The Windows crash report under Wine, read back on this side: the unit test writes ERRORLOG.TXT
# and CRASH.DMP into a folder of ours, and lldb must open the minidump at the function that
# faulted (or, while faults are not translated, at the writer called from the test).
set -euo pipefail
exe=$1
if ! command -v lldb-14 >/dev/null; then
  echo "skipped: lldb-14 is not installed"
  exit 77
fi
work=$(mktemp -d /tmp/fgv-dump.XXXXXX)
# A copy under a name of its own, which Wine presents as Windows 10 although the prefix says
# Windows 7: the report must show the version RtlGetVersion gives, not GetVersionExA's 6.1.
key='HKCU\Software\Wine\AppDefaults\fgvdump.exe'
trap 'wine reg delete "$key" /f >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cp "$exe" "$work/fgvdump.exe"
wine reg add "$key" /v Version /d win10 /f >/dev/null 2>&1
if ! FORGEVAL_CRASH_FOLDER=$(winepath -w "$work") FORGEVAL_WINDOWS_MAJOR=10 \
  wine "$work/fgvdump.exe" --gtest_filter='WindowsCrashReportTest.*' >"$work/test.txt" 2>&1; then
  cat "$work/test.txt"
  exit 1
fi
# Frame 0 of a fault's dump is the fault's own instruction; the frames of a context saved
# earlier and since returned from need not unwind. A dump without a fault shows the writer
# called from the test's function.
source=$(tr -d '\r' <"$work/test.txt" | sed -n 's/^dump of \(a translated fault\|a captured context\)$/\1/p')
case $source in
  "a translated fault") expected=('frame #0: .*FaultingFunctionForTheDump') ;;
  *) expected=('frame #0: .*\(CapturedHere\|CaptureCurrentContext\)') ;;
esac
for dump in pointers none; do
  lldb-14 -b "$work/fgvdump.exe" -c "$work/$dump/CRASH.DMP" -o bt >"$work/$dump.bt" 2>/dev/null || true
  [[ $dump == none ]] && expected=('frame #0: .*forgeval::platform::WriteMinidump'
                                   'frame #[0-9]*: .*WriteReportFromHere')
  for pattern in "${expected[@]}"; do
    if ! grep -q "$pattern" "$work/$dump.bt"; then
      echo "lldb did not read the $dump dump back to the function that wrote it ($pattern):"
      cat "$work/$dump.bt"
      exit 1
    fi
  done
done
echo "dump of $source read back by lldb"
