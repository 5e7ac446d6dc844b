#!/usr/bin/env bash
# AArch64 instructions per pixel of the image kernels, counted exactly under
# qemu-aarch64 with an instruction-counting plugin, beside the count of a plain
# NEON loop (the floor), and a look at the instructions the kernels compiled to.
#
# usage: tools/insn-count.sh [BUILD_DIR]   (default build-aarch64)
# The plugin source is taken from $INSN_PLUGIN_SOURCE; the plugin is built
# into BUILD_DIR.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build-aarch64}
plugin_source=${INSN_PLUGIN_SOURCE:-$root/../shared/tools/qemu-insn-count.c}
repeats=10
pixels=$((640 * 480))  # the driver's image
# kernel:floor, the instructions per pixel of a plain NEON loop doing the same.
kernels=(permute_u8:0.50 permute_f32:2.00 normalize:4.50)
# kernel:goal, instructions per output element of an 8-tap vertical resampling
# pass (shared taps over contiguous elements; a plain scalar loop costs ~70).
resample_kernels=(resample_f32_v8:8 resample_u8_v8:6)
# The horizontal pass of the photo shape (4928 -> 852 pixels, interleaved
# RGB, 64 lines): type_filter:taps per output element.  Each is counted in
# both mappings and beside the plain scalar loop over the same tables; the
# aim is at most one instruction per tap and output element.
photo_passes=(u8_bilinear:11.6 u8_bicubic:23.1 f32_bilinear:11.6 f32_bicubic:23.1)
photo_elements=$((852 * 3 * 64))
# A near-identity width (1920 -> 1919), whose taps are all of their own: per
# row only, beside the plain scalar loop.
near_passes=(u8_bilinear:2.0 u8_bicubic:4.0 f32_bilinear:2.0 f32_bicubic:4.0)
near_elements=$((1919 * 3 * 64))

cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target zv_pt_insn_driver >/dev/null
plugin=$build/libinsncount.so
gcc -O2 -shared -fPIC -o "$plugin" "$plugin_source"

# Instructions of one whole run of the driver.
count() {
  OMP_NUM_THREADS=1 qemu-aarch64 -plugin "$plugin" -L /usr/aarch64-linux-gnu \
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib "$build/bench/zv_pt_insn_driver" "$1" "$2" 2>&1 >/dev/null |
    sed -n 's/^guest-insns: //p'
}

# Instructions per pixel (or output element) of one call: the difference of a
# run with `repeats` calls and one without, over repeats * pixels (or the
# given element count, with the given repeats).
per_pixel() {
  local with without r=${3:-$repeats}
  with=$(count "$1" "$r") without=$(count "$1" 0)
  if [[ -z $with || -z $without ]]; then
    echo "no instruction count from qemu for $1" >&2
    exit 1
  fi
  awk -v a="$with" -v b="$without" -v r="$r" -v p="${2:-$pixels}" 'BEGIN { printf "%.3f", (a - b) / (r * p) }'
}

echo "| kernel | instructions per pixel | plain NEON loop | ratio | within 10% |"
echo "|---|---:|---:|---:|---|"
for entry in "${kernels[@]}"; do
  kernel=${entry%%:*} floor=${entry#*:}
  ipp=$(per_pixel "$kernel")
  awk -v k="$kernel" -v i="$ipp" -v f="$floor" 'BEGIN {
    printf "| %s | %.3f | %.2f | %.3f | %s |\n", k, i, f, i / f, i <= 1.1 * f ? "yes" : "NO"
  }'
done
echo
echo "| kernel | instructions per output element | goal | met |"
echo "|---|---:|---:|---|"
for entry in "${resample_kernels[@]}"; do
  kernel=${entry%%:*} goal=${entry#*:}
  ipp=$(per_pixel "$kernel")
  awk -v k="$kernel" -v i="$ipp" -v g="$goal" 'BEGIN { printf "| %s | %.3f | %d | %s |\n", k, i, g, i <= g ? "yes" : "NO" }'
done

# One table row per horizontal pass (type_filter:taps): instructions per
# element and per tap in each of the given mappings, then in the plain loop.
pass_rows() {
  local shape=$1 elements=$2 mappings=$3 entry m n row
  shift 3
  for entry in "$@"; do
    row="| ${entry%%:*} | $(printf %.1f "${entry#*:}")"
    for m in $mappings plain; do
      n=$(per_pixel "${shape}_${entry%%:*}_$m" "$elements" 2)
      row+=$(awk -v n="$n" -v t="${entry#*:}" 'BEGIN { printf " | %.2f | %.2f", n, n / t }')
    done
    echo "$row |"
  done
}

echo
echo "| photo horizontal pass | taps per element | per phase: instructions per element | per tap | per row: per element | per tap | plain scalar loop: per element | per tap |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
pass_rows photo $photo_elements "phase row" "${photo_passes[@]}"

echo
echo "| near-identity horizontal pass (1920 -> 1919) | taps per element | per row: instructions per element | per tap | plain scalar loop: per element | per tap |"
echo "|---|---:|---:|---:|---:|---:|"
pass_rows near $near_elements row "${near_passes[@]}"

# The row kernels the exported functions dispatch to on AArch64: the
# conversions should de-interleave with ld3 and store 16-byte registers; the
# normalisation should subtract and divide (no fused or reciprocal forms).
echo
library=$(ls "$build"/libzv_pt.so.*.*.* | head -n 1)
aarch64-linux-gnu-objdump -d --no-show-raw-insn -C "$library" | awk '
  /^[0-9a-f]+ <.*>:$/ { fn = ""; if (match($0, /zv_pt::(split3_u8|split3_f32|normalize3_f32)_neon/)) fn = substr($0, RSTART + 7, RLENGTH - 7) }
  fn != "" && /^ +[0-9a-f]+:/ {
    op = $2; n[fn, op]++
    if (op == "ld3" && $0 ~ /\.(16b|4s)-/) n[fn, "ld3q"]++
    if (op == "str" && $3 ~ /^q/ || op == "st1" && $0 ~ /\.(16b|4s)\}/ || op == "stp" && $3 ~ /^q/) n[fn, "store16"]++
  }
  END {
    for (k = 1; k <= 2; ++k) {
      f = k == 1 ? "split3_u8_neon" : "split3_f32_neon"
      printf "%-20s ld3 of 16-byte registers %d, 16-byte stores %d\n", f ":", n[f, "ld3q"], n[f, "store16"]
    }
    f = "normalize3_f32_neon"
    printf "%-20s fsub %d, fdiv %d, fmla %d, fmls %d, frecpe %d, frecps %d\n",
      f ":", n[f, "fsub"], n[f, "fdiv"], n[f, "fmla"], n[f, "fmls"], n[f, "frecpe"], n[f, "frecps"]
  }'
