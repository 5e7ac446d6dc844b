"""Compares zv_pt_resize_cli with PyTorch (float) and Pillow (8-bit).

usage: compare_peers.py PATH_TO_zv_pt_resize_cli
Float results must equal torch.nn.functional.interpolate(antialias=True,
align_corners=False) within 1e-4 of the value range; 8-bit results must equal
Image.resize within one grey level.  Exit code 77 when a peer is missing.

Bicubic 8-bit may differ by two levels in at most one element in 10^4:
Pillow rounds its intermediate image from 22-bit weights, ours are 16-bit, so
an intermediate value just off a rounding boundary can land one level apart,
and the second pass can add two such differences up to a second level.
"""
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    import torch
    import torch.nn.functional as F
    from PIL import Image
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(77)

CLI = sys.argv[1]
RNG = np.random.default_rng(20240607)
FILTERS = {"bilinear": Image.BILINEAR, "bicubic": Image.BICUBIC}

# (in_w, in_h, out_w, out_h): shrinking, enlarging, mixed, odd and 1-pixel sizes.
GEOMETRIES = [
    (64, 48, 16, 12),
    (97, 61, 23, 40),
    (40, 30, 97, 71),
    (33, 80, 120, 9),
    (120, 9, 33, 80),
    (50, 50, 1, 1),
    (3, 5, 1, 17),
    (1, 1, 7, 5),
    (37, 29, 37, 13),
    (211, 7, 64, 7),
    (16, 16, 48, 48),
]


# The shapes of the resize benchmark's sweep: (in_w, in_h, out_w, out_h).
SHAPES = [
    (500, 375, 224, 224),
    (1920, 1080, 224, 224),
    (1920, 1080, 640, 360),
    (1280, 720, 640, 640),
    (640, 480, 1280, 960),
    (3840, 2160, 1920, 1080),
    (4928, 3279, 852, 567),
    (1920, 1080, 1919, 1080),
    (4096, 4096, 4095, 4096),
]


