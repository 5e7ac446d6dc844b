"""The end-to-end benchmark's corpora, made from Debian's sample photographs
(python3-skimage) the same way every time.

usage: e2e_corpora.py FOLDER        (run with /usr/bin/python3)

FOLDER/imagenet: JPEGs the size ImageNet's are, 333 to 640 pixels wide,
landscape and portrait, quality 75 to 95, crops of the photographs resized with
Lanczos.  FOLDER/frames: 1920x1080 JPEGs of quality 90, crops of the
photographs enlarged with bicubic interpolation.  An existing corpus with the
same recipe is kept.
"""
import json
import os
import sys

import numpy as np
from PIL import Image

PHOTOS = ["astronaut.png", "chelsea.png", "coffee.png", "hubble_deep_field.jpg", "ihc.png",
          "motorcycle_left.png", "motorcycle_right.png", "retina.jpg", "rocket.jpg"]
SKIMAGE_DATA = "/usr/lib/python3/dist-packages/skimage/data"
IMAGENET_COUNT = 240
FRAME_COUNT = 60
RECIPE = {"version": 2, "imagenet": IMAGENET_COUNT, "frames": FRAME_COUNT, "photos": PHOTOS}


def photographs():
    missing = [p for p in PHOTOS if not os.path.exists(os.path.join(SKIMAGE_DATA, p))]
    if missing:
        sys.exit(f"missing sample photographs {missing}: install python3-skimage (tools/install-deps.sh)")
    return [Image.open(os.path.join(SKIMAGE_DATA, p)).convert("RGB") for p in PHOTOS]


def crop(photo, aspect, rng):
    """A random crop of `photo` with width / height = aspect, at least half its shorter side."""
    w, h = photo.size
    ch = int(rng.uniform(0.5, 1.0) * min(h, w / aspect))
    cw = int(ch * aspect)
    x, y = int(rng.integers(0, w - cw + 1)), int(rng.integers(0, h - ch + 1))
    return photo.crop((x, y, x + cw, y + ch))


def imagenet(photos, folder, rng):
    for i in range(IMAGENET_COUNT):
        photo = photos[i % len(photos)]
        width = int(rng.integers(333, 641))
        aspect = [4 / 3, 3 / 2, 1.0, 3 / 4, 2 / 3][int(rng.integers(0, 5))]
        height = int(round(width / aspect))
        if height > 640:  # portrait: 333 to 640 on the longer side too
            height = 640
            width = int(round(height * aspect))
        image = crop(photo, width / height, rng).resize((width, height), Image.LANCZOS)
        image.save(os.path.join(folder, f"{i:04}.jpg"), quality=int(rng.integers(75, 96)))


def frames(photos, folder, rng):
    for i in range(FRAME_COUNT):
        photo = photos[i % len(photos)]
        image = crop(photo, 16 / 9, rng).resize((1920, 1080), Image.BICUBIC)
        image.save(os.path.join(folder, f"{i:04}.jpg"), quality=90)


def make(folder):
    stamp = os.path.join(folder, "recipe.json")
    if os.path.exists(stamp) and json.load(open(stamp)) == RECIPE:
        return
    photos = photographs()
    rng = np.random.default_rng(11)
    for name, make_one in (("imagenet", imagenet), ("frames", frames)):
        os.makedirs(os.path.join(folder, name), exist_ok=True)
        make_one(photos, os.path.join(folder, name), rng)
    json.dump(RECIPE, open(stamp, "w"))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    make(sys.argv[1])
