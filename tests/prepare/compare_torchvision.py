"""Compares zvt::prepare (through prepare_cli) with torchvision's preprocessing.

usage: compare_torchvision.py PATH_TO_prepare_cli DATA_DIR

The 8-bit path must equal Compose([Resize(...), (CenterCrop(...)), ToTensor(),
Normalize(mean, std)]) on the Pillow image within 0.02 (one grey level after
ImageNet's normalisation); the float path, ToTensor first and the geometry on
the tensor, within 1e-4.  Exit code 77 when a peer is missing.
"""
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    import torch
    from PIL import Image
    from torchvision import transforms as T
    from torchvision.transforms import InterpolationMode
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(77)

CLI, DATA = sys.argv[1], sys.argv[2]
BYTES_TOLERANCE, FLOAT_TOLERANCE = 0.02, 1e-4
IMAGENET = ((0.485, 0.456, 0.406), (0.229, 0.224, 0.225))
CUSTOM = ((0.5, 0.4, 0.3), (0.25, 0.3, 0.35))  # channels distinct enough that a swap shows
MODES = {"bilinear": InterpolationMode.BILINEAR, "bicubic": InterpolationMode.BICUBIC}

PHOTOS = ["rocket.jpg", "coffee.jpg", "chelsea.png", "astronaut.ppm"]
# (prepare_cli's geometry word, torchvision's): straight resizes, Resize(N)
# alone, centre crops with both tie roundings (the photos' odd-sized cuts
# change the margins' parity), and crops larger than the resized image along
# one or both axes (zero padding).
GEOMETRIES = [("224x224", [T.Resize((224, 224))]),
              ("97x61", [T.Resize((61, 97))]),
              ("256", [T.Resize(256)]),
              ("256/224x224", [T.Resize(256), T.CenterCrop((224, 224))]),
              ("255/224x223", [T.Resize(255), T.CenterCrop((223, 224))]),
              ("100/300x90", [T.Resize(100), T.CenterCrop((90, 300))]),
              ("64/301x303", [T.Resize(64), T.CenterCrop((303, 301))])]


def photos():
    for name in PHOTOS:
        with Image.open(os.path.join(DATA, name)) as image:
            rgb = image.convert("RGB")
        yield name, rgb
        # An odd-sized cut, so that the margins of the crops change parity.
        yield name + " cut", rgb.crop((3, 1, 3 + rgb.width // 3 * 2 + 1, 1 + rgb.height // 2 + 1))


def reference(rgb, geometry, floats, filt, mean, std):
    steps = [T.Resize(t.size, interpolation=MODES[filt], antialias=True) if isinstance(t, T.Resize) else t
             for t in geometry]
    steps = [T.ToTensor(), *steps] if floats else [*steps, T.ToTensor()]
    return T.Compose([*steps, T.Normalize(mean, std)])(rgb).numpy()


def main():
    jobs, checks = [], []
    with tempfile.TemporaryDirectory() as work:
        for k, (name, rgb) in enumerate(photos()):
            raw = os.path.join(work, f"{k}.rgb")
            np.asarray(rgb).tofile(raw)
            for word, geometry in GEOMETRIES:
                for filt in MODES:
                    for floats in (False, True):
                        for mean, std in (IMAGENET, CUSTOM):
                            out = os.path.join(work, f"{len(jobs)}.f32")
                            words = [raw, out, rgb.width, rgb.height, filt, "floats" if floats else "bytes", word,
                                     *mean, *std]
                            jobs.append(" ".join(map(str, words)))
                            ref = reference(rgb, geometry, floats, filt, mean, std)
                            checks.append((f"{name} {word} {filt} {'floats' if floats else 'bytes'} {mean}", out, ref,
                                           FLOAT_TOLERANCE if floats else BYTES_TOLERANCE))
        sizes = subprocess.run([CLI], input="\n".join(jobs), text=True, check=True, capture_output=True).stdout.split()
        failures = 0
        for k, (what, out, ref, tolerance) in enumerate(checks):
            w, h = int(sizes[2 * k]), int(sizes[2 * k + 1])
            if (3, h, w) != ref.shape:
                print(f"{what}: shape {(3, h, w)}, torchvision's {ref.shape}")
                failures += 1
                continue
            error = np.abs(np.fromfile(out, dtype=np.float32).reshape(3, h, w) - ref).max()
            if error > tolerance:
                print(f"{what}: differs from torchvision by {error:.6f}")
                failures += 1
    print(f"{len(checks)} comparisons, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
