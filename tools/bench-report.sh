#!/usr/bin/env bash
# The benchmark report: runs the kernel programs, then the whole preparation
# against OpenCV (zv_pt_bench_pipeline) and against torchvision with Pillow
# (bench/pipeline_torchvision.py), all on one thread, then draws
# docs/bench/kernels.png and docs/bench/pipeline.png and writes
# docs/bench/pipeline.md, and the resize sweep against Pillow and torch
# (bench/resample_peers.py) as docs/bench/resize_sweep.png and
# docs/bench/resize_sweep.md (bench/plot_report.py).  The raw results, the
# 1920x1080 JPEG they use and a markdown summary of the kernel programs stay
# in BUILD_DIR/bench-report/.  Takes about a quarter of an hour on two cores.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3
out=$build/bench-report
docs=$root/docs/bench
# Medians of this many runs for the kernel programs (the pipeline program
# sets its own repetitions), and rounds of the two pipeline programs.
repetitions=3
rounds=3

for program in bench/zv_pt_bench_image bench/zv_pt_bench_resample bench/zv_pt_bench_pipeline tools/zv-prep/zv-prep; do
  if [ ! -x "$build/$program" ]; then
    echo "$build/$program is missing (build with -DZV_PT_BUILD_BENCH=ON)" >&2
    exit 1
  fi
done
mkdir -p "$out"
rm -f "$out"/*.json "$out"/*.log "$out"/*.npy  # rounds of an earlier report would be merged in
start=$SECONDS

# A 1920x1080 photograph as a camera would give it: the sample photo
# enlarged and saved as a quality-90 JPEG.
frame=$out/frame_1920x1080.jpg
"$python" - "$root/data/rocket.jpg" "$frame" <<'PY'
import sys
from PIL import Image
Image.open(sys.argv[1]).convert("RGB").resize((1920, 1080), Image.Resampling.BICUBIC).save(sys.argv[2], quality=90)
PY

run() {  # run PROGRAM NAME [ARGS...]: one Google Benchmark program, JSON into $out/NAME.json
  local program=$1 name=$2
  shift 2
  echo "running $name ..." >&2
  "$program" "$@" --benchmark_out="$out/$name.json" --benchmark_out_format=json >"$out/$name.log"
}
run "$build/bench/zv_pt_bench_image" zv_pt_bench_image --benchmark_filter='/threads:1/' \
  --benchmark_repetitions=$repetitions --benchmark_report_aggregates_only=true
run "$build/bench/zv_pt_bench_resample" zv_pt_bench_resample \
  --benchmark_repetitions=$repetitions --benchmark_report_aggregates_only=true

# The whole preparation: the C++ pipelines and torchvision's in turn, round
# after round, so that a change in the machine's load reaches both alike.
# torchvision's tensor of the frame is checked against zv-prep's.
export OMP_NUM_THREADS=1
"$build/tools/zv-prep/zv-prep" -q --out "$out" "$frame"
for round in $(seq "$rounds"); do
  run "$build/bench/zv_pt_bench_pipeline" "zv_pt_bench_pipeline.$round" "$frame"
  echo "running pipeline_torchvision.py ($round of $rounds) ..." >&2
  "$python" "$root/bench/pipeline_torchvision.py" "$frame" "$out/torchvision.$round.json" \
    --check "$out/frame_1920x1080.npy" >"$out/torchvision.$round.log"
done

# The resize sweep: every shape users meet, 8-bit against Pillow and float
# against torch beside one plain read of the source, in one process.
echo "running the resize sweep (resample_peers.py) ..." >&2
"$python" "$root/bench/resample_peers.py" "$build" "$out/resize_sweep.json" >"$out/resize_sweep.log"

"$python" "$root/bench/summarize.py" "$out"/zv_pt_bench_{image,resample}.json >"$out/summary.md"
"$python" "$root/bench/plot_report.py" "$out" "$docs"
echo
echo "charts: $docs/kernels.png, $docs/pipeline.png, $docs/resize_sweep.png; tables: $docs/pipeline.md, $docs/resize_sweep.md"
echo "raw results and the kernel summary: $out (summary.md)"
echo "report took $((SECONDS - start)) s"
