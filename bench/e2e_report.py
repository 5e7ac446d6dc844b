"""Tables, targets and the chart of an end-to-end run (bench/e2e_bench.py).

usage: e2e_report.py E2E.json DOCS_DIR      (run with /usr/bin/python3)

Writes DOCS_DIR/e2e.md and DOCS_DIR/e2e.png and returns (prints) the markdown.
"""
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

CORPUS_TITLES = {"frames": "1920x1080 frames", "imagenet": "ImageNet-sized JPEGs"}
TASK_TITLES = {"resize": "Resize((224, 224))", "crop": "Resize(256) + CenterCrop(224)",
               "fast": "Resize((224, 224)), --fast-decode"}
# (corpus, task, zv-prep pipeline, peer's task, peer, least ratio)
TARGETS = [("frames", "resize", "zv-prep", "resize", "torchvision", 4.5),
           ("frames", "resize", "zv-prep", "resize", "dataloader", 2.7),
           ("imagenet", "resize", "zv-prep", "resize", "torchvision", 3.5),
           ("imagenet", "resize", "zv-prep", "resize", "dataloader", 2.2),
           ("frames", "crop", "zv-prep", "crop", "torchvision", 7.0),
           ("frames", "fast", "zv-prep", "resize", "torchvision", 7.0)]
JOBS_TARGET = 1.8


def rate(results, corpus, task, name=None, peer=None):
    """(images/s, name) of the pipeline called `name`, or of the first with that peer."""
    for r in results["runs"]:
        if (r["corpus"], r["task"]) == (corpus, task) and (r["name"] == name if peer is None else r["peer"] == peer):
            return r["images_per_second"], r["name"]
    return None, None


def groups(results):
    seen = []
    for r in results["runs"]:
        if (r["corpus"], r["task"]) not in seen:
            seen.append((r["corpus"], r["task"]))
    return seen


def summary(results):
    """One line per corpus and task: images/s of every pipeline, zv-prep's speed-up over each peer."""
    peers = [("zv-prep --jobs 1", None), ("torchvision + Pillow, one process", "torchvision"),
             (f"DataLoader, {results['cores']} workers", "dataloader"),
             (f"OpenCV INTER_AREA, {results['cores']} threads", "opencv"), ("Pillow draft + torchvision", "draft")]
    lines = ["| images/s (zv-prep's speed-up) | zv-prep | " + " | ".join(p for p, _ in peers) + " |",
             "|---|---:|" + "---:|" * len(peers)]
    for corpus, task in groups(results):
        zv, _ = rate(results, corpus, task, "zv-prep")
        cells = []
        for name, peer in peers:
            theirs, _ = rate(results, corpus, task, name if peer is None else None, peer)
            cells.append("" if theirs is None else f"{theirs:.0f} ({zv / theirs:.1f}x)")
        lines.append(f"| {CORPUS_TITLES[corpus]}, {TASK_TITLES[task]} | {zv:.0f} | " + " | ".join(cells) + " |")
    return lines


def quiet(results):
    shares = sorted(q for r in results["runs"] for q in r.get("idle_before", []))
    if not shares:
        return ""
    return (f"The machine is shared: each timed run waited until the cores were 90% idle; the idle share seen "
            f"before the runs was {shares[len(shares) // 2]:.0%} at the median, {shares[0]:.0%} at the least.")


