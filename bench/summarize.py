"""Markdown summary of zv_pt benchmark results (Google Benchmark JSON).

usage: summarize.py RESULT.json...

Benchmarks are named kernel/size/threads:N/variant; a size is WxH, or
WxH_to_WxH for a resize.  Per kernel, one table with a row per size and thread
count: ms per call and GB/s (read plus written) of zv_pt, memcpy of the
source bytes, the variants of the internal kernel table (c, ssse3, avx2,
avx512, avx512icl, neon) and every peer, then zv_pt against memcpy (time
ratio) and against the fastest peer (its time over zv_pt's).  Then the single-thread targets, each marked as
holding or missed.
"""
import json
import re
import sys
from collections import defaultdict

CONVERSIONS = ("permute_u8", "permute_f32")
NORMALIZE = "normalize"
LARGE = ("1920x1080", "3840x2160")
SMALL = "224x224"
OWN = ("zv_pt", "memcpy", "c", "ssse3", "avx2", "avx512", "avx512icl", "neon")
VECTOR_LEVELS = ("ssse3", "avx2", "avx512", "avx512icl", "neon")


def load(paths):
    """{(kernel, size, threads): {variant: (ms, GB/s)}}, kernel order, context."""
    results = defaultdict(dict)
    kernels = []
    context = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context.update(data.get("context", {}))
        for b in data["benchmarks"]:
            # With repetitions, take the median; without, the single run.
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            if b.get("run_type") == "iteration" and b.get("repetitions", 1) > 1:
                continue
            kernel, size, threads, variant = b["run_name"].split("/")[:4]
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            results[(kernel, size, threads.split(":")[1])][variant] = (
                b["real_time"] * scale, b.get("bytes_rw", 0.0) / 1e9)
            if kernel not in kernels:
                kernels.append(kernel)
    return results, kernels, context


def size_key(size):
    return [int(w) * int(h) for w, h in re.findall(r"(\d+)x(\d+)", size)]


def duration(ms):
    return f"{ms * 1e3:.1f} us" if ms < 1 else f"{ms:.2f} ms"


def fastest_peer(row):
    peers = {v: t for v, (t, _) in row.items() if v not in OWN}
    if not peers:
        return None
    return min(peers, key=peers.get)


def table(kernel, results):
    keys = sorted((k for k in results if k[0] == kernel), key=lambda k: (size_key(k[1]), int(k[2])))
    variants = []
    for k in keys:
        for v in results[k]:
            if v not in variants:
                variants.append(v)
    variants.sort(key=lambda v: (v not in OWN, OWN.index(v) if v in OWN else 0))
    lines = ["| size | threads | " + " | ".join(variants) + " | zv_pt/memcpy | zv_pt vs fastest peer |",
             "|---|---:|" + "---:|" * len(variants) + "---:|---|"]
    for k in keys:
        row = results[k]
        cells = [f"{duration(row[v][0])}, {row[v][1]:.1f} GB/s" if v in row else "" for v in variants]
        ratio = f"{row['memcpy'][0] / row['zv_pt'][0]:.2f}" if "zv_pt" in row and "memcpy" in row else ""
        peer = fastest_peer(row)
        versus = f"{row[peer][0] / row['zv_pt'][0]:.2f}x ({peer})" if peer and "zv_pt" in row else ""
        lines.append(f"| {k[1]} | {k[2]} | " + " | ".join(cells) + f" | {ratio} | {versus} |")
    return "\n".join(lines)


def targets(results):
    """(holds, text) for every single-thread target that has its measurements."""
    out = []

    def check(kernel, size, test):
        row = results.get((kernel, size, "1"))
        if row and "zv_pt" in row and "memcpy" in row:
            out.append(test(row, f"{kernel} {size}"))

    for kernel in CONVERSIONS:
        for size in LARGE:
            check(kernel, size, lambda r, what: (
                r["memcpy"][0] / r["zv_pt"][0] >= 0.90,
                f"{what}: {r['memcpy'][0] / r['zv_pt'][0]:.2f} of memcpy's GB/s (>= 0.90)"))
            check(kernel, size, lambda r, what: (
                r[fastest_peer(r)][0] >= r["zv_pt"][0],
                f"{what}: {r[fastest_peer(r)][0] / r['zv_pt'][0]:.2f}x the speed of the fastest peer, "
                f"{fastest_peer(r)} (>= 1)"))
    for size in LARGE:
        check(NORMALIZE, size, lambda r, what: (
            r["memcpy"][0] >= r["zv_pt"][0],
            f"{what}: {r['memcpy'][0] / r['zv_pt'][0]:.2f} of memcpy's GB/s (>= 1)"))
        check(NORMALIZE, size, lambda r, what: (
            r["opencv_subtract_divide"][0] >= 5 * r["zv_pt"][0],
            f"{what}: {r['opencv_subtract_divide'][0] / r['zv_pt'][0]:.1f}x faster than OpenCV "
            "subtract+divide (>= 5)"))
    for kernel in CONVERSIONS + (NORMALIZE,):
        check(kernel, SMALL, lambda r, what: (
            r["zv_pt"][0] <= 1.5 * r["memcpy"][0] + 0.002,
            f"{what}: {r['zv_pt'][0] * 1e3:.1f} us per call, limit 1.5 x memcpy "
            f"{r['memcpy'][0] * 1e3:.1f} us + 2 us = {(1.5 * r['memcpy'][0] + 0.002) * 1e3:.1f} us"))
    # Every vector level of the internal table against the plain loop over
    # the same tap tables (resampling).
    for (kernel, size, threads), row in sorted(results.items()):
        if threads != "1" or "plain_loop" not in row:
            continue
        for level in (v for v in VECTOR_LEVELS if v in row):
            ratio = row["plain_loop"][0] / row[level][0]
            out.append((ratio >= 5, f"{kernel} {size} {level}: {ratio:.1f}x faster than the plain loop (>= 5)"))
    return out


def main(paths):
    results, kernels, context = load(paths)
    print(f"zv_pt kernels: {context.get('zv_pt_isa', '?')}; {context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz; load average before the run: "
          f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}")
    for key in sorted(k for k in context if k.startswith("check:")):
        print(f"- {key[len('check:'):]}: {context[key]}")
    for kernel in kernels:
        print(f"\n### {kernel}\n")
        print(table(kernel, results))
    checks = targets(results)
    if checks:
        print("\n### Targets (1 thread)\n")
        for holds, text in checks:
            print(f"- {'holds' if holds else 'MISSED'}: {text}")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
