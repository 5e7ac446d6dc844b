"""Charts and a table from the benchmark results of tools/bench-report.sh.

usage: plot_report.py RESULTS_DIR OUT_DIR      (run with /usr/bin/python3)

RESULTS_DIR holds zv_pt_bench_image.json, zv_pt_bench_resample.json and
zv_pt_bench_pipeline.json (Google Benchmark) and torchvision.json
(pipeline_torchvision.py); a missing file leaves its part out.  Writes
OUT_DIR/kernels.png (throughput of each kernel beside memcpy and the peers,
one thread), OUT_DIR/pipeline.png (images per second of the whole preparation
against the source size) and OUT_DIR/pipeline.md (the 1920x1080 -> 224x224
numbers, the ratios and whether the targets hold), and prints the table;
with RESULTS_DIR/resize_sweep.json (resample_peers.py), also
OUT_DIR/resize_sweep.png (the speed-up over Pillow and torch per shape and
filter, each target marked) and OUT_DIR/resize_sweep.md (its tables).
"""
import glob
import json
import os
import re
import statistics
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import ticker  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import summarize  # noqa: E402

FRAME = "1920x1080_to_224x224"
IMAGE_KERNELS = ("permute_u8", "permute_f32", "normalize")
RESAMPLE_KERNELS = ("hpass_u8", "vpass_u8", "resize_bilinear_u8", "resize_bicubic_u8",
                    "hpass_f32", "vpass_f32", "resize_bilinear_f32", "resize_bicubic_f32")
RESAMPLE_VARIANTS = ("zv_pt", "memcpy", "plain_loop", "opencv_area", "opencv_linear")
# (label, kernel, variant) of the pipeline benchmark; torchvision's come from its own file.
PIPELINES = [("zv-prep bilinear", "pipeline_bilinear", "zv_pt"),
             ("zv-prep bicubic", "pipeline_bicubic", "zv_pt"),
             ("OpenCV pipeline (INTER_AREA)", "pipeline_bilinear", "opencv_area"),
             ("OpenCV pipeline (INTER_LINEAR, no antialiasing)", "pipeline_bilinear", "opencv_linear"),
             ("memcpy of the source image", "pipeline_bilinear", "memcpy")]
TORCHVISION = {"bilinear": "torchvision + Pillow bilinear", "bicubic": "torchvision + Pillow bicubic"}
# (ours, theirs, target speed-up or None): the comparisons of the table.
COMPARISONS = [("zv-prep bilinear", "OpenCV pipeline (INTER_AREA)", 2.0),
               ("zv-prep bilinear", "torchvision + Pillow bilinear", 5.0),
               ("zv-prep bicubic", "torchvision + Pillow bicubic", 5.0),
               ("zv-prep bicubic", "OpenCV pipeline (INTER_AREA)", None),
               ("zv-prep bilinear", "OpenCV pipeline (INTER_LINEAR, no antialiasing)", None)]
STYLE = {"zv_pt": dict(color="tab:blue", marker="o", linewidth=2.2),
         "memcpy": dict(color="0.45", marker="s", linestyle=":"),
         "opencv_split": dict(color="tab:green", marker="^"),
         "opencv_subtract_divide": dict(color="tab:green", marker="^"),
         "opencv_area": dict(color="tab:green", marker="^"),
         "opencv_linear": dict(color="tab:olive", marker="v", linestyle="--"),
         "libyuv": dict(color="tab:purple", marker="D"),
         "plain_loop": dict(color="tab:red", marker="x"),
         "zv-prep bilinear": dict(color="tab:blue", marker="o", linewidth=2.2),
         "zv-prep bicubic": dict(color="tab:cyan", marker="o", linewidth=2.2),
         "OpenCV pipeline (INTER_AREA)": dict(color="tab:green", marker="^"),
         "OpenCV pipeline (INTER_LINEAR, no antialiasing)": dict(color="tab:olive", marker="v", linestyle="--"),
         "torchvision + Pillow bilinear": dict(color="tab:orange", marker="s"),
         "torchvision + Pillow bicubic": dict(color="tab:brown", marker="s"),
         "memcpy of the source image": dict(color="0.45", marker="s", linestyle=":")}


