#!/usr/bin/env bash
# The Windows program's operator services under Wine, each on a run that reports a real error
# (MemSize=-4): the event log entry as Wine's eventlog channel prints it, the source's registry
# entry and message table; console lines in CR LF and the log in the Linux format; the hardware
# sources named as not read; the message box that waits under Xvfb until a key is sent, is not
# shown without a display or with input redirected, and is taken down by a Ctrl+C, which ends
# the run as an interrupt. Skipped (77) without Xvfb, xdotool or script for the box.
set -euo pipefail
exe=$(realpath "$1")
export WINEPREFIX=${WINEPREFIX:-$(dirname "$exe")/wineprefix} WINEDEBUG=-all
work=$(mktemp -d /tmp/fgv-operator.XXXXXX)
xvfb=
cleanup() {
  # A run that a failed check left waiting (its exit status not written yet), then the display.
  if [[ -s $work/pid && ! -s $work/exit.txt ]]; then kill -KILL "$(cat "$work/pid")" || true; fi
  if [[ -n $xvfb ]]; then kill "$xvfb" || true; fi
  wait || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
cd "$work"
cp "$exe" forgeval.exe
ini() {
  printf '[Main]\nLoop=%s\n[Memory]\nMemSize=-4\n' "$1"
  for test in Cache FFT SortAlgorithms Matrix Disk; do printf '[%s]\nEnabled=false\n' "$test"; done
}
ini 1 >forgeval.ini
error='[***ERROR: Thread 0 : Allocating Memory: MemSize -4 gives a negative block count ***]'
unread='Hardware error sources: not read on Windows (memory ECC, machine-check counters, kernel log, PCIe AER, SMART, temperatures, throttle counters and processor frequencies are read on Linux only)'

# Wine's desktop takes the display of the program that opened it: one that an earlier program
# without a display left in this prefix cannot show a box. It closes a few seconds after its
# last program; the runs below open it again on this test's display.
stale_desktop() {
  local pid
  for pid in $(pgrep -f 'explorer.exe /desktop'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
for _ in $(seq 100); do stale_desktop || break; sleep 0.1; done
# Input redirected: no box (a display is there when Xvfb is), the run goes straight on.
if command -v Xvfb >/dev/null; then
  Xvfb -displayfd 3 -nolisten tcp 3>display >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 50); do [[ -s display ]] && break; sleep 0.1; done
  DISPLAY=:$(cat display)
  export DISPLAY
fi
status=0
WINEDEBUG=err+eventlog,fixme+advapi timeout 30 wine forgeval.exe </dev/null >console.txt \
  2>wine.txt || status=$?
[[ $status == 1 ]] || fail "redirected input: exit $status"
grep -qxF "err:eventlog:ReportEventW L\"${error}\\n\"" <(cut -d: -f2- wine.txt) ||
  fail "the eventlog channel lacks the error text: $(grep eventlog wine.txt)"
# Error type 1, category 0, event 1, a user, one string, no data.
grep -qE 'ReportEventA \([0-9A-F]+,0x0001,0x0000,0x00000001,0*[1-9A-F][0-9A-F]*,0x0001,0x00000000,[0-9A-F]+,0+\)' \
  wine.txt || fail "event entry fields: $(grep ReportEventA wine.txt)"
[[ $(grep -c 'ReportEventA' wine.txt) == 1 ]] || fail "one entry per error"
key='HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\Forgeval'
wine reg query "$key" | tr -d '\r' >registry.txt
grep -qE "EventMessageFile +REG_SZ +Z:${work//\//\\\\}\\\\forgeval.exe$" registry.txt &&
  grep -qE 'TypesSupported +REG_DWORD +0x1f$' registry.txt || fail "registry: $(cat registry.txt)"
x86_64-w64-mingw32-windres -i forgeval.exe -O rc 2>/dev/null | grep -qF '%1\r\n\000' ||
  fail "message 1 of the message table is not %1\\r\\n"
# The console in text mode: CR LF on every line; the log byte for byte as on Linux: no CR.
[[ $(grep -c $'\r$' console.txt) == $(wc -l <console.txt) ]] || fail "console lines without CR"
grep -q $'\r' forgeval.Log && fail "CR in the log"
grep -q $'\033' console.txt && fail "cursor controls in redirected output"
for file in console.txt forgeval.Log; do
  grep -qF "$unread" "$file" && grep -qF "$error" "$file" || fail "$file: $(cat "$file")"
done
grep -qF '"health_sources":{"found":[],"unavailable":["memory ECC","machine-check counters","kernel log","PCIe AER","SMART","temperatures","throttle counters","processor frequencies"],"not_read_on":"Windows"}' \
  forgeval.results.jsonl || fail "run record: $(head -c 2000 forgeval.results.jsonl)"

for tool in Xvfb xdotool script; do
  command -v $tool >/dev/null || { echo "SKIP: no $tool for the message box" && exit 77; }
done
# Input from a console (a pseudo-terminal, which Wine makes the program's console).
# Standard output goes to console.txt, or with "terminal" to the console too (what reaches the
# terminal is in terminal.txt).
start_in_console() {
  rm -f console.txt exit.txt
  local output=">console.txt"
  [[ ${1:-} == terminal ]] && output=
  # (A job started with & would read /dev/null: its input is given the terminal again.)
  script -qec "exec 3<&0; wine forgeval.exe <&3 $output 2>/dev/null & echo \$! >pid; wait \$!; echo \$? >exit.txt" \
    terminal.txt </dev/null >/dev/null &
}
find_box() {
  for _ in $(seq 100); do
    box=$(xdotool search --onlyvisible --name '^Forgeval$' 2>/dev/null | head -1) && return 0
    sleep 0.1
  done
  fail "no message box: $(cat console.txt)"
}
wait_exit() {
  for _ in $(seq 100); do [[ -s exit.txt ]] && return 0; sleep 0.1; done
  fail "$1: the run did not end: $(cat console.txt)"
}
# It waits until the operator answers; the error line is in the console file meanwhile.
start_in_console
find_box
sleep 0.5
[[ ! -s exit.txt ]] || fail "the run went on without an answer"
grep -qF "$error" console.txt || fail "the error line is not written while the box waits"
grep -q 'tests failed' console.txt && fail "verdict before the answer"
xdotool windowfocus "$box" key Return
wait_exit "answered"
[[ $(cat exit.txt) == 1 ]] && grep -q 'Error: Some of the tests failed' console.txt ||
  fail "after the answer: exit $(cat exit.txt), $(cat console.txt)"
# A Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event) takes the box down by itself
# and ends a run of many passes as an interrupt. Output to the console shows the live status,
# drawn with the cursor controls, which a redirected console never gets.
ini 1000 >forgeval.ini
start_in_console terminal
find_box
kill -INT "$(cat pid)"
wait_exit "Ctrl+C"
[[ $(cat exit.txt) == 130 ]] || fail "Ctrl+C: exit $(cat exit.txt)"
grep -qF "Run interrupted (Ctrl+C)." forgeval.Log && grep -qF '"exit_code":130' forgeval.results.jsonl ||
  fail "Ctrl+C: $(cat forgeval.Log)"
# (Wine's console redraws its screen on the terminal in its own way: only the text is checked.)
grep -qF '[Loop 1 of 1000 | Memory |' terminal.txt || fail "no live status: $(cat -v terminal.txt)"
# No display (last, since the desktop it opens has none): the box cannot be shown and the run
# goes on at once.
ini 1 >forgeval.ini
DISPLAY='' start_in_console
wait_exit "no display"
[[ $(cat exit.txt) == 1 ]] || fail "no display: exit $(cat exit.txt)"
echo "operator services: passed"
