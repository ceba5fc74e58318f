#!/usr/bin/env python3
"""Runs the memory and cache benchmarks of forgeval_bench with repetitions and prints, for
each pass, the median time of the test's code against the median of its reference loop, as
a speed ratio (reference time / test time; 1.0 means as fast, the target is at least 0.85).

Usage: bench/memory_ratios.py [path/to/forgeval_bench] [repetitions]
"""
import json
import subprocess
import sys

bench = sys.argv[1] if len(sys.argv) > 1 else "build/release/forgeval_bench"
repetitions = sys.argv[2] if len(sys.argv) > 2 else "5"
run = subprocess.run(
    [bench, "--benchmark_filter=DramArray|AddressDataBus|CachePhase|FindByteMismatch",
     f"--benchmark_repetitions={repetitions}", "--benchmark_format=json"],
    check=True, capture_output=True, text=True)
medians = {}
for result in json.loads(run.stdout)["benchmarks"]:
    if result.get("aggregate_name") == "median":
        medians[result["run_name"]] = (result["real_time"], result["time_unit"])

def show(name):
    time, unit = medians[name]
    return f"{time:10.3f} {unit}"

# The memory test's fills stream around the caches: against the streaming reference the target
# is at least 0.85; against the ordinary-store reference, which runs in the caches, the ratio
# must stay well below 1.
pairs = []
for threads in ("1", "2"):
    for kind, arg in (("streaming", "1"), ("ordinary", "0")):
        pairs += [
            (f"DRAM array, {threads} worker(s) vs {kind}", f"BM_DramArrayCheck/real_time/threads:{threads}",
             f"BM_DramArrayReference/{arg}/real_time/threads:{threads}"),
            (f"Bus check, {threads} worker(s) vs {kind}",
             f"BM_AddressDataBusCheck/real_time/threads:{threads}",
             f"BM_AddressDataBusReference/{arg}/real_time/threads:{threads}"),
        ]
pairs += [
    ("Cache test, L1 phase", "BM_CachePhase/91750", "BM_CachePhaseReference/91750"),
    ("Cache test, L2 phase", "BM_CachePhase/734003", "BM_CachePhaseReference/734003"),
]
for title, test, reference in pairs:
    ratio = medians[reference][0] / medians[test][0]
    print(f"{title:40} test {show(test)}  reference {show(reference)}  ratio {ratio:5.2f}")
for name in sorted(medians):
    if name.startswith("BM_FindByteMismatch") or name.startswith("BM_DramArrayVolatile"):
        print(f"{name:40} {show(name)}")