def rounds(results_dir, stem):
    """The files STEM.json or STEM.<round>.json of RESULTS_DIR, in order."""
    return sorted(glob.glob(os.path.join(results_dir, f"{stem}.json")) +
                  glob.glob(os.path.join(results_dir, f"{stem}.[0-9]*.json")))


def load_benchmarks(results_dir, stem):
    """({(kernel, size, threads): {variant: (ms, GB/s)}}, context, load averages) of a program's
    rounds, each number the median over the rounds (summarize.load takes each round's median)."""
    samples = defaultdict(lambda: defaultdict(list))
    context, loads = {}, []
    for path in rounds(results_dir, stem):
        results, _, round_context = summarize.load([path])
        context = context or round_context
        loads.append(round_context.get("load_avg", [float("nan")])[0])
        for key, row in results.items():
            for variant, value in row.items():
                samples[key][variant].append(value)
    merged = {key: {variant: tuple(statistics.median(x) for x in zip(*values)) for variant, values in row.items()}
              for key, row in samples.items()}
    return merged, context, loads


def stage_counters(results_dir):
    """{kernel: {stage: ms}} of zv-prep's stages at the frame size, median over repetitions and rounds."""
    samples = defaultdict(lambda: defaultdict(list))
    for path in rounds(results_dir, "zv_pt_bench_pipeline"):
        with open(path) as f:
            for b in json.load(f)["benchmarks"]:
                kernel, size, _, variant = b["run_name"].split("/")[:4]
                if size == FRAME and variant == "zv_pt" and b.get("aggregate_name", "median") == "median":
                    for counter, ms in b.items():
                        if counter.endswith("_ms"):
                            samples[kernel][counter[:-3]].append(ms)
    return {kernel: {stage: statistics.median(v) for stage, v in row.items()} for kernel, row in samples.items()}


def load_torchvision(results_dir):
    """pipeline_torchvision.py's report, seconds the median over the rounds."""
    reports = []
    for path in rounds(results_dir, "torchvision"):
        with open(path) as f:
            reports.append(json.load(f))
    if not reports:
        return {}
    seconds = defaultdict(list)
    for report in reports:
        for r in report["results"]:
            seconds[(r["source"], r["filter"])].append(r["seconds"])
    merged = dict(reports[0])
    merged["results"] = [{"source": source, "filter": filt, "seconds": statistics.median(s)}
                         for (source, filt), s in seconds.items()]
    merged["rounds"] = len(reports)
    return merged


def megapixels(size):
    w, h = map(int, re.match(r"(\d+)x(\d+)", size).groups())
    return w * h / 1e6


def log_y(ax, label):
    """A log y axis labelled at 1, 2 and 5 of each decade in plain numbers."""
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1, 2, 5)))
    ax.yaxis.set_major_formatter(ticker.FormatStrFormatter("%g"))
    ax.yaxis.set_minor_formatter(ticker.NullFormatter())
    ax.set_ylabel(label)


def log_size_axis(ax, sizes, label):
    ax.set_xscale("log")
    ax.set_xticks([megapixels(s) for s in sizes])
    ax.set_xticklabels([s.split("_")[0] for s in sizes], rotation=30, ha="right")
    ax.minorticks_off()
    ax.set_xlabel(label)
    ax.grid(True, which="both", alpha=0.3)


def plot_image_kernel(ax, kernel, results):
    rows = {size: row for (k, size, threads), row in results.items() if k == kernel and threads == "1"}
    sizes = sorted(rows, key=megapixels)
    variants = [v for v in STYLE if any(v in row for row in rows.values())]
    for v in variants:
        points = [(megapixels(s), rows[s][v][1]) for s in sizes if v in rows[s]]
        ax.plot(*zip(*points), label=v, **STYLE[v])
    log_y(ax, "GB/s (bytes read + written)")
    ax.set_title(kernel)
    log_size_axis(ax, sizes, "image size (3 channels)")
    ax.legend(fontsize=8, loc="best")


