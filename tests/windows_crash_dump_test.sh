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
lldb-14 -b "$work/fgvdump.exe" -c "$work/CRASH.DMP" -o bt >"$work/bt.txt" 2>/dev/null
if grep -q "dump of a translated fault" "$work/test.txt"; then
  expected='frame #0: .*FaultingFunctionForTheDump'
else
  expected='frame #0: .*forgeval::platform::WriteMinidump'
fi
if ! grep -q "$expected" "$work/bt.txt" || ! grep -q 'frame #[0-9]*: .*WriteReportFromHere' "$work/bt.txt"; then
  echo "lldb did not read the dump back to the function that wrote it:"
  cat "$work/bt.txt"
  exit 1
fi
grep -h "dump of a" "$work/test.txt"
