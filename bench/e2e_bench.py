"""The whole job, end to end: JPEG files to normalised float32 .npy tensors,
zv-prep against what a user would otherwise run, on all the cores.

usage: e2e_bench.py ZV_PREP WORK_DIR DOCS_DIR [--rounds N]   (run with /usr/bin/python3)

The corpora are made in WORK_DIR/corpora (bench/e2e_corpora.py).  Each
pipeline reads every file of a corpus and writes one .npy per image into a
fresh folder; the time is the wall time of the whole corpus.  The pipelines
take turns within each round, and each keeps its best round, so that the
shared machine's load reaches all alike; each timed run waits (up to 90 s)
until other programs leave the cores 90% idle.  Peers (all decode with the same
libjpeg-turbo through Pillow or OpenCV):
  torchvision    Image.open + convert("RGB") + Compose([...]) + np.save, one process
  DataLoader     the same as a torch Dataset, as many worker processes as
                 cores (persistent, started before the timing)
  OpenCV         cv2.imread + cvtColor + cv2.resize(INTER_AREA) + normalisation
                 in numpy, on a pool of as many threads as cores
  Pillow draft   torchvision's pipeline after Image.draft("RGB", twice the
                 target): shrink-on-load in the DCT, the peer of --fast-decode
zv-prep runs as a program on the corpus folder (its start-up is in its time).

Before any timing the tensors are checked: zv-prep's exact ones against
torchvision's (within 0.02, one grey level after normalisation), and the mean
and largest difference of the fast path from the exact tensors are measured
in grey levels (|difference| * std * 255).  Also measured: zv-prep's time per
stage of a frame (one worker) beside Pillow's decode of the frame at full,
half and quarter size, the quarter one being about the entropy decoding alone,
and (on two cores) what two independent decoding processes get from the cores
against one, beside --jobs 2 against --jobs 1.

Writes WORK_DIR/e2e.json, DOCS_DIR/e2e.md (tables and targets) and
DOCS_DIR/e2e.png (images per second of each pipeline).
"""
import argparse
import concurrent.futures
import glob
import io
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_corpora  # noqa: E402
from resample_peers import processor  # noqa: E402  (lscpu's model name)

import cv2  # noqa: E402
import PIL  # noqa: E402
import torch  # noqa: E402
import torchvision  # noqa: E402
from PIL import Image  # noqa: E402
from torchvision import transforms  # noqa: E402

MEAN = np.array([0.485, 0.456, 0.406], dtype=np.float32)
STD = np.array([0.229, 0.224, 0.225], dtype=np.float32)
CORES = len(os.sched_getaffinity(0))
TOLERANCE = 0.02

# The tasks: what each pipeline computes, in torchvision's words and zv-prep's options.
TASKS = {
    "resize": {"title": "Resize((224, 224))", "zv": ["--size", "224x224"],
               "geometry": [transforms.Resize((224, 224))]},
    "crop": {"title": "Resize(256) + CenterCrop(224)", "zv": ["--resize", "256", "--crop", "224x224"],
             "geometry": [transforms.Resize(256), transforms.CenterCrop(224)]},
    "fast": {"title": "Resize((224, 224)), shrink-on-load", "zv": ["--size", "224x224", "--fast-decode"],
             "geometry": [transforms.Resize((224, 224))], "draft": (448, 448)},
}
# (corpus, task) pairs measured, in the order of the tables.
RUNS = [("frames", "resize"), ("imagenet", "resize"), ("frames", "crop"), ("frames", "fast")]


def torchvision_transform(task):
    return transforms.Compose(TASKS[task]["geometry"] + [transforms.ToTensor(),
                                                         transforms.Normalize(MEAN.tolist(), STD.tolist())])


def open_for(task, path):
    image = Image.open(path)
    if "draft" in TASKS[task]:
        image.draft("RGB", TASKS[task]["draft"])
    return image.convert("RGB")


def npy(out, path):
    return os.path.join(out, os.path.splitext(os.path.basename(path))[0] + ".npy")


# ---- the pipelines: each writes the tensors of `files` into `out` ------------------------------

class ZvPrep:
    def __init__(self, program, task, jobs=None):
        self.program, self.task, self.jobs = program, task, jobs

    def __call__(self, files, folder, out):
        jobs = [] if self.jobs is None else ["--jobs", str(self.jobs)]
        subprocess.run([self.program, "-q", *jobs, *TASKS[self.task]["zv"], "--out", out, folder], check=True)


class Torchvision:
    def __init__(self, task):
        self.task, self.transform = task, torchvision_transform(task)

    def __call__(self, files, folder, out):
        for f in files:
            np.save(npy(out, f), self.transform(open_for(self.task, f)).numpy())


class Files(torch.utils.data.Dataset):
    def __init__(self, files, task):
        self.files, self.task, self.transform = files, task, torchvision_transform(task)

    def __len__(self):
        return len(self.files)

    def __getitem__(self, i):
        return self.transform(open_for(self.task, self.files[i]))