def plot_resample(ax, geometry, results):
    kernels = [k for k in RESAMPLE_KERNELS if (k, geometry, "1") in results]
    width = 0.8 / len(RESAMPLE_VARIANTS)
    for i, v in enumerate(RESAMPLE_VARIANTS):
        xs = [x + (i - (len(RESAMPLE_VARIANTS) - 1) / 2) * width for x, k in enumerate(kernels)
              if v in results[(k, geometry, "1")]]
        ys = [results[(k, geometry, "1")][v][1] for k in kernels if v in results[(k, geometry, "1")]]
        if xs:
            ax.bar(xs, ys, width, label=v, color=STYLE[v]["color"])
    ax.set_xticks(range(len(kernels)))
    ax.set_xticklabels(kernels, rotation=30, ha="right")
    log_y(ax, "GB/s (bytes read + written)")
    # Room above the tallest bars for the legend.
    ax.set_ylim(top=ax.get_ylim()[1] * 5)
    ax.set_title(f"resampling {geometry.replace('_to_', ' → ')}")
    ax.grid(True, axis="y", alpha=0.3)
    ax.legend(fontsize=8, ncol=len(RESAMPLE_VARIANTS), loc="upper center")


def kernels_chart(image, resample, isa, path):
    geometries = sorted({size for (k, size, _) in resample if k in RESAMPLE_KERNELS}, key=megapixels)
    if not image and not geometries:
        return False
    fig = plt.figure(figsize=(16, 11), layout="constrained")
    grid = fig.add_gridspec(2, 6)
    for i, kernel in enumerate(IMAGE_KERNELS):
        if any(k == kernel for k, _, _ in image):
            plot_image_kernel(fig.add_subplot(grid[0, 2 * i:2 * i + 2]), kernel, image)
    for i, geometry in enumerate(geometries[:2]):
        plot_resample(fig.add_subplot(grid[1, 3 * i:3 * i + 3]), geometry, resample)
    fig.suptitle(f"zv_pt kernels against memcpy and peers, 1 thread (kernels: {isa})")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def pipeline_series(pipeline, torchvision):
    """{label: {source size: seconds per image}}."""
    series = {}
    for label, kernel, variant in PIPELINES:
        for (k, size, threads), row in pipeline.items():
            if k == kernel and threads == "1" and variant in row:
                series.setdefault(label, {})[size.split("_")[0]] = row[variant][0] / 1e3
    for r in torchvision.get("results", []):
        series.setdefault(TORCHVISION[r["filter"]], {})[r["source"]] = r["seconds"]
    return series


