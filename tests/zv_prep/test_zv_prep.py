"""End-to-end tests of zv-prep: its tensors against torchvision's preprocessing.

usage: test_zv_prep.py ZV_PREP DATA_DIR [EMULATOR...]

EMULATOR is the command that runs ZV_PREP when it was built for another
machine (CMake's CMAKE_CROSSCOMPILING_EMULATOR, as separate arguments or as
one ;-separated list); the references are computed natively.  Exit code 77
when torch, torchvision or Pillow cannot be imported.

Tolerances: the 8-bit path resizes bytes and may land one grey level away from
Pillow (1/255/std = 0.017 after the default normalisation, under the 0.02
allowed); the float path must match torch's antialiased interpolation to 1e-4.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

try:
    import numpy as np
    import torch
    from PIL import Image
    from torchvision import transforms as T
    from torchvision.transforms import InterpolationMode
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(77)

if len(sys.argv) < 3:
    sys.exit(__doc__)
ZV_PREP, DATA = sys.argv[1], sys.argv[2]
EMULATOR = sys.argv[3:]
if len(EMULATOR) == 1:
    EMULATOR = [part for part in EMULATOR[0].split(";") if part]

BYTES_TOLERANCE = 0.02
FLOAT_TOLERANCE = 1e-4
DEFAULT_MEAN, DEFAULT_STD = (0.485, 0.456, 0.406), (0.229, 0.224, 0.225)
# Channels distinct enough that a swapped or repeated channel shows.
CUSTOM_MEAN, CUSTOM_STD = (0.5, 0.4, 0.3), (0.25, 0.3, 0.35)
FILTERS = {"bilinear": InterpolationMode.BILINEAR, "bicubic": InterpolationMode.BICUBIC}


def sample(name):
    return os.path.join(DATA, name)


def zv_prep(*args, env=None):
    return subprocess.run(EMULATOR + [ZV_PREP, *args], capture_output=True, text=True, env=env, timeout=600)


def npy_name(file):
    return os.path.splitext(os.path.basename(file))[0] + ".npy"


def load(path):
    return np.load(path, allow_pickle=False)


def open_rgb(path):
    with Image.open(path) as image:
        return image.convert("RGB")


def reference_bytes(path, geometry, mean=DEFAULT_MEAN, std=DEFAULT_STD):
    """torchvision's usual pipeline on the Pillow image: geometry, ToTensor, Normalize."""
    return T.Compose([*geometry, T.ToTensor(), T.Normalize(mean, std)])(open_rgb(path)).numpy()


def reference_floats(path, geometry, mean=DEFAULT_MEAN, std=DEFAULT_STD):
    """The tensor pipeline: ToTensor first, then the geometry on floats, Normalize."""
    return T.Compose([T.ToTensor(), *geometry, T.Normalize(mean, std)])(open_rgb(path)).numpy()


def write_png(path, pixels, interlaced=False):
    """An RGB PNG of 8 or 16 bits per sample (the dtype of `pixels`), plain or Adam7.

    Pillow writes neither 16-bit RGB nor interlaced PNG files."""
    height, width, _ = pixels.shape
    big_endian = pixels.astype(pixels.dtype.newbyteorder(">"))
    # (first row, first column, row step, column step) of each pass
    passes = [(0, 0, 8, 8), (0, 4, 8, 8), (4, 0, 8, 4), (0, 2, 4, 4), (2, 0, 4, 2), (0, 1, 2, 2), (1, 0, 2, 1)]
    raw = b""
    for y0, x0, dy, dx in passes if interlaced else [(0, 0, 1, 1)]:
        part = big_endian[y0::dy, x0::dx]
        if part.size:
            raw += b"".join(b"\0" + row.tobytes() for row in part)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, pixels.dtype.itemsize * 8, 2, 0, 0, int(interlaced))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class ZvPrepCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zv_prep_test_")
        self.addCleanup(shutil.rmtree, self.tmp)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def small_copy(self, source, name, size, transpose=None):
        """A smaller copy of a sample photo, saved under `name` in the format its extension says."""
        image = open_rgb(sample(source)).resize(size, Image.BICUBIC)
        if transpose is not None:
            image = image.transpose(transpose)
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        image.save(self.path(name))
        return self.path(name)

    def prepare(self, inputs, options, status=0, out="out", env=None):
        """Runs zv-prep into a fresh folder; checks the status and that no temporary file is left."""
        out = self.path(out)
        result = zv_prep(*options, "--out", out, *inputs, env=env)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertEqual([f for f in os.listdir(out) if f.startswith(".")], [])
        return out, result

    def assertClose(self, actual, expected, tolerance, what=""):
        self.assertEqual(actual.dtype, np.float32, what)
        self.assertEqual(actual.shape, expected.shape, what)
        error = float(np.abs(actual - expected).max())
        self.assertLessEqual(error, tolerance, what)

    def check_against(self, out, files, reference, tolerance):
        for file in files:
            name = npy_name(file)
            with self.subTest(file=os.path.basename(file)):
                self.assertClose(load(os.path.join(out, name)), reference(file), tolerance, file)


