#!/usr/bin/env bash
# Runs every benchmark program of a build (BUILD_DIR/bench/zv_pt_bench_*) and
# prints a markdown summary: per kernel, ms per call and GB/s of zv_pt, memcpy
# and the peers, the ratios, and whether the single-thread targets hold.
# Further arguments go to every program (e.g. --benchmark_filter=permute_u8).
# The JSON results stay beside the programs (zv_pt_bench_*.json).
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [benchmark options]" >&2
  exit 2
fi
build=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)

shopt -s nullglob
programs=()
for program in "$build"/bench/zv_pt_bench_*; do
  [[ -x $program && $program != *.json ]] && programs+=("$program")
done
if [ ${#programs[@]} -eq 0 ]; then
  echo "no benchmark programs in $build/bench (configure with -DZV_PT_BUILD_BENCH=ON)" >&2
  exit 1
fi

results=()
for program in "${programs[@]}"; do
  echo "running $(basename "$program") ..." >&2
  "$program" --benchmark_out="$program.json" --benchmark_out_format=json "$@" >&2
  # A filter that matches none of a program's benchmarks leaves its file empty.
  [[ -s $program.json ]] && results+=("$program.json")
done
/usr/bin/python3 "$root/bench/summarize.py" "${results[@]}"
# The whole resize against PyTorch and Pillow, timed side by side in one
# Python process through the build's resize shim.
/usr/bin/python3 "$root/bench/resample_peers.py" "$build"