def pipeline_chart(series, path):
    fig, (rate, ratio) = plt.subplots(1, 2, figsize=(15, 6.5), layout="constrained")
    sizes = sorted({s for points in series.values() for s in points}, key=megapixels)
    for label, points in series.items():
        xs = sorted(points, key=megapixels)
        rate.plot([megapixels(s) for s in xs], [1 / points[s] for s in xs], label=label, **STYLE[label])
    log_y(rate, "images per second (1 thread)")
    rate.set_title("RGB image → normalised 3x224x224 float tensor")
    log_size_axis(rate, sizes, "source image size")
    rate.legend(fontsize=9)
    for ours, theirs, target in COMPARISONS:
        # The non-antialiased OpenCV pipeline only reads 2x2 pixels per output: table only.
        if ours not in series or theirs not in series or "INTER_LINEAR" in theirs:
            continue
        xs = sorted(set(series[ours]) & set(series[theirs]), key=megapixels)
        ratio.plot([megapixels(s) for s in xs], [series[theirs][s] / series[ours][s] for s in xs],
                   label=f"{ours} vs {theirs}", color=STYLE[theirs]["color"], marker="o",
                   linestyle="-" if "bilinear" in ours else "--")
    for target, color, against in ((2.0, "tab:green", "OpenCV"), (5.0, "tab:orange", "torchvision")):
        ratio.axhline(target, color=color, linewidth=1, linestyle=":")
        ratio.text(0.01, target, f" target vs {against}: {target:g}x", color=color, fontsize=8, va="bottom",
                   transform=ratio.get_yaxis_transform())
    log_y(ratio, "zv-prep's speed-up (their time / ours)")
    ratio.set_ylim(1, ratio.get_ylim()[1] * 1.5)
    ratio.set_title("speed-up of zv-prep (same source, 1 thread)")
    log_size_axis(ratio, sizes, "source image size")
    ratio.legend(fontsize=8, loc="lower right")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def frame_table(series, stages, context, torchvision):
    """The markdown of pipeline.md and the verdict lines."""
    frame = FRAME.split("_")[0]
    at_frame = {label: points[frame] for label, points in series.items() if frame in points}
    fastest = at_frame.get("zv-prep bilinear")
    versions = ", ".join(f"{k} {v}" for k, v in torchvision.get("context", {}).items()
                         if k in ("torch", "torchvision", "pillow"))
    loads = ", ".join(f"{x:.2f}" for x in context.get("load_averages", []))
    lines = ["# Whole preparation, 1920x1080 → 3x224x224, one thread", "",
             "Generated by `tools/bench-report.sh`: decoded 8-bit RGB image → resize → planar → "
             "scale to [0, 1] → normalise (ImageNet mean and std); decoding is not timed. "
             f"zv_pt kernels: {context.get('zv_pt_isa', '?')}; {context.get('num_cpus', '?')} CPUs at "
             f"{context.get('mhz_per_cpu', '?')} MHz; started {context.get('date', '?')}. "
             "The C++ pipelines (`zv_pt_bench_pipeline`, median of 5 Google Benchmark repetitions) and "
             f"torchvision (`bench/pipeline_torchvision.py`, median of round-robin calls; {versions}) ran "
             f"alternately in {torchvision.get('rounds', 1)} rounds, so that a change in the shared machine's "
             "load reaches both; each number is the median over the rounds. One-minute load average at "
             f"the start of each round: {loads}.",
             "", "| pipeline | ms per image | images/s | zv-prep bilinear's speed-up |",
             "|---|---:|---:|---:|"]
    for label, seconds in sorted(at_frame.items(), key=lambda item: item[1]):
        speed_up = f"{seconds / fastest:.1f}x" if fastest else ""
        lines.append(f"| {label} | {seconds * 1e3:.2f} | {1 / seconds:.0f} | {speed_up} |")
    lines += ["", "| comparison | speed-up | target |", "|---|---:|---|"]
    verdicts = []
    for ours, theirs, target in COMPARISONS:
        if ours in at_frame and theirs in at_frame:
            speed_up = at_frame[theirs] / at_frame[ours]
            mark = ""
            if target is not None:
                mark = f"{'holds' if speed_up >= target else 'MISSED'} (>= {target:g}x)"
                verdicts.append(f"- {mark.split()[0]}: {ours} is {speed_up:.1f}x faster than {theirs} "
                                f"(>= {target:g}x)")
            lines.append(f"| {ours} vs {theirs} | {speed_up:.1f}x | {mark} |")
    if stages:
        lines += ["", "zv-prep's stages (ms per image):", "",
                  "| filter | resize | to planar | scale to [0, 1] | normalise |", "|---|---:|---:|---:|---:|"]
        for kernel, s in sorted(stages.items(), key=lambda item: item[0] != "pipeline_bilinear"):
            lines.append(f"| {kernel.split('_')[1]} | " + " | ".join(
                f"{s.get(k, float('nan')):.3f}" for k in ("resize", "planar", "scale", "normalise")) + " |")
    sizes = sorted({s for points in series.values() for s in points}, key=megapixels)
    labels = [label for label in STYLE if label in series]
    lines += ["", "Images per second at every source size:", "",
              "| source | " + " | ".join(labels) + " |", "|---|" + "---:|" * len(labels)]
    for size in sizes:
        lines.append(f"| {size} | " + " | ".join(
            f"{1 / series[label][size]:.0f}" if size in series[label] else "" for label in labels) + " |")
    checks = [f"- {key[len('check:'):]}: {value}" for key, value in sorted(context.items())
              if key.startswith("check:")]
    if "check" in torchvision:
        c = torchvision["check"]
        checks.append(f"- torchvision bilinear tensor of the frame against zv-prep's: largest difference "
                      f"{c['max_abs']:.3g}, mean {c['mean_abs']:.3g} (tensor units; one 8-bit level is "
                      f"about 0.017)")
    if checks:
        lines += ["", "Checks before timing (the pipelines compute the same tensor up to their filters):", ""]
        lines += checks
    if verdicts:
        lines += ["", "Targets:", ""] + verdicts
    lines += ["", "![images per second](pipeline.png)", "", "![kernels](kernels.png)", ""]
    return "\n".join(lines), verdicts