class MatchesTorchvision(ZvPrepCase):
    """The 8-bit path against Compose([geometry, ToTensor(), Normalize()]) on Pillow images."""

    def test_size_is_width_by_height(self):
        files = [sample(f) for f in ("rocket.jpg", "coffee.jpg", "chelsea.png", "astronaut.ppm")]
        out, _ = self.prepare(files, ["--size", "200x150"])
        self.check_against(out, files, lambda f: reference_bytes(f, [T.Resize((150, 200))]), BYTES_TOLERANCE)

    def test_bicubic_with_custom_normalisation(self):
        files = [sample("rocket.jpg"), sample("chelsea.png")]
        options = ["--size", "96x128", "--filter", "bicubic", "--mean", "0.5,0.4,0.3", "--std", "0.25,0.3,0.35"]
        out, _ = self.prepare(files, options)
        geometry = [T.Resize((128, 96), FILTERS["bicubic"])]
        self.check_against(out, files, lambda f: reference_bytes(f, geometry, CUSTOM_MEAN, CUSTOM_STD),
                           BYTES_TOLERANCE)

    def test_shorter_side_then_centre_crop(self):
        # Shorter side 100: chelsea 150x100, rocket 149x100, the portrait 100x150.  The 123x129 crop is
        # padded where the image is smaller; the other offsets are 13.5 (rounds up to 14), 13 and
        # 10.5 (rounds down to 10, Python's round half to even).
        portrait = self.small_copy("chelsea.png", "portrait.png", (451, 300), Image.ROTATE_90)
        files = [sample("chelsea.png"), sample("rocket.jpg"), portrait]
        out, _ = self.prepare(files, ["--resize", "100", "--crop", "123x129"])
        geometry = [T.Resize(100), T.CenterCrop((129, 123))]
        self.check_against(out, files, lambda f: reference_bytes(f, geometry), BYTES_TOLERANCE)

    def test_shorter_side_without_crop_keeps_the_aspect(self):
        portrait = self.small_copy("coffee.jpg", "portrait.jpg", (600, 400), Image.ROTATE_270)
        files = [sample("coffee.jpg"), portrait]
        out, _ = self.prepare(files, ["--resize", "73", "--filter", "bicubic"])
        geometry = [T.Resize(73, FILTERS["bicubic"])]
        self.check_against(out, files, lambda f: reference_bytes(f, geometry), BYTES_TOLERANCE)


class FloatResizeMatchesTensorPipeline(ZvPrepCase):
    """--float-resize against ToTensor(), then Resize(antialias=True) on the tensor, then Normalize()."""

    def test_size_bilinear(self):
        files = [sample("chelsea.png"), sample("coffee.jpg")]
        out, _ = self.prepare(files, ["--float-resize", "--size", "200x150"])
        geometry = [T.Resize((150, 200), antialias=True)]
        self.check_against(out, files, lambda f: reference_floats(f, geometry), FLOAT_TOLERANCE)

    def test_crop_bicubic_custom_normalisation(self):
        portrait = self.small_copy("chelsea.png", "portrait.png", (451, 300), Image.ROTATE_90)
        files = [sample("chelsea.png"), portrait]
        options = ["--float-resize", "--filter", "bicubic", "--resize", "100", "--crop", "123x129",
                   "--mean", "0.5,0.4,0.3", "--std", "0.25,0.3,0.35"]
        out, _ = self.prepare(files, options)
        geometry = [T.Resize(100, FILTERS["bicubic"], antialias=True), T.CenterCrop((129, 123))]
        self.check_against(out, files, lambda f: reference_floats(f, geometry, CUSTOM_MEAN, CUSTOM_STD),
                           FLOAT_TOLERANCE)


