#!/usr/bin/env bash
# Runs morvane-batch beside its peers through the shared reference harness for the
# JPEG-to-JPEG job: Resize to 640 x 480 with proportions and Lanczos3, Convert to JPEG at
# quality 80, one file after another as the job does.
#
#   bench/peer_bench.sh [SCRATCH]       # SCRATCH: a folder outside the repository
#                                        # (default /tmp/morvane-bench)
#   MEMORY=1 bench/peer_bench.sh        # also peak memory over 48 and 480 files
#
# The harness writes under its own folder, so it is copied to SCRATCH first. It needs its
# peers installed once (as root): "$SCRATCH/bench/run_bench.sh --setup".
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
scratch=${1:-/tmp/morvane-bench}
case "$scratch/" in "$repo"/*) echo "SCRATCH must be outside the repository" >&2; exit 2 ;; esac

build=$repo/build/release
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANE_BUILD_TESTS=OFF \
  -DMORVANE_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j 2 --target morvane-batch
batch=$build/app/cli/morvane-batch

mkdir -p "$scratch"
[ -d "$scratch/bench" ] || cp -r "$repo/../shared/bench" "$scratch/bench"
ini=$scratch/fit.ini
cat > "$ini" <<'INI'
[General]
ResizeItem=3
Resize=1
Convert=1
ConvertItem=0
Rename=0
[Output]
Watermark=0
Proportions=1
ResizeFilter=7
JPEGQuality=80
UseOriginal=0
INI

cd "$scratch/bench"
OURS="$batch --settings $ini --output {out} {in}" OURS_NAME=morvane-batch JOBS="${JOBS:-jpg2jpg floor}" \
  ROUNDS=${ROUNDS:-3} ./run_bench.sh

if [ "${MEMORY:-0}" = 1 ]; then
  # Peak memory must not grow with the number of files: the same job over 48 files and
  # over ten hard-linked copies of each.
  many=$scratch/many; rm -rf "$many" "$scratch/out-mem"; mkdir -p "$many"
  for k in $(seq 0 9); do
    for f in corpus/jpg/*.jpg; do ln -f "$f" "$many/$k-$(basename "$f")"; done
  done
  for input in corpus/jpg "$many"; do
    n=$(ls "$input" | wc -l)
    rm -rf "$scratch/out-mem"
    /usr/bin/time -f "%M" -o "$scratch/rss.txt" "$batch" --settings "$ini" --output "$scratch/out-mem" \
      "$input" >/dev/null
    echo "files $n: peak RSS $(( $(tail -1 "$scratch/rss.txt") / 1024 )) MiB"
  done
  rm -rf "$many" "$scratch/out-mem"
fi
