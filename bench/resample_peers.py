"""The whole resize of zv_pt against Pillow and PyTorch over a sweep of shapes, timed in one process.

usage: resample_peers.py BUILD_DIR [OUT.json] [--quick]      (run with /usr/bin/python3)

zv_pt runs through BUILD_DIR/bench/libzv_pt_resize_shim.so (a Resizer planned
once, run per call).  Per shape and filter:
  - 8-bit interleaved RGB against Pillow's Image.resize;
  - planar float against torch.nn.functional.interpolate(antialias=True), one torch thread;
  - both beside one plain vectorised read of their source (the memory floor);
  - the same planar resizes with the tables a host builds the way a tensor
    framework does (per-element taps per output line, shared taps per line);
  - on sources of a megapixel or more, the Resizer on two threads, beside the
    same one-thread resize run by two processes at once (what the machine's
    two cores give at that moment: the bound of two threads).
The calls of one shape are timed in rounds, one call of each per round after a
warm-up, so that a change in the shared machine's load reaches all of them
alike; the tables give the median per call and the ratios.  The results are
checked against the peers before timing.  With OUT.json the medians, checks
and targets are written for bench/plot_report.py.  --quick runs a few rounds.
"""
import contextlib
import ctypes
import io
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

try:
    import torch
    import torch.nn.functional as F
except ImportError:
    torch = None
try:
    import PIL
    from PIL import Image
except ImportError:
    Image = None

# (in_w, in_h, out_w, out_h): the shapes users meet.
SHAPES = [(500, 375, 224, 224), (1920, 1080, 224, 224), (1920, 1080, 640, 360), (1280, 720, 640, 640),
          (640, 480, 1280, 960), (3840, 2160, 1920, 1080), (4928, 3279, 852, 567), (1920, 1080, 1919, 1080),
          (4096, 4096, 4095, 4096)]
FILTERS = ("bilinear", "bicubic")
# 8-bit speed-up over Pillow each shape must reach, (bilinear, bicubic): 1.2
# times Pillow-SIMD's speed-up over Pillow on the shape, or the floor for the
# shape's size where that is higher.
U8_TARGETS = {(500, 375, 224, 224): (6.24, 7.08), (1920, 1080, 224, 224): (10.2, 10.56),
              (1920, 1080, 640, 360): (8.88, 9.0), (1280, 720, 640, 640): (8.0, 8.4),
              (640, 480, 1280, 960): (8.52, 8.04), (3840, 2160, 1920, 1080): (8.0, 7.08),
              (4928, 3279, 852, 567): (10.0, 7.32), (1920, 1080, 1919, 1080): (4.68, 6.12),
              (4096, 4096, 4095, 4096): (4.0, 4.0)}
F32_TARGET = 5.0  # x torch
# Sources whose float resize must take at most this many times one plain read.
READ_LIMIT = {(3840, 2160, 1920, 1080): 1.5, (4928, 3279, 852, 567): 1.5}
HOST_TABLES_TARGET = 2.0 / 3.0  # of the planner's speed
THREADS_TARGET = 1.8  # two threads over one, sources of a megapixel or more
WARM_UP = 2
SECONDS_PER_SHAPE = 25.0  # rounds are sized to about this


def load_shim(build_dir):
    """resize_shim.cc's C functions."""
    lib = ctypes.CDLL(os.path.join(build_dir, "bench", "libzv_pt_resize_shim.so"))
    lib.zv_pt_shim_create.restype = ctypes.c_void_p
    lib.zv_pt_shim_create.argtypes = [ctypes.c_int] * 3 + [ctypes.c_long] * 4 + [ctypes.c_int] * 2
    lib.zv_pt_shim_run.argtypes = [ctypes.c_void_p] * 3
    lib.zv_pt_shim_destroy.argtypes = [ctypes.c_void_p]
    lib.zv_pt_shim_read.restype = ctypes.c_uint64
    lib.zv_pt_shim_read.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    return lib


class OurResize:
    """A zv_pt resize of src into self.dst (contiguous, out_shape); calling it runs it once."""

    def __init__(self, lib, src, out_shape, planar, bicubic, threads=1, host_tables=False):
        in_size = (src.shape[2], src.shape[1]) if planar else (src.shape[1], src.shape[0])
        out_size = (out_shape[2], out_shape[1]) if planar else (out_shape[1], out_shape[0])
        self.lib, self.src = lib, src
        self.dst = np.empty(out_shape, dtype=src.dtype)
        self.handle = lib.zv_pt_shim_create(int(src.dtype == np.uint8), int(planar), int(bicubic),
                                            *in_size, *out_size, threads, int(host_tables))
        if not self.handle:
            sys.exit("zv_pt_shim_create refused the sizes")
        self.args = (self.handle, src.ctypes.data, self.dst.ctypes.data)

    def __call__(self):
        rc = self.lib.zv_pt_shim_run(*self.args)
        if rc != 0:
            sys.exit(f"zv_pt_shim_run returned {rc}")
        return self.dst

    def hwc(self):
        """The last result as height x width x 3."""
        return self.dst.transpose(1, 2, 0) if self.dst.shape[0] == 3 else self.dst

    def __del__(self):
        if getattr(self, "handle", None):
            self.lib.zv_pt_shim_destroy(self.handle)


