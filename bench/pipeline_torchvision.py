"""torchvision's standard preparation of a decoded Pillow image, timed.

usage: pipeline_torchvision.py FRAME.jpg OUT.json [--check TENSOR.npy]
       (run with /usr/bin/python3)

Times Compose([Resize((224, 224)), ToTensor(), Normalize(mean, std)]) with
bilinear and bicubic resizing on FRAME.jpg (decoded once, untimed) and on the
same frame resized once to the other source sizes of zv_pt_bench_pipeline.
One torch thread; the calls of one size are timed in rounds, one call of each
filter per round after a warm-up, and the median per call is kept.  Writes
OUT.json and prints a short table.  With --check, the bilinear tensor of the
frame is compared with TENSOR.npy (zv-prep's output for the same file).
"""
import argparse
import json
import platform
import sys

import numpy as np
import PIL
import torch
import torchvision
from PIL import Image
from torchvision import transforms

from resample_peers import time_rounds  # round-robin medians, as for the resize peers

SOURCES = [(640, 480), (1280, 720), (1920, 1080), (3840, 2160)]
OUT = (224, 224)
MEAN = (0.485, 0.456, 0.406)
STD = (0.229, 0.224, 0.225)
FILTERS = {"bilinear": transforms.InterpolationMode.BILINEAR,
           "bicubic": transforms.InterpolationMode.BICUBIC}
# Rounds per source size: about two seconds of calls at each.
ROUNDS = {(640, 480): 150, (1280, 720): 80, (1920, 1080): 50, (3840, 2160): 20}


def preparation(mode):
    return transforms.Compose([transforms.Resize(OUT, interpolation=mode), transforms.ToTensor(),
                               transforms.Normalize(MEAN, STD)])


def sources(path):
    """{(w, h): decoded RGB image}, the frame itself at its own size."""
    frame = Image.open(path).convert("RGB")
    frame.load()
    images = {frame.size: frame}
    resample = getattr(Image, "Resampling", Image)
    for size in SOURCES:
        if size not in images:
            shrink = size[0] * size[1] < frame.size[0] * frame.size[1]
            images[size] = frame.resize(size, resample.BOX if shrink else resample.BILINEAR)
    return images


def check(image, path):
    """Largest and mean absolute difference of the bilinear tensor from zv-prep's."""
    ours = np.load(path)
    theirs = preparation(FILTERS["bilinear"])(image).numpy()
    if ours.shape != theirs.shape:
        sys.exit(f"{path}: shape {ours.shape}, torchvision's is {theirs.shape}")
    difference = np.abs(ours.astype(np.float64) - theirs)
    return {"max_abs": float(difference.max()), "mean_abs": float(difference.mean())}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("frame")
    parser.add_argument("out")
    parser.add_argument("--check", metavar="TENSOR.npy")
    args = parser.parse_args()

    torch.set_num_threads(1)
    images = sources(args.frame)
    results = []
    print("| source | filter | ms per image | images/s |\n|---|---|---:|---:|")
    for size in SOURCES:
        calls = {name: (lambda p=preparation(mode), im=images[size]: p(im)) for name, mode in FILTERS.items()}
        median = time_rounds(calls, ROUNDS[size])
        for name in FILTERS:
            seconds = median[name]
            results.append({"source": f"{size[0]}x{size[1]}", "filter": name, "seconds": seconds,
                            "images_per_second": 1.0 / seconds, "rounds": ROUNDS[size]})
            print(f"| {size[0]}x{size[1]} | {name} | {seconds * 1e3:.2f} | {1.0 / seconds:.0f} |")
    report = {"context": {"frame": args.frame, "threads": torch.get_num_threads(), "torch": torch.__version__,
                          "torchvision": torchvision.__version__, "pillow": PIL.__version__,
                          "python": platform.python_version()},
              "results": results}
    if args.check:
        report["check"] = check(Image.open(args.frame).convert("RGB"), args.check)
        print(f"\nbilinear tensor of the frame against zv-prep's: max abs difference "
              f"{report['check']['max_abs']:.3g}, mean {report['check']['mean_abs']:.3g}")
    with open(args.out, "w") as f:
        json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
