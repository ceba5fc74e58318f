#!/usr/bin/env bash
# Fault translation in whole runs of the Windows program under Wine, through the fault probe (the
# real driver, dispatch and worker frame with bodies that fault on purpose): each fault is
# reported with its exact text, the run goes on to its verdict, and a fault in a thread without
# translation ends the process with the fault's code.
set -euo pipefail
probe=$1
work=$(mktemp -d /tmp/fgv-winfault.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$probe" "$work/probe.exe"
cd "$work"
# The low 32 bits of a labelled instruction's address, as the texts print them.
site() { x86_64-w64-mingw32-nm probe.exe | awk -v s="$1" '$3 == s { print substr($1, length($1) - 7) }'; }
fail() { echo "FAIL: $1"; cat console.txt; exit 1; }
# Runs the probe on the INI text $1 and bodies $3...; checks the exit code $2 and prints the
# console from the first pass on, without the warnings and the affinity lines (a worker that
# faults at once may have ended before it is pinned).
run() {
  printf '%b' "$1" >probe.ini
  local expected_code=$2 code=0
  shift 2
  WINEDEBUG=-all wine probe.exe probe.ini "$@" >console.txt 2>&1 || code=$?
  [[ $expected_code == any || $code == "$expected_code" ]] || fail "exit code $code, not $expected_code"
  tr -d '\r' <console.txt | sed -n '/^--- Loop 1/,$p' | { grep -v -e '^Warning' -e 'Thread Affinity' || true; }
}
av="Exception ACCESS_VIOLATION (0xc0000005) at address 0x$(site FaultNullReadSite)."
pass=$'Thread 0 : Passing...\nThread 0 : Passing...[Done]'
expected="--- Loop 1 of 2 ---
$av
$av
$pass
--- Loop 2 of 2 ---
$av
$av
$pass

Error: Some of the tests failed."
got=$(run '[Main]\nLoop=2\n[NullRead]\nCPU=0,1\n[Pass]\nCPU=0\n' 1 NullRead Pass)
[[ $got == "$expected" ]] || fail "worker faults: got
$got"
grep -q "Read from location 00000000 caused an access violation." ERRORLOG.TXT ||
  fail "no access in ERRORLOG.TXT"

got=$(run '[StackOverflow]\nCPU=1\n[DivideByZero]\nCPU=0\n[IllegalInstruction]\nCPU=1\n' 1 \
  StackOverflow DivideByZero IllegalInstruction)
expected="--- Loop 1 of 1 ---
Exception STACK_OVERFLOW \(0xc00000fd\) at address 0x[0-9a-f]{8}\.
Exception INT_DIVIDE_BY_ZERO \(0xc0000094\) at address 0x$(site FaultDivideByZeroSite)\.
Exception ILLEGAL_INSTRUCTION \(0xc000001d\) at address 0x$(site FaultIllegalInstructionSite)\.

Error: Some of the tests failed\."
[[ $got =~ ^$expected$ ]] || fail "other faults: got
$got"

# The system's own handling: Wine's debugger reports the fault at its instruction and ends the
# process, with no verdict. (Its exit status is 5, 0xc0000005, in most runs and 0 in some: Wine
# does not keep it faithfully. The console's last lines, in the C runtime's buffer when its
# output is a file, are lost with the process: the log has them.)
got=$(run '[UntranslatedFault]\nCPU=0\n' any UntranslatedFault)
[[ $got != *tests* ]] || fail "untranslated fault: got
$got"
grep -qi "Unhandled page fault on read access to 0* at address [0-9a-f]*$(site FaultNullReadSite) " \
  console.txt || fail "untranslated fault: not the system's handling"
grep -q -- "--- Loop 1 of 1 ---" forgeval.Log || fail "untranslated fault: no pass in the log"
echo "windows faults: 3 runs passed"