def plain_read(lib, array):
    return lambda: lib.zv_pt_shim_read(array.ctypes.data, array.nbytes)


def time_rounds(calls, rounds):
    """Median seconds per call of every named call, measured round-robin (a
    call with a `repeat` runs that many times per round)."""
    for call in calls.values():
        for _ in range(WARM_UP):
            call()
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append((time.perf_counter() - start) / getattr(call, "repeat", 1))
    return {name: statistics.median(t) for name, t in times.items()}


class Repeated:
    """A call made `repeat` times back to back, about 20 ms of them."""

    def __init__(self, call):
        call()
        start = time.perf_counter()
        call()
        self.repeat = max(1, int(0.02 / (time.perf_counter() - start)))
        self.call = call

    def __call__(self):
        for _ in range(self.repeat):
            self.call()


class AtOnce(Repeated):
    """The repeated call made by this process and a forked sibling at the same
    moment; calling it returns when both are done.  Two processes share
    nothing but the machine, so 2 x (Repeated alone) / (this) is what two
    cores give; the repeats keep waking the sibling out of it."""

    def __init__(self, call):
        super().__init__(call)
        go_read, self.go = os.pipe()
        self.done, done_write = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(self.go)
            os.close(self.done)
            while os.read(go_read, 1) == b"g":
                super().__call__()
                os.write(done_write, b"d")
            os._exit(0)
        os.close(go_read)
        os.close(done_write)

    def __call__(self):
        os.write(self.go, b"g")
        super().__call__()
        os.read(self.done, 1)

    def close(self):
        os.write(self.go, b"q")
        os.waitpid(self.pid, 0)
        os.close(self.go)
        os.close(self.done)


def shape_name(shape):
    return "{}x{} -> {}x{}".format(*shape)


def shape_calls(lib, shape, rng):
    """{name: call} of one shape, and [(what, largest difference, allowed)] checks of its results."""
    in_w, in_h, out_w, out_h = shape
    chw_f32 = rng.random((3, in_h, in_w), dtype=np.float32)
    hwc_u8 = rng.integers(0, 256, (in_h, in_w, 3), dtype=np.uint8)
    chw_u8 = np.ascontiguousarray(hwc_u8.transpose(2, 0, 1))
    megapixel = in_w * in_h >= 1_000_000
    calls = {"read u8": plain_read(lib, hwc_u8), "read f32": plain_read(lib, chw_f32)}
    checks = []

    def check(what, ours, theirs, allowed):
        difference = float(np.max(np.abs(ours.astype(np.float64) - theirs.astype(np.float64))))
        checks.append((what, difference, allowed))

    for filt in FILTERS:
        bicubic = filt == "bicubic"
        u8 = OurResize(lib, hwc_u8, (out_h, out_w, 3), False, bicubic)
        f32 = OurResize(lib, chw_f32, (3, out_h, out_w), True, bicubic)
        calls[f"u8 {filt}"], calls[f"f32 {filt}"] = u8, f32
        u8_planar = OurResize(lib, chw_u8, (3, out_h, out_w), True, bicubic)
        u8_host = OurResize(lib, chw_u8, (3, out_h, out_w), True, bicubic, host_tables=True)
        f32_host = OurResize(lib, chw_f32, (3, out_h, out_w), True, bicubic, host_tables=True)
        calls.update({f"u8 planar {filt}": u8_planar, f"u8 host tables {filt}": u8_host,
                      f"f32 host tables {filt}": f32_host})
        check(f"u8 host tables {filt} against the planner", u8_host(), u8_planar(), 0)
        check(f"f32 host tables {filt} against the planner", f32_host(), f32(), 0)
        check(f"u8 planar {filt} against interleaved", u8_planar.hwc(), u8(), 0)
        if megapixel:
            u8_two = OurResize(lib, hwc_u8, (out_h, out_w, 3), False, bicubic, threads=2)
            f32_two = OurResize(lib, chw_f32, (3, out_h, out_w), True, bicubic, threads=2)
            calls[f"u8 {filt} 2 threads"], calls[f"f32 {filt} 2 threads"] = u8_two, f32_two
            for kind, call, two in (("u8", u8, u8_two), ("f32", f32, f32_two)):
                calls[f"{kind} {filt} repeated"] = Repeated(call)
                calls[f"{kind} {filt} 2 threads repeated"] = Repeated(two)
                calls[f"{kind} {filt} 2 processes"] = AtOnce(call)
            check(f"u8 {filt} on 2 threads against 1", u8_two(), u8(), 0)
            check(f"f32 {filt} on 2 threads against 1", f32_two(), f32(), 0)
        if Image is not None:
            image = Image.fromarray(hwc_u8, "RGB")
            method = Image.Resampling.BICUBIC if bicubic else Image.Resampling.BILINEAR
            calls[f"Pillow {filt}"] = lambda image=image, method=method: image.resize((out_w, out_h), method)
            check(f"u8 {filt} against Pillow", u8(), np.asarray(calls[f"Pillow {filt}"]()), 2 if bicubic else 1)
        if torch is not None:
            nchw = torch.from_numpy(chw_f32)[None]
            calls[f"torch {filt}"] = lambda nchw=nchw, mode=filt: F.interpolate(
                nchw, size=(out_h, out_w), mode=mode, antialias=True, align_corners=False)
            # Checked against torch in double precision: at near-identity
            # scales of long lines torch's own single-precision weights move
            # its float result by up to 3.6e-4.
            exact = F.interpolate(nchw.double(), size=(out_h, out_w), mode=filt, antialias=True, align_corners=False)
            check(f"f32 {filt} against torch (double precision)", f32(), exact[0].numpy(), 1e-4)
    return calls, checks


