#!/usr/bin/env bash
# The fleet summary's HTML page in a real browser (headless Chromium): one row per host in the
# order failed, incomplete, flagged, passed; a host name holding a script shown as text and
# never run; no external resource; a screenshot that renders. Exit 77 (skipped) without Chromium.
set -euo pipefail
forgeval=$1
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then echo "SKIP: no chromium on PATH (apt-get install chromium)"; exit 77; fi
work=$(mktemp -d /tmp/fgv-html.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# host run exit-code memory-rate [no-end]
record() {
  local host=$1 run=$2 code=$3 rate=$4
  printf '{"record":"run_start","time":"2026-12-07T01:00:00Z","run":"%s","version":"1.3","host":"%s","processor_model":"M1"}\n' "$run" "$host"
  printf '{"record":"worker_end","time":"2026-12-07T01:00:02Z","run":"%s","test":"Memory","pass":1,"worker":0,"status":"%s","error":%s,"seconds":2,"figures":{"gb_per_s":%s,"fill":"streaming"}}\n' \
    "$run" "$([ "$code" = 0 ] && echo passed || echo failed)" "$([ "$code" = 0 ] && echo null || echo '"[***ERROR Thread 0 : Occured DRAM array test at address 00007F3A5C2E1F07 ***]"')" "$rate"
  [ "${5:-}" = no-end ] || printf '{"record":"run_end","time":"2026-12-07T01:00:04Z","run":"%s","verdict":null,"exit_code":%s,"seconds":4,"interrupted":false,"health":{"highest_temperature_c":{"Package id 0":67}}}\n' "$run" "$code"
}
script_host="<script>document.title='owned'</script>"
{
  record "aa-passed" 1 0 8
  record "$script_host" 2 0 8.2
  record "bb-slow" 3 0 4
  record "cc-failed" 4 1 8
  record "dd-hung" 5 0 8 no-end
} >"$work/records.jsonl"
status=0
"$forgeval" --summarize "$work/records.jsonl" --html "$work/fleet.html" >"$work/table.txt" || status=$?
[ "$status" = 1 ] || fail "exit status $status, expected 1"
! grep -Eiq '(src|href)=|url\(|@import' "$work/fleet.html" || fail "the page loads an external resource"

"$browser" --headless --no-sandbox --disable-gpu --dump-dom "file://$work/fleet.html" \
  >"$work/dom.html" 2>"$work/browser.log" || fail "chromium --dump-dom: $(tail -3 "$work/browser.log")"
rows=$(grep -o '<tr class="host [a-z]*"><td class="name">[^<]*' "$work/dom.html" |
       sed 's/<tr class="host \([a-z]*\)"><td class="name">/\1 /')
expected="failed cc-failed
incomplete dd-hung
flagged bb-slow
passed &lt;script&gt;document.title='owned'&lt;/script&gt;
passed aa-passed"
[ "$rows" = "$expected" ] || fail "rows as the browser shows them:
$rows"
grep -q '<title>Forgeval fleet summary</title>' "$work/dom.html" || fail "a host name ran as a script"
[ "$(grep -c '<script' "$work/dom.html")" = 0 ] || fail "a script element reached the page"

"$browser" --headless --no-sandbox --disable-gpu --window-size=1400,700 \
  --screenshot="$work/fleet.png" "file://$work/fleet.html" 2>>"$work/browser.log" || fail "chromium --screenshot"
[ "$(head -c 8 "$work/fleet.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "no PNG screenshot"
[ "$(stat -c %s "$work/fleet.png")" -gt 20000 ] || fail "the screenshot is nearly empty"
echo "summary page in chromium: ok"
