#!/usr/bin/env bash
# What the health check's sampling thread (temperatures and processor frequencies, once a
# second) costs the tests: the memory test's gb_per_s from the run record, with [Health]
# Enabled=true and =false, alternating run by run so that a change in the machine's load
# meets both sides; the medians of the rounds are compared. Between the tests the check reads
# its counters, but the worker's rate is measured inside the test, where only the sampler
# runs beside it.
#
# A machine without hwmon sensors or cpufreq (a virtual machine) would sample nothing, so the
# script then samples a made-up tree of 64 processors and 16 sensors instead (said on output).
#
# Usage: bench/health_sampling.sh [rounds] [MemSize]     (defaults: 5, 64)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
mem_size=${2:-64}
program=build/release/forgeval

if [ ! -x "$program" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target forgeval
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/forgeval"

sys_root=/sys
if ! ls /sys/class/hwmon/hwmon*/temp*_input /sys/devices/system/cpu/cpu*/cpufreq/scaling_cur_freq \
    >/dev/null 2>&1; then
  sys_root=$work/sys
  for cpu in $(seq 0 63); do
    mkdir -p "$sys_root/devices/system/cpu/cpu$cpu/cpufreq"
    echo 2400000 >"$sys_root/devices/system/cpu/cpu$cpu/cpufreq/scaling_cur_freq"
  done
  for sensor in $(seq 0 15); do
    mkdir -p "$sys_root/class/hwmon/hwmon$sensor"
    echo coretemp >"$sys_root/class/hwmon/hwmon$sensor/name"
    echo 45000 >"$sys_root/class/hwmon/hwmon$sensor/temp1_input"
    echo "Core $sensor" >"$sys_root/class/hwmon/hwmon$sensor/temp1_label"
    echo 100000 >"$sys_root/class/hwmon/hwmon$sensor/temp1_crit"
  done
  echo "no sensors here: sampling a made-up tree of 64 processors and 16 sensors"
fi

for round in $(seq 1 "$rounds"); do
  for enabled in true false; do
    printf '[Main]\nLoop=1\nResultFile=%s.jsonl\n[Memory]\nCPU=0\nMemSize=%s\n[Cache]\nEnabled=0\n[FFT]\nEnabled=0\n[SortAlgorithms]\nEnabled=0\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n[Health]\nEnabled=%s\n' \
      "$enabled" "$mem_size" "$enabled" >"$work/forgeval.ini"
    (cd "$work" && FORGEVAL_SYS_ROOT=$sys_root ./forgeval >/dev/null)
  done
done
python3 - "$work" <<'PY'
import json, statistics, sys
for enabled, name in (("true", "with sampling"), ("false", "without sampling")):
    rates = [json.loads(line)["figures"]["gb_per_s"]
             for line in open(f"{sys.argv[1]}/{enabled}.jsonl")
             if json.loads(line)["record"] == "worker_end"]
    print(f"memory test gb_per_s {name}: median {statistics.median(rates):.3f} of "
          f"{' '.join(f'{r:.3f}' for r in rates)}")
PY