def rounds_for(calls):
    """Rounds that take about SECONDS_PER_SHAPE, from one timed call of each (3 to 60)."""
    start = time.perf_counter()
    for call in calls.values():
        call()
    once = time.perf_counter() - start
    return int(min(60, max(3, SECONDS_PER_SHAPE / max(once, 1e-6))))


def ratio(median, slower, faster):
    if slower in median and faster in median:
        return median[slower] / median[faster]
    return None


def two_processes(median, name):
    """Throughput of two processes making the call at once, in calls of one process alone."""
    r = ratio(median, f"{name} repeated", f"{name} 2 processes")
    return 2 * r if r is not None else None


def verdicts_of(shape, median):
    """[(what, value, target, holds)] of one shape."""
    out = []
    for filt, u8_target in zip(FILTERS, U8_TARGETS[shape]):
        r = ratio(median, f"Pillow {filt}", f"u8 {filt}")
        if r is not None:
            out.append((f"u8 {filt} x Pillow", r, u8_target, r >= u8_target))
        r = ratio(median, f"torch {filt}", f"f32 {filt}")
        if r is not None:
            out.append((f"f32 {filt} x torch", r, F32_TARGET, r >= F32_TARGET))
        if shape in READ_LIMIT:
            r = ratio(median, f"f32 {filt}", "read f32")
            out.append((f"f32 {filt} / read f32", r, READ_LIMIT[shape], r <= READ_LIMIT[shape]))
        for kind in ("u8", "f32"):
            planner = f"u8 planar {filt}" if kind == "u8" else f"f32 {filt}"
            r = ratio(median, planner, f"{kind} host tables {filt}")
            out.append((f"{kind} host tables {filt} / planner speed", r, HOST_TABLES_TARGET, r >= HOST_TABLES_TARGET))
            r = ratio(median, f"{kind} {filt}", f"{kind} {filt} 2 threads")
            if r is not None:
                warm = ratio(median, f"{kind} {filt} repeated", f"{kind} {filt} 2 threads repeated")
                bound = two_processes(median, f"{kind} {filt}")
                out.append((f"{kind} {filt} 2 threads / 1 (repeated: {warm:.2f}, two processes at once: {bound:.2f})",
                            r, THREADS_TARGET, r >= THREADS_TARGET))
    return out


def processor():
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


def ms(median, name):
    return f"{median[name] * 1e3:.3f}" if name in median else ""


def x(value):
    return f"{value:.2f}x" if value is not None else ""


def table_head(title, columns, note=None):
    """A markdown table's title, header and alignment rows (the shape and filter
    columns left, the figures right)."""
    print(f"\n### {title}\n")
    if note:
        print(note + "\n")
    print("| source -> output | filter | " + " | ".join(columns) + " |")
    print("|---|---|" + "---:|" * len(columns))


def row(cells):
    print("| " + " | ".join(cells) + " |")