# The resize sweep (resample_peers.py): the ratio of each shape and filter.
SWEEP_SERIES = [("u8 bilinear", "Pillow bilinear", "8-bit bilinear vs Pillow", "tab:blue", 0),
                ("u8 bicubic", "Pillow bicubic", "8-bit bicubic vs Pillow", "tab:cyan", 1),
                ("f32 bilinear", "torch bilinear", "float bilinear vs torch", "tab:orange", None),
                ("f32 bicubic", "torch bicubic", "float bicubic vs torch", "tab:brown", None)]


def sweep_chart(sweep, path):
    """Bars of zv_pt's speed-up over the peer per shape and filter, with each target marked."""
    results = sweep["results"]
    names = ["{}x{}\n-> {}x{}".format(*r["shape"]) for r in results]
    fig, ax = plt.subplots(figsize=(16, 6.5), layout="constrained")
    width = 0.8 / len(SWEEP_SERIES)
    for k, (ours, peer, label, color, target_index) in enumerate(SWEEP_SERIES):
        xs, ys, targets = [], [], []
        for x, r in enumerate(results):
            m = r["median"]
            if ours in m and peer in m:
                xs.append(x + (k - (len(SWEEP_SERIES) - 1) / 2) * width)
                ys.append(m[peer] / m[ours])
                targets.append(r["u8_targets"][target_index] if target_index is not None else 5.0)
        ax.bar(xs, ys, width, label=label, color=color)
        ax.scatter(xs, targets, marker="_", s=200, color="black", zorder=3,
                   label="target" if k == 0 else None)
    ax.set_xticks(range(len(results)))
    ax.set_xticklabels(names, fontsize=9)
    log_y(ax, "speed-up over the peer (its time / ours)")
    ax.axhline(1, color="0.5", linewidth=0.8)
    ax.grid(True, axis="y", alpha=0.3)
    ax.legend(fontsize=9, ncol=5, loc="upper center")
    ax.set_ylim(top=ax.get_ylim()[1] * 3)
    ax.set_title(f"Whole resize, one thread, calls in turns: 8-bit interleaved RGB vs Pillow {sweep.get('pillow')}, "
                 f"planar float vs torch {sweep.get('torch')} ({sweep.get('processor')})")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(results_dir, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    image, image_context, _ = load_benchmarks(results_dir, "zv_pt_bench_image")
    resample, _, _ = load_benchmarks(results_dir, "zv_pt_bench_resample")
    pipeline, context, loads = load_benchmarks(results_dir, "zv_pt_bench_pipeline")
    context["load_averages"] = loads
    torchvision = load_torchvision(results_dir)
    isa = context.get("zv_pt_isa", image_context.get("zv_pt_isa", "?"))
    written = []
    if kernels_chart(image, resample, isa, os.path.join(out_dir, "kernels.png")):
        written.append("kernels.png")
    series = pipeline_series(pipeline, torchvision)
    if series:
        pipeline_chart(series, os.path.join(out_dir, "pipeline.png"))
        table, _ = frame_table(series, stage_counters(results_dir), context, torchvision)
        with open(os.path.join(out_dir, "pipeline.md"), "w") as f:
            f.write(table)
        print(table)
        written += ["pipeline.png", "pipeline.md"]
    sweep_path = os.path.join(results_dir, "resize_sweep.json")
    if os.path.exists(sweep_path):
        with open(sweep_path) as f:
            sweep = json.load(f)
        sweep_chart(sweep, os.path.join(out_dir, "resize_sweep.png"))
        with open(os.path.join(out_dir, "resize_sweep.md"), "w") as f:
            f.write("# The resize sweep\n\nGenerated by `tools/bench-report.sh` (`bench/resample_peers.py`).\n\n")
            f.write(sweep["markdown"])
            f.write("\n![speed-up per shape](resize_sweep.png)\n")
        written += ["resize_sweep.png", "resize_sweep.md"]
    print("\nwritten: " + ", ".join(os.path.join(out_dir, name) for name in written))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
