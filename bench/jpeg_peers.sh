#!/usr/bin/env bash
# Times our JPEG glue (bench/jpeg_bench) beside djpeg and cjpeg from libjpeg-turbo-progs on
# the same inputs in the same run: decode 4000 x 3000 at 1/4 and at full size, encode
# 640 x 480 at quality 80. Usage: bench/jpeg_peers.sh [build dir, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
bench="$build/bench/jpeg_bench"
[ -x "$bench" ] || { echo "build $bench first (./run.sh or cmake --build $build)"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

MORVANE_BENCH_DIR="$dir" "$bench" --benchmark_format=csv --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep '_median' > "$dir/ours.csv"

# Median wall time in ms of N runs of a command (process start included, output discarded).
median_ms() {
  local n=$1; shift
  local times=()
  for ((i = 0; i < n; i++)); do
    local t0 t1
    t0=$(date +%s%N); "$@" > /dev/null; t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1000}'
}

peer_quarter=$(median_ms 15 djpeg -scale 1/4 -outfile /dev/null "$dir/photo4000.jpg")
peer_full=$(median_ms 9 djpeg -outfile /dev/null "$dir/photo4000.jpg")
peer_encode=$(median_ms 31 cjpeg -quality 80 -outfile /dev/null "$dir/photo640.ppm")

ours() { awk -F, -v n="\"$1_median\"" '$1 == n {print $3}' "$dir/ours.csv"; }
printf '%-34s %10s %10s %7s\n' case "ours ms" "peer ms" ratio
row() { printf '%-34s %10.3f %10.3f %7.2f\n' "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)"; }
row "decode 4000x3000 for 640x480 (1/4)" "$(ours BM_JpegDecodeQuarterFor640x480)" "$peer_quarter"
row "decode 4000x3000 full" "$(ours BM_JpegDecodeFull4000x3000)" "$peer_full"
row "encode 640x480 q80" "$(ours BM_JpegEncode640x480Q80)" "$peer_encode"
