"""The zv_pt Python module against torchvision, in one process.

usage: python_module.py BUILD_DIR [--rounds N]

Prints markdown tables:
  1. one 1920x1080 photo to a 3x224x224 tensor: zv_pt.Prepare on the Pillow
     image and on its numpy array, torchvision's Compose on the Pillow image
     (one torch thread), and a copy of the decoded image as the floor;
  2. Prepare.batch over 1 and 2 threads, and one Prepare called from a pool of
     Python threads (the interpreter lock is released while it works);
  3. a DataLoader over decoded photos with zv_pt.Prepare as the transform
     against the same DataLoader with torchvision's transforms, as many
     workers as cores: images per second.
Calls are taken in turns, round after round, and each figure is the median,
so that the shared machine's load reaches every contender alike.
"""
import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--rounds", type=int, default=7)
    return p.parse_args()


ARGS = parse()
sys.path.insert(0, os.path.join(os.path.abspath(ARGS.build), "python"))

import torch  # noqa: E402
import zv_pt  # noqa: E402
from PIL import Image  # noqa: E402
from torchvision import transforms as T  # noqa: E402

IMAGENET = dict(mean=(0.485, 0.456, 0.406), std=(0.229, 0.224, 0.225))


def frame(w=1920, h=1080, seed=0):
    """A camera-sized photo: the sample photo enlarged, with a little noise."""
    with Image.open(os.path.join(ROOT, "data", "rocket.jpg")) as im:
        base = np.asarray(im.convert("RGB").resize((w, h), Image.Resampling.BICUBIC)).astype(np.int16)
    noise = np.random.default_rng(seed).integers(-4, 5, base.shape, dtype=np.int16)
    return Image.fromarray(np.clip(base + noise, 0, 255).astype(np.uint8))


def timed(call, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        call()
    return (time.perf_counter() - start) / repeat


def in_turns(contenders, rounds, repeat):
    """Median seconds per call of each contender, calls taken in turns."""
    times = {name: [] for name in contenders}
    for call in contenders.values():
        call()  # warm: plans, caches, pages
    for _ in range(rounds):
        for name, call in contenders.items():
            times[name].append(timed(call, repeat))
    return {name: statistics.median(t) for name, t in times.items()}


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def single_image(photo, array):
    print("### One 1920x1080 photo to a normalised 3x224x224 tensor, one thread\n")
    rows = []
    for label, words, steps in [
        ("Resize((224, 224))", dict(size=(224, 224)), [T.Resize((224, 224), antialias=True)]),
        ("Resize(256), CenterCrop(224)", dict(resize=256, crop=(224, 224)),
         [T.Resize(256, antialias=True), T.CenterCrop(224)]),
    ]:
        for filt, mode in (("bilinear", T.InterpolationMode.BILINEAR), ("bicubic", T.InterpolationMode.BICUBIC)):
            steps_f = [T.Resize(s.size, interpolation=mode, antialias=True) if isinstance(s, T.Resize) else s
                       for s in steps]
            tv = T.Compose([*steps_f, T.ToTensor(), T.Normalize(**IMAGENET)])
            prep = zv_pt.Prepare(**words, filter=filt)
            error = np.abs(prep(photo) - tv(photo).numpy()).max()
            assert error <= 0.02, f"{label} {filt}: differs from torchvision by {error}"
            copy = np.empty_like(array)
            t = in_turns({
                "copy": lambda: np.copyto(copy, array),
                "tv": lambda: tv(photo),
                "pil": lambda: prep(photo),
                "array": lambda: prep(array),
            }, ARGS.rounds, 5)
            rows.append([f"{label} {filt}", f"{t['copy'] * 1e3:.2f}", f"{t['tv'] * 1e3:.2f}",
                         f"{t['pil'] * 1e3:.2f}", f"{t['array'] * 1e3:.2f}",
                         f"{t['tv'] / t['pil']:.1f}x", f"{t['tv'] / t['array']:.1f}x"])
    table(["pipeline", "copy of the decoded image (ms)", "torchvision on the Pillow image (ms)",
           "zv_pt on the Pillow image (ms)", "zv_pt on the numpy array (ms)",
           "speed-up, Pillow image", "speed-up, numpy array"], rows)


def threads(photos):
    print("### Many photos at once: Prepare.batch and Python threads\n")
    prep = zv_pt.Prepare(size=(224, 224))
    arrays = [np.asarray(p) for p in photos]
    one = prep.batch(arrays, threads=1)
    assert np.array_equal(one, prep.batch(arrays, threads=2))

    def pool_map(workers):
        with ThreadPoolExecutor(workers) as pool:
            return list(pool.map(prep, arrays))

    t = in_turns({
        "b1": lambda: prep.batch(arrays, threads=1),
        "b2": lambda: prep.batch(arrays, threads=2),
        "p1": lambda: pool_map(1),
        "p2": lambda: pool_map(2),
    }, ARGS.rounds, 1)
    n = len(arrays)
    table(["calls", "1 thread (images/s)", "2 threads (images/s)", "2 threads / 1 thread"], [
        [f"Prepare.batch of {n} 1920x1080 arrays", f"{n / t['b1']:.0f}", f"{n / t['b2']:.0f}", f"{t['b1'] / t['b2']:.2f}x"],
        ["one Prepare from a ThreadPoolExecutor", f"{n / t['p1']:.0f}", f"{n / t['p2']:.0f}", f"{t['p1'] / t['p2']:.2f}x"],
    ])


class Photos(torch.utils.data.Dataset):
    def __init__(self, images, transform):
        self.images, self.transform = images, transform

    def __len__(self):
        return len(self.images)

    def __getitem__(self, i):
        out = self.transform(self.images[i])
        return torch.from_numpy(out) if isinstance(out, np.ndarray) else out


def dataloader(photos):
    workers = os.cpu_count()
    print(f"### DataLoader over {len(photos)} decoded 1920x1080 photos, {workers} workers, batches of 16\n")
    images = photos * 4
    transforms = {
        "zv_pt.Prepare(resize=256, crop=(224, 224))": zv_pt.Prepare(resize=256, crop=(224, 224)),
        "Compose([Resize(256), CenterCrop(224), ToTensor(), Normalize])":
            T.Compose([T.Resize(256, antialias=True), T.CenterCrop(224), T.ToTensor(), T.Normalize(**IMAGENET)]),
    }
    loaders = {name: torch.utils.data.DataLoader(Photos(images, tf), batch_size=16, num_workers=workers,
                                                 persistent_workers=True, multiprocessing_context="fork")
               for name, tf in transforms.items()}

    def epoch(loader):
        return lambda: sum(len(b) for b in loader)

    t = in_turns({name: epoch(loader) for name, loader in loaders.items()}, max(3, ARGS.rounds // 2), 1)
    names = list(transforms)
    rows = [[name, f"{len(images) / t[name]:.0f}"] for name in names]
    rows[0].append(f"{t[names[1]] / t[names[0]]:.1f}x")
    rows[1].append("1.0x")
    table(["transform", "images/s", "speed-up"], rows)


def main():
    torch.set_num_threads(1)
    cpu = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    print(f"zv_pt {zv_pt.__version__}, torch {torch.__version__}, {cpu}, {os.cpu_count()} cores, "
          f"median of {ARGS.rounds} rounds\n")
    photo = frame()
    single_image(photo, np.asarray(photo).copy())
    photos = [frame(seed=k) for k in range(16)]
    threads(photos)
    dataloader(photos)


if __name__ == "__main__":
    main()