def tables(results):
    lines = [f"Measured on {results['processor']} ({results['cores']} cores), best of {results['rounds']} "
             f"rounds taken in turns; {results['corpora']['frames']} frames, {results['corpora']['imagenet']} "
             "ImageNet-sized files; JPEG files to float32 .npy files.  "
             + ", ".join(f"{k} {v}" for k, v in results["versions"].items()) + ".  "
             + quiet(results), ""]
    lines += summary(results) + [""]
    for corpus, task in groups(results):
        zv, _ = rate(results, corpus, task, "zv-prep")
        lines += [f"**{CORPUS_TITLES[corpus]}, {TASK_TITLES[task]}**", "",
                  "| pipeline | images/s | zv-prep's speed-up |", "|---|---:|---:|"]
        for r in results["runs"]:
            if (r["corpus"], r["task"]) == (corpus, task):
                lines.append(f"| {r['name']} | {r['images_per_second']:.0f} | {zv / r['images_per_second']:.2f}x |")
        lines.append("")
    lines += ["**Targets** (zv-prep with its default job count)", "",
              "| corpus | zv-prep | against | ratio | target | |", "|---|---|---|---:|---:|---|"]
    for corpus, task, name, peer_task, peer, least in TARGETS:
        zv, _ = rate(results, corpus, task, name)
        theirs, peer_name = rate(results, corpus, peer_task, peer=peer)
        if zv is None or theirs is None:
            continue
        ratio = zv / theirs
        lines.append(f"| {CORPUS_TITLES[corpus]} | {TASK_TITLES[task]} | {peer_name} | {ratio:.2f}x | "
                     f">= {least}x | {'met' if ratio >= least else 'missed'} |")
    for corpus, task in groups(results):
        zv, _ = rate(results, corpus, task, "zv-prep")
        one, _ = rate(results, corpus, task, "zv-prep --jobs 1")
        ratio = zv / one
        lines.append(f"| {CORPUS_TITLES[corpus]} | {TASK_TITLES[task]} | zv-prep --jobs 1 | {ratio:.2f}x | "
                     f">= {JOBS_TARGET}x | {'met' if ratio >= JOBS_TARGET else 'missed'} |")
    lines += ["", "**A frame's time in zv-prep, per stage** (one worker; ms per image, share of the total)", ""]
    floors = results["decode_floors_ms"]
    profile = results["profile"]
    stages = list(next(iter(profile.values())))
    lines += ["| stage | " + " | ".join(TASK_TITLES[t] for t in profile) + " |",
              "|---|" + "---:|" * len(profile)]
    totals = {t: sum(p.values()) for t, p in profile.items()}
    for stage in stages:
        lines.append(f"| {stage} | " + " | ".join(f"{p[stage]:.2f} ({100 * p[stage] / totals[t]:.0f}%)"
                                                   for t, p in profile.items()) + " |")
    lines.append("| total | " + " | ".join(f"{totals[t]:.2f}" for t in profile) + " |")
    lines += ["", f"Decoding one frame with Pillow (the same libjpeg-turbo), one process: full size "
              f"{floors['1']:.2f} ms, half size {floors['2']:.2f} ms, quarter size {floors['4']:.2f} ms; the "
              "quarter-size decode is about the entropy decoding alone, which every pipeline pays for every "
              "line it decodes.", ""]
    if "two_process_scaling" in results:
        lines += [f"What the two cores give two programs at once, for comparison with --jobs 2 against --jobs 1: "
                  f"two independent Pillow processes decoding the frames got {results['two_process_scaling']:.2f}x "
                  "the work of one (median round).", ""]
    for key, figures in results["checks"].items():
        corpus, task = key.split("/")
        if task == "fast":
            lines.append(f"- {CORPUS_TITLES[corpus]}, --fast-decode against the exact tensors: mean "
                         f"{figures['fast_mean_levels']:.3f}, largest {figures['fast_max_levels']:.1f} grey levels "
                         f"(Pillow's draft mode against the same: mean {figures['draft_mean_levels']:.3f}, "
                         f"largest {figures['draft_max_levels']:.1f}).")
        else:
            lines.append(f"- {CORPUS_TITLES[corpus]}, {TASK_TITLES[task]}: zv-prep within "
                         f"{figures['torchvision_max']:.4f} of torchvision (allowed {0.02}); OpenCV's INTER_AREA "
                         f"differs from it by {figures['opencv_mean_levels']:.2f} grey levels on average.")
    return "\n".join(lines) + "\n"


def chart(results, path):
    runs = results["runs"]
    labels = [f"{CORPUS_TITLES[r['corpus']]}, {TASK_TITLES[r['task']]}: {r['name']}" for r in runs]
    values = [r["images_per_second"] for r in runs]
    colours = ["tab:blue" if r["name"].startswith("zv-prep") else "tab:gray" for r in runs]
    fig, ax = plt.subplots(figsize=(10, 0.32 * len(runs) + 1.2))
    y = list(range(len(runs)))[::-1]
    ax.barh(y, values, color=colours)
    for yi, v in zip(y, values):
        ax.text(v, yi, f" {v:.0f}", va="center", fontsize=8)
    ax.set_yticks(y)
    ax.set_yticklabels(labels, fontsize=8)
    ax.set_xlabel("images per second (JPEG file to normalised float32 .npy)")
    ax.set_title(f"End to end on {results['processor']}, {results['cores']} cores", fontsize=10)
    ax.set_xlim(0, max(values) * 1.12)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(results, docs):
    text = tables(results)
    with open(os.path.join(docs, "e2e.md"), "w") as f:
        f.write(text)
    chart(results, os.path.join(docs, "e2e.png"))
    return text


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    print(write(json.load(open(sys.argv[1])), sys.argv[2]))