def print_tables(results):
    """Prints the three tables (markdown)."""
    table_head("8-bit interleaved RGB against Pillow, planar float against torch (1 thread)",
               ["zv_pt u8 ms", "Pillow ms", "x Pillow", "target", "read u8 ms", "zv_pt f32 ms", "torch ms", "x torch",
                "read f32 ms", "f32 / read"])
    for r in results:
        m = r["median"]
        for filt, target in zip(FILTERS, U8_TARGETS[tuple(r["shape"])]):
            row([shape_name(r["shape"]), filt, ms(m, f"u8 {filt}"), ms(m, f"Pillow {filt}"),
                 x(ratio(m, f"Pillow {filt}", f"u8 {filt}")), f"{target:g}", ms(m, "read u8"), ms(m, f"f32 {filt}"),
                 ms(m, f"torch {filt}"), x(ratio(m, f"torch {filt}", f"f32 {filt}")), ms(m, "read f32"),
                 x(ratio(m, f"f32 {filt}", "read f32"))])
    table_head("Planar resizes with framework-style host tables beside the planner (1 thread)",
               ["u8 planner ms", "u8 host tables ms", "speed of the planner's", "f32 planner ms",
                "f32 host tables ms", "speed of the planner's"])
    for r in results:
        m = r["median"]
        for filt in FILTERS:
            cells = [shape_name(r["shape"]), filt]
            for planner, host in ((f"u8 planar {filt}", f"u8 host tables {filt}"),
                                  (f"f32 {filt}", f"f32 host tables {filt}")):
                cells += [ms(m, planner), ms(m, host), x(ratio(m, planner, host))]
            row(cells)
    table_head("Resizer::run on two threads against one (sources of a megapixel or more)",
               [c for kind in ("u8", "f32")
                for c in (f"{kind} 1 thread ms", f"{kind} 2 threads ms", "speed-up", "repeated", "two processes")],
               "Speed-up: single calls in turns with the peers (each starts with the caches the other calls left). "
               "Repeated: about 20 ms of calls back to back, two threads against one; two processes: the same "
               "one-thread calls made by this process and a sibling at once, their throughput in calls of one "
               "process alone: the most two threads can get from the machine's two cores at that time, with the "
               "same caches as the repeated calls.")
    for r in results:
        m = r["median"]
        for filt in FILTERS:
            if f"u8 {filt} 2 threads" in m:
                cells = [shape_name(r["shape"]), filt]
                for kind in ("u8", "f32"):
                    one = f"{kind} {filt}"
                    cells += [ms(m, one), ms(m, f"{one} 2 threads"), x(ratio(m, one, f"{one} 2 threads")),
                              x(ratio(m, f"{one} repeated", f"{one} 2 threads repeated")), x(two_processes(m, one))]
                row(cells)


def main(argv):
    quick = "--quick" in argv
    args = [a for a in argv if a != "--quick"]
    if not args or len(args) > 2:
        sys.exit(__doc__)
    build_dir, out_path = args[0], (args[1] if len(args) > 1 else None)
    if torch is None or Image is None:
        print(f"\n(peers missing: {'' if torch else 'torch '}{'' if Image else 'PIL'}; their rows are left out)")
    if torch is not None:
        torch.set_num_threads(1)
    lib = load_shim(build_dir)
    rng = np.random.default_rng(1)
    results, failures = [], []
    for shape in SHAPES:
        print(f"timing {shape_name(shape)} ...", file=sys.stderr, flush=True)
        calls, checks = shape_calls(lib, shape, rng)
        failures += [f"{shape_name(shape)}: {what} by {d:g} (allowed {a:g})" for what, d, a in checks if d > a]
        median = time_rounds(calls, 3 if quick else rounds_for(calls))
        results.append({"shape": shape, "median": median, "verdicts": verdicts_of(shape, median),
                        "checks": checks, "u8_targets": U8_TARGETS[shape]})
        for call in calls.values():
            if isinstance(call, AtOnce):
                call.close()
        del calls
    report = io.StringIO()
    with contextlib.redirect_stdout(report):
        print(f"Processor: {processor()}; Pillow {PIL.__version__ if Image else '-'}, "
              f"torch {torch.__version__ if torch else '-'} (1 thread); medians of round-robin calls, "
              f"{'3 rounds' if quick else 'about ' + str(int(SECONDS_PER_SHAPE)) + ' s of rounds per shape'}.")
        print_tables(results)
        print("\n### Targets\n")
        for r in results:
            for what, value, target, holds in r["verdicts"]:
                bound = "<=" if "/ read" in what else ">="
                print(f"- {'holds' if holds else 'MISSED'}: {shape_name(r['shape'])} {what} = {value:.2f} "
                      f"({bound} {target:g})")
        print("\n### Checks before timing\n")
        print("\n".join(f"- FAILED: {f}" for f in failures) or "- every result within its tolerance "
              "(8-bit: 1 grey level of Pillow, 2 for bicubic; float: 1e-4 of torch in double precision; "
              "host tables, planar layout and threads: bit-identical)")
    print(report.getvalue())
    if out_path:
        with open(out_path, "w") as f:
            json.dump({"processor": processor(), "pillow": PIL.__version__ if Image else None,
                       "torch": torch.__version__ if torch else None, "results": results,
                       "failures": failures, "markdown": report.getvalue()}, f, indent=1)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
