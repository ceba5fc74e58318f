#!/usr/bin/env bash
# The Ansible role end to end with the real program: three inventory hosts that are aliases of
# this machine (local connection, install and result folders keyed by inventory_hostname), one
# pass of the matrix test (a result the summary compares across hosts, and no rate or time:
# aliases of one machine share its processors) and of the disk test's folder check, one host
# whose Drive does not exist. --check changes nothing;
# the real run exits 2 with every host's files fetched; --summarize flags the failed host and
# exits 1; the JUnit file has exactly one failure. Exit 77 (skipped) without ansible-playbook.
set -euo pipefail
forgeval=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v ansible-playbook >/dev/null; then
  echo "SKIP: no ansible-playbook on PATH (apt-get install ansible-core)"; exit 77
fi
# Short: the log path must fit Forgeval's 29 characters.
work=$(mktemp -d /tmp/fgvXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cat >"$work/inventory.ini" <<INVENTORY
[fleet]
rig-a
rig-b
rig-c forgeval_drives='["/nonexistent-fgv-drive"]'

[fleet:vars]
ansible_connection=local
ansible_python_interpreter=$(command -v python3)
forgeval_binary=$forgeval
forgeval_install_dir=$work/{{ inventory_hostname }}/bin
forgeval_work_dir=$work/{{ inventory_hostname }}/work
forgeval_log_file=$work/{{ inventory_hostname }}.Log
forgeval_results_dir=$work/results
forgeval_poll=1
forgeval_loops=1
forgeval_cpus=[0]
forgeval_tests=["Matrix","Disk"]
forgeval_drives=["$work/{{ inventory_hostname }}/work"]
forgeval_disk_size=0
INVENTORY
playbook=(ansible-playbook -i "$work/inventory.ini" "$source_dir/deploy/ansible/forgeval.yml" -f 3)
export ANSIBLE_LOCAL_TEMP=$work/.ansible-tmp ANSIBLE_NOCOLOR=1

"${playbook[@]}" --check >"$work/check.log" 2>&1 || fail "--check: $(tail -20 "$work/check.log")"
left=$(find "$work" -mindepth 1 -maxdepth 1 ! -name inventory.ini ! -name check.log ! -name .ansible-tmp)
[ -z "$left" ] || fail "--check changed something: $left"

# A crash report left beside rig-b's program by an earlier run is fetched too.
mkdir -p "$work/rig-b/bin" && printf 'report\r\n' >"$work/rig-b/bin/ERRORLOG.TXT"
status=0
"${playbook[@]}" >"$work/play.log" 2>&1 || status=$?
[ "$status" = 2 ] || fail "ansible-playbook exited $status, expected 2: $(tail -30 "$work/play.log")"
grep -q 'Forgeval on rig-c ended with exit code 1 (Error: Some of the tests failed.)' "$work/play.log" ||
  fail "rig-c was not failed for its run"
grep -Eq '^rig-a +: .*failed=0' "$work/play.log" && grep -Eq '^rig-c +: .*failed=1' "$work/play.log" ||
  fail "play recap: $(tail -5 "$work/play.log")"
for host in rig-a rig-b rig-c; do
  for file in forgeval.results.jsonl "$host.Log"; do
    [ -s "$work/results/$host/$file" ] || fail "results/$host/$file not fetched"
  done
done
[ "$(ls "$work"/results/*/ERRORLOG.TXT)" = "$work/results/rig-b/ERRORLOG.TXT" ] ||
  fail "ERRORLOG.TXT fetched as: $(ls "$work"/results/*/ERRORLOG.TXT)"

status=0
"$forgeval" --summarize "$work"/results/*/forgeval.results.jsonl --junit "$work/fleet.xml" \
  >"$work/summary.txt" || status=$?
[ "$status" = 1 ] || fail "--summarize exited $status, expected 1"
cat "$work/summary.txt"
grep -Eq '^[^ ].*\(rig-c\) +failed +failed .*failed: Disk pass 1 worker 0: \[\*\*\* ERROR Thread 0 : Cannot write on /nonexistent-fgv-drive/ drive \*\*\*\]$' \
  "$work/summary.txt" || fail "rig-c is not shown failed with its error"
[ "$(grep -Ec '\((rig-a|rig-b)\) +passed +passed' "$work/summary.txt")" = 2 ] || fail "rig-a and rig-b not passed"
[ "$(grep -c '<failure ' "$work/fleet.xml")" = 1 ] || fail "JUnit failures: $(grep -c '<failure ' "$work/fleet.xml")"
grep -q '<testsuites name="forgeval fleet" tests="[0-9]*" failures="1">' "$work/fleet.xml" || fail "JUnit totals"
echo "fleet playbook and summary: ok"
