#!/usr/bin/env bash
# The Windows crash report under Wine, read back on this side: the unit test writes ERRORLOG.TXT
# and CRASH.DMP into folders of ours (for a real fault and without exception pointers), and lldb
# must open each dump at the function it names.
set -euo pipefail
exe=$1
command -v lldb-14 >/dev/null || { echo "skipped: lldb-14 is not installed"; exit 77; }
work=$(mktemp -d /tmp/fgv-dump.XXXXXX)
# A copy under a name of its own, which Wine presents as Windows 10 although the prefix says
# Windows 7: the report must show the version RtlGetVersion gives, not GetVersionExA's 6.1.
key='HKCU\Software\Wine\AppDefaults\fgvdump.exe'
trap 'wine reg delete "$key" /f >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cp "$exe" "$work/fgvdump.exe"
wine reg add "$key" /v Version /d win10 /f >/dev/null 2>&1
FORGEVAL_CRASH_FOLDER=$(winepath -w "$work") FORGEVAL_WINDOWS_MAJOR=10 \
  wine "$work/fgvdump.exe" --gtest_filter='WindowsCrashReportTest.*' >"$work/test.txt" 2>&1 ||
  { cat "$work/test.txt"; exit 1; }
# Frame 0 of the fault's dump is the faulting instruction; the dump without pointers shows the
# writer called from the test's function.
for check in "pointers/frame #0: .*FaultingFunctionForTheDump" "none/frame #0: .*forgeval::platform::WriteMinidump" \
             "none/frame #[0-9]*: .*WriteReportFromHere"; do
  dump=${check%%/*}
  lldb-14 -b "$work/fgvdump.exe" -c "$work/$dump/CRASH.DMP" -o bt >"$work/bt" 2>/dev/null || true
  grep -q "${check#*/}" "$work/bt" || { echo "not in lldb's bt of $dump: ${check#*/}"; cat "$work/bt"; exit 1; }
done
