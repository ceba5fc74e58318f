#!/usr/bin/env bash
# The disk test's device rates against fio's on the same folder, measured in one run:
#   write:  the worker writing a first file (512 MiB in 1 MiB blocks, O_DIRECT|O_DSYNC)
#           against  fio --rw=write --bs=1M --direct=1 --sync=dsync  (a new 512 MiB file);
#   verify: the verification of a pair (both files read from the device and compared)
#           against  fio --rw=read --bs=1M --direct=1  alternating between the two files
#           block by block as the verification does; both read the same two equal 512 MiB
#           files, laid out once by fio with the worker's fill pattern (byte k is k mod 256),
#           which the verification checks too.
#   whole write phase: the first file and its copy (1 GiB to the device) against the same
#           fio write rate (target: at least 0.8 of it).
# The writes are measured first, then the reads; each round measures every side once, in alternating order, so that a change in the machine's load meets both; the
# medians of the rounds are compared.
#
# Usage: bench/disk_vs_fio.sh [folder] [rounds]     (defaults: /tmp, 5)
# FORGEVAL_BENCH=path/to/forgeval_bench measures another build (an older one, say).
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-/tmp}
rounds=${2:-5}
bench=${FORGEVAL_BENCH:-build/release/forgeval_bench}  # another build to compare with

if ! command -v fio >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "needs fio: apt-get install fio" >&2
    exit 1
  fi
  apt-get install -y fio >/dev/null || { apt-get update >/dev/null && apt-get install -y fio >/dev/null; }
fi
if [ ! -x "$bench" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target forgeval_bench
fi
work=$(mktemp -d "$folder/fgvfio.XXXXXX")
results=$(mktemp)
trap 'rm -rf "$work" "$results"' EXIT

# MB/s (10^6 bytes a second) of one fio job on $work.
fio_rate() {
  fio --output-format=json --directory="$work" --bs=1M --direct=1 --ioengine=psync "$@" |
    python3 -c 'import json, sys
job = json.load(sys.stdin)["jobs"][0]
print(sum(job[d]["bw_bytes"] for d in ("read", "write")) / 1e6)'
}

# MB/s of one benchmark of forgeval_bench on $folder.
bench_rate() {
  FORGEVAL_BENCH_DIR="$folder" "$bench" --benchmark_filter="^$1/" --benchmark_format=json \
    2>/dev/null | python3 -c 'import json, sys
run = json.load(sys.stdin)["benchmarks"][0]
if run.get("error_occurred"): sys.exit(run.get("error_message", "failed"))
print(run["bytes_per_second"] / 1e6)'
}

# Two equal files for both readers, laid out by fio with the worker's fill pattern.
pattern=0x$(python3 -c 'print(bytes(range(256)).hex())')
fio --output-format=json --directory="$work" --name=pair --rw=write --bs=1M --size=1G \
  --nrfiles=2 --buffer_pattern="$pattern" --direct=1 >/dev/null
pair="$work/pair.0.0:$work/pair.0.1"

# Lets the device finish what the last measurement left (write-back, discards of deleted
# files), so that it does not weigh on the next one.
settle() {
  sync
  sleep 1
}

measure() {
  case $1 in
    fio_write)
      rate=$(fio_rate --name=write --rw=write --sync=dsync --size=512M)
      rm -f "$work"/write.*
      ;;
    forgeval_write) rate=$(bench_rate BM_DiskWriteFirstFile) ;;
    forgeval_pair) rate=$(bench_rate BM_DiskWritePair) ;;
    fio_read)
      rate=$(fio_rate --name=read --rw=read --filename=pair.0.0:pair.0.1 --size=1G \
        --file_service_type=roundrobin)
      ;;
    forgeval_verify) rate=$(FORGEVAL_BENCH_PAIR="$pair" bench_rate BM_DiskVerifyPair) ;;
  esac
  echo "$1 $rate" >>"$results"
  settle
}

# Writes first, then reads, so that no read competes with the write-back of a write.
for phase in write read; do
  for round in $(seq "$rounds"); do
    # Each side goes first in every other round.
    if [ "$phase" = write ]; then
      order="fio_write forgeval_write forgeval_pair"
      [ $((round % 2)) -eq 0 ] && order="forgeval_pair forgeval_write fio_write"
    else
      order="fio_read forgeval_verify"
      [ $((round % 2)) -eq 0 ] && order="forgeval_verify fio_read"
    fi
    for name in $order; do measure "$name"; done
    echo "$phase round $round of $rounds done" >&2
  done
  sleep 5
done

python3 - "$results" "$folder" "$rounds" <<'PY'
import statistics, sys
rates = {}
for line in open(sys.argv[1]):
    name, value = line.split()
    rates.setdefault(name, []).append(float(value))
median = {name: statistics.median(values) for name, values in rates.items()}
print(f"Folder {sys.argv[2]}, {sys.argv[3]} rounds, medians in MB/s (all rounds in brackets)")
for name in ("fio_write", "forgeval_write", "forgeval_pair", "fio_read", "forgeval_verify"):
    print(f"  {name:16} {median[name]:8.0f}   [{', '.join(f'{v:.0f}' for v in rates[name])}]")
ratios = (("first-file write", "forgeval_write", "fio_write", 0.9),
          ("whole write phase", "forgeval_pair", "fio_write", 0.8),
          ("verification", "forgeval_verify", "fio_read", 0.9))
for label, ours, theirs, target in ratios:
    ratio = median[ours] / median[theirs]
    print(f"  {label:18} {median[ours]:6.0f} / {theirs} {median[theirs]:6.0f} = {ratio:.2f}"
          f"  (target >= {target})")
PY