class Decoders(ZvPrepCase):
    def test_format_variants_match_pillow(self):
        """Variants made here; each must give what convert('RGB') in Pillow gives."""
        photo = open_rgb(sample("chelsea.png")).resize((150, 100), Image.BICUBIC)
        pixels = np.asarray(photo)
        alpha = Image.fromarray(np.tile(np.arange(150, dtype=np.uint8), (100, 1)))
        files = []

        def save(image, name, **options):
            files.append(self.path(name))
            image.save(files[-1], **options)

        save(photo.convert("L"), "grey_jpeg.jpg", quality=90)
        save(photo.convert("L"), "grey_pgm.pgm")
        save(photo.convert("LA"), "grey_alpha.png")
        save(photo.quantize(64), "palette.png")
        save(photo.quantize(64), "palette_transparent.png", transparency=0)
        rgba = photo.copy()
        rgba.putalpha(alpha)
        save(rgba, "rgba.png")
        # 16 bits: the high byte is the photo, the low byte noise that must not show.
        noise = np.random.default_rng(7).integers(0, 256, pixels.shape, dtype=np.uint16)
        files.append(self.path("rgb16.png"))
        write_png(files[-1], pixels.astype(np.uint16) << 8 | noise)
        files.append(self.path("interlaced.png"))
        write_png(files[-1], pixels, interlaced=True)

        out, _ = self.prepare(files, ["-q", "--size", "64x48"])
        self.check_against(out, files, lambda f: reference_bytes(f, [T.Resize((48, 64))]), BYTES_TOLERANCE)


class BadInputs(ZvPrepCase):
    def test_bad_files_are_skipped_and_named(self):
        good = [sample("astronaut.ppm"), sample("coffee.jpg")]
        with open(sample("rocket.jpg"), "rb") as f:
            jpeg = f.read()
        with open(sample("chelsea.png"), "rb") as f:
            png = f.read()
        contents = {
            "empty.jpg": b"",
            "notes.png": b"not an image at all\n",
            "truncated.jpg": jpeg[: len(jpeg) * 3 // 5],
            "truncated.png": png[: len(png) // 2],
            "zero.ppm": b"P6 0 5 255\n",
        }
        bad = [self.path("missing.png")]
        for name, data in contents.items():
            bad.append(self.path(name))
            with open(bad[-1], "wb") as f:
                f.write(data)
        inputs = [bad[0], good[0], *bad[1:4], good[1], *bad[4:]]

        out, result = self.prepare(inputs, ["--size", "64x48"], status=1)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), len(bad), result.stderr)
        for file, line in zip(bad, lines):
            self.assertTrue(line.startswith(f"zv-prep: {file}: ") and len(line) > len(file) + 11, line)
        self.assertEqual(sorted(os.listdir(out)), ["astronaut.npy", "coffee.npy"])
        self.check_against(out, good, lambda f: reference_bytes(f, [T.Resize((48, 64))]), BYTES_TOLERANCE)

    def test_bad_options_stop_before_any_output(self):
        cases = [
            (["--size", "0x5"], "--size"),
            (["--mean", "1,2"], "--mean"),
            (["--std", "0,1,1"], "--std"),
            (["--filter", "nearest"], "--filter"),
            (["--crop", "64x64"], "--crop"),
            (["--frobnicate"], "--frobnicate"),
        ]
        for options, name in cases:
            with self.subTest(options=options):
                out = self.path("out_" + name.strip("-"))
                result = zv_prep(*options, "--out", out, sample("astronaut.ppm"))
                self.assertEqual(result.returncode, 2, result.stderr)
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertIn(name, lines[0])
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(out) and os.listdir(out))


