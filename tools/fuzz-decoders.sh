#!/usr/bin/env bash
# Builds the decoder fuzz target (tests/fuzz/decode_fuzzer.cc) with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, and runs it for
# SECONDS on the checked-in seeds and the inputs of its past findings
# (tests/fuzz/found); new inputs it finds go to BUILD_DIR/corpus.
# usage: tools/fuzz-decoders.sh [BUILD_DIR [SECONDS [libFuzzer options...]]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-fuzz}
seconds=${2:-45}
shift $(($# < 2 ? $# : 2))

mkdir -p "$out/corpus"
clang++ -std=c++17 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/tools/zv-prep" "$root/tests/fuzz/decode_fuzzer.cc" "$root/tools/zv-prep/image_io.cc" \
  -ljpeg -lpng -o "$out/decode_fuzzer"
# The target's pixel limit is 2^20: no single allocation of a correct decode
# comes near 64 MB, so one that does was made for a size over the limit.
"$out/decode_fuzzer" -max_total_time="$seconds" -malloc_limit_mb=64 -rss_limit_mb=2048 -timeout=10 \
  -print_final_stats=1 "$@" "$out/corpus" "$root/tests/fuzz/corpus" "$root/tests/fuzz/found"
