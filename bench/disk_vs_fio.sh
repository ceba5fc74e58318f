#!/usr/bin/env bash
# The disk test's device rates against fio's on the same folder, measured in one run:
#   write:  the worker writing a first file (512 MiB in 1 MiB blocks, O_DIRECT|O_DSYNC)
#           against  fio --rw=write --bs=1M --direct=1 --sync=dsync  (a new 512 MiB file);
#   verify: the verification of a pair (both files read from the device and compared)
#           against  fio --rw=read --bs=1M --direct=1  alternating between the two files
#           block by block as the verification does; both read the same two equal 512 MiB
#           files, laid out once by fio.
# Also shown: the whole write phase of a pair (first file and the kernel's copy, 1 GiB to
# the device). The writes are measured first, then the reads; each round measures every
# side once, in alternating order, so that a change in the machine's load meets both; the
# medians of the rounds are compared.
#
# Usage: bench/disk_vs_fio.sh [folder] [rounds]     (defaults: /tmp, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-/tmp}
rounds=${2:-5}
bench=build/release/forgeval_bench

command -v fio >/dev/null || { echo "needs fio (apt-get install fio)" >&2; exit 1; }
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

# Two equal files for both readers: fio lays them out (zero-filled, so they agree).
fio --output-format=json --directory="$work" --name=pair --rw=write --bs=1M --size=1G \
  --nrfiles=2 --zero_buffers --direct=1 >/dev/null
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
print(f"write  / fio write: {median['forgeval_write'] / median['fio_write']:.2f}  (target >= 0.9)")
print(f"pair   / fio write: {median['forgeval_pair'] / median['fio_write']:.2f}  (whole write phase)")
print(f"verify / fio read:  {median['forgeval_verify'] / median['fio_read']:.2f}  (target >= 0.9)")
PY
