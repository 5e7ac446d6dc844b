"""The whole resize of zv_pt against PyTorch and Pillow, timed in one process.

usage: resample_peers.py BUILD_DIR      (run with /usr/bin/python3)

zv_pt runs through BUILD_DIR/bench/libzv_pt_resize_shim.so (a Resizer planned
once, run per call), PyTorch's antialiased interpolate on a float 1x3xHxW
tensor with one thread, and Pillow's Image.resize on an 8-bit RGB image.  The
calls are timed in rounds, one call of each per round after a warm-up, so that
a change in the machine's load reaches all of them alike; the table gives the
median per call, the peer's time over ours, and the largest difference of the
results.  Prints a markdown table and whether each target holds.
"""
import ctypes
import os
import statistics
import sys
import time

import numpy as np

try:
    import torch
    import torch.nn.functional as F
except ImportError:
    torch = None
try:
    from PIL import Image
except ImportError:
    Image = None

# (in_w, in_h, out_w, out_h, rounds): the second one is only for the record.
GEOMETRIES = [(1920, 1080, 224, 224, 30), (3840, 2160, 1920, 1080, 7)]
FILTERS = ("bilinear", "bicubic")
WARM_UP = 3
# Speed-up over the peer that each bilinear 1920x1080 -> 224x224 resize must reach.
TARGETS = {("torch", "bilinear", (1920, 1080, 224, 224)): 8.0,
           ("Pillow", "bilinear", (1920, 1080, 224, 224)): 10.0}


def load_shim(build_dir):
    """resize_shim.cc's C functions."""
    lib = ctypes.CDLL(os.path.join(build_dir, "bench", "libzv_pt_resize_shim.so"))
    lib.zv_pt_shim_create.restype = ctypes.c_void_p
    lib.zv_pt_shim_create.argtypes = [ctypes.c_int] * 3 + [ctypes.c_long] * 4
    lib.zv_pt_shim_run.argtypes = [ctypes.c_void_p] * 3
    lib.zv_pt_shim_destroy.argtypes = [ctypes.c_void_p]
    return lib


class OurResize:
    """A zv_pt Resizer of src into self.dst (contiguous, out_shape); calling it runs it once."""

    def __init__(self, lib, src, out_shape, planar, bicubic):
        in_size = (src.shape[2], src.shape[1]) if planar else (src.shape[1], src.shape[0])
        out_size = (out_shape[2], out_shape[1]) if planar else (out_shape[1], out_shape[0])
        self.lib, self.src = lib, src
        self.dst = np.empty(out_shape, dtype=src.dtype)
        self.handle = lib.zv_pt_shim_create(int(src.dtype == np.uint8), int(planar), int(bicubic),
                                            *in_size, *out_size)
        if not self.handle:
            sys.exit("zv_pt_shim_create refused the sizes")
        self.args = (self.handle, src.ctypes.data, self.dst.ctypes.data)

    def __call__(self):
        rc = self.lib.zv_pt_shim_run(*self.args)
        if rc != 0:
            sys.exit(f"zv_pt_shim_run returned {rc}")
        return self.dst

    def __del__(self):
        if getattr(self, "handle", None):
            self.lib.zv_pt_shim_destroy(self.handle)


def time_rounds(calls, rounds):
    """Median seconds per call of every named call, measured round-robin."""
    for call in calls.values():
        for _ in range(WARM_UP):
            call()
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def jobs(lib, geometry, rng):
    """{name: call} of one geometry, and its comparisons (ours, peer, filter, our result, the peer's as HWC)."""
    in_w, in_h, out_w, out_h = geometry
    hwc_f32 = rng.random((in_h, in_w, 3), dtype=np.float32)
    chw_f32 = np.ascontiguousarray(hwc_f32.transpose(2, 0, 1))
    hwc_u8 = rng.integers(0, 256, (in_h, in_w, 3), dtype=np.uint8)
    calls, comparisons = {}, []
    for filt in FILTERS:
        bicubic = filt == "bicubic"
        ours = {"zv_pt f32 interleaved": OurResize(lib, hwc_f32, (out_h, out_w, 3), False, bicubic),
                "zv_pt f32 planar": OurResize(lib, chw_f32, (3, out_h, out_w), True, bicubic),
                "zv_pt u8 interleaved": OurResize(lib, hwc_u8, (out_h, out_w, 3), False, bicubic)}
        calls.update({f"{name} {filt}": call for name, call in ours.items()})
        if torch is not None:
            def torch_call(nchw=torch.from_numpy(chw_f32)[None], mode=filt):
                return F.interpolate(nchw, size=(out_h, out_w), mode=mode, antialias=True, align_corners=False)
            calls[f"torch {filt}"] = torch_call
            theirs = torch_call()[0].numpy().transpose(1, 2, 0)
            comparisons.append(("zv_pt f32 interleaved", "torch", filt, ours["zv_pt f32 interleaved"](), theirs))
            comparisons.append(("zv_pt f32 planar", "torch", filt,
                                ours["zv_pt f32 planar"]().transpose(1, 2, 0), theirs))
        if Image is not None:
            resample = getattr(Image, "Resampling", Image)

            def pillow_call(image=Image.fromarray(hwc_u8, "RGB"),
                            method=resample.BICUBIC if bicubic else resample.BILINEAR):
                return image.resize((out_w, out_h), method)
            calls[f"Pillow {filt}"] = pillow_call
            comparisons.append(("zv_pt u8 interleaved", "Pillow", filt, ours["zv_pt u8 interleaved"](),
                                np.asarray(pillow_call())))
    return calls, comparisons


def main(build_dir):
    if torch is None or Image is None:
        print(f"\n(peers missing: {'' if torch else 'torch '}{'' if Image else 'PIL'}; their rows are left out)")
    if torch is not None:
        torch.set_num_threads(1)
    lib = load_shim(build_dir)
    rng = np.random.default_rng(1)
    print("\n### resize against PyTorch and Pillow (1 thread, median of round-robin calls)\n")
    print("| size | ours | ours ms | peer | peer ms | peer / ours | target | max abs difference |")
    print("|---|---|---:|---|---:|---:|---|---:|")
    verdicts = []
    for *geometry, rounds in GEOMETRIES:
        geometry = tuple(geometry)
        calls, comparisons = jobs(lib, geometry, rng)
        median = time_rounds(calls, rounds)
        size = "{}x{}_to_{}x{}".format(*geometry)
        for ours, peer, filt, our_result, their_result in comparisons:
            ours, peer = f"{ours} {filt}", f"{peer} {filt}"
            ratio = median[peer] / median[ours]
            difference = np.max(np.abs(our_result.astype(np.float64) - their_result.astype(np.float64)))
            target = TARGETS.get((peer.split()[0], filt, geometry))
            verdict = ""
            if target is not None:
                holds = "holds" if ratio >= target else "MISSED"
                verdict = f"{holds} (>= {target:g})"
                verdicts.append(f"- {holds}: {ours} {size} is {ratio:.1f}x faster than {peer} (>= {target:g})")
            print(f"| {size} | {ours} | {median[ours] * 1e3:.3f} | {peer} | {median[peer] * 1e3:.3f} | "
                  f"{ratio:.1f}x | {verdict} | {difference:.3g} |")
    if verdicts:
        print("\n### Targets against the Python peers (1 thread)\n")
        print("\n".join(verdicts))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