class Loader:
    """A DataLoader over the corpus, its workers started once, before the timing."""

    def __init__(self, task, files):
        self.files = files
        self.loader = torch.utils.data.DataLoader(Files(files, task), batch_size=None, num_workers=CORES,
                                                  persistent_workers=True)
        for _ in self.loader:  # starts the workers
            pass

    def __call__(self, files, folder, out):
        for f, tensor in zip(self.files, self.loader):
            np.save(npy(out, f), tensor.numpy())


class OpenCv:
    def __init__(self, task):
        self.task = task
        cv2.setNumThreads(1)  # the pool's threads are the parallelism

    def one(self, path, out):
        rgb = cv2.cvtColor(cv2.imread(path, cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
        if self.task == "crop":
            h, w = rgb.shape[:2]
            size = (256, int(256 * h / w)) if w <= h else (int(256 * w / h), 256)
            small = cv2.resize(rgb, size, interpolation=cv2.INTER_AREA)
            top, left = int(round((small.shape[0] - 224) / 2)), int(round((small.shape[1] - 224) / 2))
            small = small[top:top + 224, left:left + 224]
        else:
            small = cv2.resize(rgb, (224, 224), interpolation=cv2.INTER_AREA)
        tensor = (small.astype(np.float32) * np.float32(1 / 255) - MEAN) / STD
        np.save(npy(out, path), np.ascontiguousarray(tensor.transpose(2, 0, 1)))

    def __call__(self, files, folder, out):
        with concurrent.futures.ThreadPoolExecutor(CORES) as pool:
            list(pool.map(lambda f: self.one(f, out), files))


def pipelines(program, corpus, task, files):
    """[(name, peer of the targets or None, callable)] for one corpus and task."""
    runs = [("zv-prep", None, ZvPrep(program, task)), ("zv-prep --jobs 1", None, ZvPrep(program, task, 1))]
    if task == "fast":
        return runs + [("Pillow draft + torchvision, one process", "draft", Torchvision(task))]
    runs += [("torchvision + Pillow, one process", "torchvision", Torchvision(task)),
             (f"DataLoader, {CORES} workers", "dataloader", Loader(task, files)),
             (f"OpenCV INTER_AREA, {CORES} threads", "opencv", OpenCv(task))]
    return runs


# ---- checks --------------------------------------------------------------------------------------

def levels(a, b):
    """|a - b| in grey levels, per element."""
    return np.abs(a - b) * (STD * 255)[:, None, None]


def check(program, corpus, task, files, work):
    """Runs zv-prep once and compares its tensors with the reference; returns the figures."""
    folder = os.path.dirname(files[0])
    out = os.path.join(work, "check", corpus + "_" + task)
    shutil.rmtree(out, ignore_errors=True)
    ZvPrep(program, task)(files, folder, out)
    if task == "fast":
        exact = os.path.join(work, "check", corpus + "_resize")
        if not os.path.isdir(exact):
            ZvPrep(program, "resize")(files, folder, exact)
        diff = np.concatenate([levels(np.load(npy(out, f)), np.load(npy(exact, f))).ravel() for f in files])
        draft = np.concatenate([levels(Torchvision("fast").transform(open_for("fast", f)).numpy(),
                                       np.load(npy(exact, f))).ravel() for f in files[:20]])
        return {"fast_mean_levels": float(diff.mean()), "fast_max_levels": float(diff.max()),
                "draft_mean_levels": float(draft.mean()), "draft_max_levels": float(draft.max())}
    transform = torchvision_transform(task)
    worst = max(float(np.abs(np.load(npy(out, f)) - transform(open_for(task, f)).numpy()).max())
                for f in files[:20])
    if worst > TOLERANCE:
        sys.exit(f"zv-prep's {corpus} {task} tensors differ from torchvision's by {worst} (> {TOLERANCE})")
    cv_out = os.path.join(work, "check", corpus + "_" + task + "_opencv")
    os.makedirs(cv_out, exist_ok=True)
    OpenCv(task)(files[:20], folder, cv_out)
    cv_mean = float(np.mean([levels(np.load(npy(cv_out, f)), np.load(npy(out, f))).mean() for f in files[:20]]))
    return {"torchvision_max": worst, "opencv_mean_levels": cv_mean}


# ---- stage profile and decoding floors -----------------------------------------------------------

def stage_profile(program, task, folder, work):
    """zv-prep's per-image time of each stage (one worker), from its summary."""
    out = os.path.join(work, "profile")
    shutil.rmtree(out, ignore_errors=True)
    wait_until_quiet()
    text = subprocess.run([program, "--jobs", "1", *TASKS[task]["zv"], "--out", out, folder],
                          check=True, capture_output=True, text=True).stdout
    stages = {}
    for line in text.splitlines()[2:]:
        name, per_image = line[:18].strip(), line.split()[-2:]
        value, unit = float(per_image[0]), per_image[1]
        stages[name] = value * {"s": 1e3, "ms": 1.0, "us": 1e-3}[unit]
    return stages


def decode_floors(files, rounds):
    """Pillow's best ms per frame decoding at full, half and quarter size (one process)."""
    data = [open(f, "rb").read() for f in files]
    floors = {}
    for scale in (1, 2, 4):
        best = float("inf")
        for _ in range(rounds):
            wait_until_quiet()
            start = time.perf_counter()
            for d in data:
                image = Image.open(io.BytesIO(d))
                if scale > 1:
                    image.draft("RGB", (image.size[0] // scale, image.size[1] // scale))
                image.load()
            best = min(best, (time.perf_counter() - start) / len(data))
        floors[str(scale)] = best * 1e3
    return floors


def decode_all(paths):
    for p in paths:
        Image.open(p).load()


def core_scaling(files, rounds):
    """What the cores give two independent programs: the frames decoded by two
    processes at once (each all of them) against one, as a speed-up (the median
    round)."""
    import multiprocessing
    ratios = []
    context = multiprocessing.get_context("fork")
    for _ in range(rounds):
        wait_until_quiet()
        start = time.perf_counter()
        decode_all(files)
        one = time.perf_counter() - start
        wait_until_quiet()
        processes = [context.Process(target=decode_all, args=(files,)) for _ in range(2)]
        start = time.perf_counter()
        for p in processes:
            p.start()
        for p in processes:
            p.join()
        ratios.append(2 * one / (time.perf_counter() - start))
    return sorted(ratios)[len(ratios) // 2]


# ---- the run -------------------------------------------------------------------------------------

def idle_share(seconds):
    """The share of all cores' time that was idle over the next `seconds`."""
    def sample():
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
        return fields[3] + fields[4], sum(fields)  # idle + iowait, all
    idle0, total0 = sample()
    time.sleep(seconds)
    idle1, total1 = sample()
    return (idle1 - idle0) / max(1, total1 - total0)


def wait_until_quiet(least=0.9, patience=90):
    """Waits (at most `patience` seconds) until other programs leave the cores at
    least `least` idle, so that every timed run starts on a machine as quiet as
    the shared one gets; returns the idle share seen last."""
    deadline = time.monotonic() + patience
    while True:
        share = idle_share(0.5)
        if share >= least or time.monotonic() > deadline:
            return share

def measure(program, work, rounds):
    corpora = os.path.join(work, "corpora")
    e2e_corpora.make(corpora)
    files = {c: sorted(glob.glob(os.path.join(corpora, c, "*.jpg"))) for c in ("imagenet", "frames")}
    results = {"processor": processor(), "cores": CORES, "rounds": rounds,
               "versions": {"torch": torch.__version__, "torchvision": torchvision.__version__,
                            "Pillow": PIL.__version__, "OpenCV": cv2.__version__},
               "corpora": {c: len(f) for c, f in files.items()}, "checks": {}, "runs": []}
    for corpus, task in RUNS:
        results["checks"][f"{corpus}/{task}"] = check(program, corpus, task, files[corpus], work)
    entries = []
    for corpus, task in RUNS:
        for name, peer, run in pipelines(program, corpus, task, files[corpus]):
            entries.append({"corpus": corpus, "task": task, "name": name, "peer": peer, "run": run,
                            "seconds": [], "idle_before": []})
    out = os.path.join(work, "out")
    for r in range(rounds):
        order = entries[r % len(entries):] + entries[:r % len(entries)]
        for e in order:
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            quiet = wait_until_quiet()
            print(f"round {r + 1}/{rounds}: {e['corpus']} {e['task']}: {e['name']} (cores {quiet:.0%} idle "
                  "before) ...", file=sys.stderr)
            e["idle_before"].append(quiet)
            start = time.perf_counter()
            e["run"](files[e["corpus"]], os.path.join(corpora, e["corpus"]), out)
            e["seconds"].append(time.perf_counter() - start)
            if len(os.listdir(out)) != len(files[e["corpus"]]):
                sys.exit(f"{e['name']} wrote {len(os.listdir(out))} of {len(files[e['corpus']])} tensors")
    for e in entries:
        del e["run"]
        e["images_per_second"] = len(files[e["corpus"]]) / min(e["seconds"])
        results["runs"].append(e)
    results["profile"] = {task: stage_profile(program, task, os.path.join(corpora, "frames"), work)
                          for task in ("resize", "crop", "fast")}
    results["decode_floors_ms"] = decode_floors(files["frames"][:30], rounds)
    if CORES == 2:
        results["two_process_scaling"] = core_scaling(files["frames"][:30], rounds)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("zv_prep")
    parser.add_argument("work")
    parser.add_argument("docs")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    results = measure(os.path.abspath(args.zv_prep), args.work, args.rounds)
    with open(os.path.join(args.work, "e2e.json"), "w") as f:
        json.dump(results, f, indent=1)
    import e2e_report
    os.makedirs(args.docs, exist_ok=True)
    print(e2e_report.write(results, args.docs))


if __name__ == "__main__":
    main()