class FoldersAndBatches(ZvPrepCase):
    def test_folder_recursion_and_batch_of_the_same_tensors(self):
        tree = [
            self.small_copy("rocket.jpg", "tree/sub/alpha.jpg", (96, 64)),
            self.small_copy("astronaut.ppm", "tree/sub/deep/mid.PPM", (50, 70)),
            self.small_copy("chelsea.png", "tree/zeta.png", (90, 60)),
        ]
        for name in ("tree/sub/readme.txt", "tree/sub/deep/tensor.npy"):
            with open(self.path(name), "w") as f:
                f.write("not an image\n")
        inputs = [self.path("tree"), sample("astronaut.ppm")]
        expected = sorted(tree) + [sample("astronaut.ppm")]

        single, _ = self.prepare(inputs, ["-q", "--size", "40x30"], out="single")
        names = [npy_name(f) for f in expected]
        self.assertEqual(sorted(os.listdir(single)), sorted(names))

        batch, _ = self.prepare(inputs, ["-q", "--size", "40x30", "--batch"], out="batch")
        self.assertEqual(sorted(os.listdir(batch)), ["batch.npy", "batch.txt"])
        stacked = np.stack([load(os.path.join(single, name)) for name in names])
        tensor = load(os.path.join(batch, "batch.npy"))
        self.assertEqual((tensor.dtype, tensor.shape), (np.float32, (4, 3, 30, 40)))
        np.testing.assert_array_equal(tensor, stacked)
        with open(os.path.join(batch, "batch.txt")) as f:
            self.assertEqual(f.read().splitlines(), expected)

    def test_batch_refuses_a_tensor_of_another_size(self):
        # Shorter side 40: both landscapes become 60x40, the portrait 40x60.
        files = [
            self.small_copy("coffee.jpg", "wide.png", (90, 60)),
            self.small_copy("coffee.jpg", "tall.png", (90, 60), Image.ROTATE_90),
            self.small_copy("chelsea.png", "cat.png", (150, 100)),
        ]
        out, result = self.prepare(files, ["-q", "--batch", "--resize", "40"], status=1)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith(f"zv-prep: {files[1]}: "), lines[0])
        with open(os.path.join(out, "batch.txt")) as f:
            self.assertEqual(f.read().splitlines(), [files[0], files[2]])
        tensor = load(os.path.join(out, "batch.npy"))
        expected = np.stack([reference_bytes(f, [T.Resize(40)]) for f in (files[0], files[2])])
        self.assertClose(tensor, expected, BYTES_TOLERANCE)


@unittest.skipIf(EMULATOR, "PyTorch exists for the build machine only")
class Torch(ZvPrepCase):
    def test_report_in_embedded_torch(self):
        # CPython does not free everything at finalisation: no leak check for this run.
        asan = os.environ.get("ASAN_OPTIONS")
        env = dict(os.environ, ASAN_OPTIONS=(asan + ":" if asan else "") + "detect_leaks=0")
        files = [sample("chelsea.png"), sample("astronaut.ppm")]
        out, result = self.prepare(files, ["-q", "--size", "64x48", "--torch"], env=env)
        lines = result.stdout.splitlines()
        self.assertIn("torch.get_num_threads() = 48", lines)
        for file in files:
            name = npy_name(file)
            with self.subTest(name=name):
                line = next((l for l in lines if l.split()[:1] == [name]), None)
                self.assertIsNotNone(line, result.stdout)
                self.assertIn("(3, 48, 64) torch.float32", " ".join(line.split()))
                # "mean m m m   std s s s": per channel, as torch computes them from the file
                words = line.split()
                tensor = torch.from_numpy(load(os.path.join(out, name)))
                mean = [float(w) for w in words[words.index("mean") + 1:][:3]]
                std = [float(w) for w in words[words.index("std") + 1:][:3]]
                np.testing.assert_allclose(mean, tensor.mean(dim=(1, 2)).numpy(), atol=2e-4)
                np.testing.assert_allclose(std, tensor.std(dim=(1, 2)).numpy(), atol=2e-4)
        self.assertTrue(any("(2, 3, 48, 64)" in l for l in lines), result.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