def image(kind, w, h):
    """An h x w x 3 image of values in [0, 255]."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    if kind == "noise":
        return RNG.random((h, w, 3)) * 255.0
    if kind == "gradient":
        planes = [x * 255.0 / max(w - 1, 1), y * 255.0 / max(h - 1, 1), (x + y) * 255.0 / max(w + h - 2, 1)]
        return np.stack(planes, axis=-1)
    # Edges: vertical and horizontal steps and a checkerboard of 3-pixel cells.
    planes = [(x >= w // 2) * 255.0, (y >= h // 3) * 255.0, ((x // 3 + y // 3) % 2) * 255.0]
    return np.stack(planes, axis=-1)


class Cli:
    """Collects resize jobs, then runs them all in one process of the CLI."""

    def __init__(self, work):
        self.work, self.jobs, self.results = work, [], []

    def add(self, src, dtype, layout, filt, out_w, out_h):
        """Queues src (h x w x 3); returns the index of its result."""
        h, w, _ = src.shape
        k = len(self.jobs)
        in_path, out_path = (os.path.join(self.work, f"{k}.{end}") for end in ("in", "out"))
        data = src if layout == "interleaved" else src.transpose(2, 0, 1)
        np.ascontiguousarray(data, dtype=dtype).tofile(in_path)
        words = [in_path, out_path, "u8" if dtype == np.uint8 else "f32", layout, filt, w, h, out_w, out_h]
        self.jobs.append((" ".join(map(str, words)), out_path, dtype, layout, out_w, out_h))
        return k

    def run(self):
        subprocess.run([CLI], input="\n".join(job[0] for job in self.jobs), text=True, check=True)
        for _, out_path, dtype, layout, out_w, out_h in self.jobs:
            out = np.fromfile(out_path, dtype=dtype)
            if layout == "interleaved":
                self.results.append(out.reshape(out_h, out_w, 3))
            else:
                self.results.append(out.reshape(3, out_h, out_w).transpose(1, 2, 0))


def torch_resize(src, filt, out_w, out_h, dtype=np.float32):
    x = torch.from_numpy(np.ascontiguousarray(src.transpose(2, 0, 1), dtype=dtype))[None]
    y = F.interpolate(x, size=(out_h, out_w), mode=filt, antialias=True, align_corners=False)
    return y[0].numpy().transpose(1, 2, 0)


def pillow_resize(src, filt, out_w, out_h):
    return np.asarray(Image.fromarray(src).resize((out_w, out_h), FILTERS[filt]))


class Tally:
    """Failures, and the 8-bit bicubic elements two levels off, over every comparison."""

    def __init__(self):
        self.comparisons, self.failures, self.two_levels, self.bicubic_elements = 0, 0, 0, 0

    def check(self, cli, checks):
        """Runs the queued jobs and compares each result with its reference."""
        cli.run()
        for what, k, reference, tolerance in checks:
            error = np.abs(cli.results[k].astype(reference.dtype) - reference)
            self.comparisons += 1
            if error.max() > tolerance:
                print(what, error.max())
                self.failures += 1
            if tolerance == 2:
                self.two_levels += np.count_nonzero(error == 2)
                self.bicubic_elements += error.size


def small_geometries(cli):
    """Every image kind, filter, layout and type of GEOMETRIES; the checks."""
    checks = []  # (description, result index, reference, tolerance)
    for in_w, in_h, out_w, out_h in GEOMETRIES:
        for kind in ("noise", "gradient", "edges"):
            values = image(kind, in_w, in_h)
            # Float over a range other than 0..255, so that the tolerance scales.
            src_f = (values / 255.0 * 4.0 - 1.5).astype(np.float32)
            src_u8 = np.rint(values).astype(np.uint8)
            for filt in FILTERS:
                torch_refs = [torch_resize(src_f, filt, out_w, out_h, dtype) for dtype in (np.float32, np.float64)]
                pillow_ref = pillow_resize(src_u8, filt, out_w, out_h).astype(int)
                for layout in ("interleaved", "planar"):
                    case = f"{kind} {in_w}x{in_h}->{out_w}x{out_h} {filt} {layout}"
                    k = cli.add(src_f, np.float32, layout, filt, out_w, out_h)
                    for ref in torch_refs:
                        checks.append((f"float {case}: differs from torch {ref.dtype} by", k, ref, 4e-4))
                    k = cli.add(src_u8, np.uint8, layout, filt, out_w, out_h)
                    checks.append((f"8-bit {case}: differs from Pillow by", k, pillow_ref, 1 if filt == "bilinear" else 2))
    return checks


def large_shape(cli, shape):
    """One shape of SHAPES on noise, both filters; the checks."""
    in_w, in_h, out_w, out_h = shape
    values = image("noise", in_w, in_h)
    src_f = (values / 255.0).astype(np.float32)
    src_u8 = np.rint(values).astype(np.uint8)
    del values
    checks = []
    for filt in FILTERS:
        case = f"noise {in_w}x{in_h}->{out_w}x{out_h} {filt}"
        k = cli.add(src_f, np.float32, "planar", filt, out_w, out_h)
        reference = torch_resize(src_f, filt, out_w, out_h, np.float64).astype(np.float32)
        checks.append((f"float {case} planar: differs from torch float64 by", k, reference, 1e-4))
        k = cli.add(src_u8, np.uint8, "interleaved", filt, out_w, out_h)
        checks.append((f"8-bit {case} interleaved: differs from Pillow by", k,
                       pillow_resize(src_u8, filt, out_w, out_h).astype(int), 1 if filt == "bilinear" else 2))
    return checks


def main():
    tally = Tally()
    # One CLI process for the small geometries, one per large shape (their
    # files and references are freed after each).
    for jobs in [small_geometries] + [lambda cli, shape=shape: large_shape(cli, shape) for shape in SHAPES]:
        with tempfile.TemporaryDirectory() as work:
            cli = Cli(work)
            tally.check(cli, jobs(cli))
    if tally.two_levels > tally.bicubic_elements * 1e-4:
        print(f"8-bit bicubic: {tally.two_levels} of {tally.bicubic_elements} elements differ from Pillow by 2")
        tally.failures += 1
    print(f"{tally.comparisons} comparisons, {tally.failures} failures")
    return 1 if tally.failures else 0


if __name__ == "__main__":
    sys.exit(main())
