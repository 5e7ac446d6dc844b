"""zv_pt's own behaviour: layouts, errors, plans, batches and threads (numpy only)."""
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import zv_pt

IMAGENET_MEAN = np.array([0.485, 0.456, 0.406], np.float32)
IMAGENET_STD = np.array([0.229, 0.224, 0.225], np.float32)


def photo(h, w, seed=0):
    """A smooth picture with noise, so that resizes of it are not trivial."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    base = np.stack([128 + 100 * np.sin(x / 7.0 + c) * np.cos(y / 11.0 - c) for c in range(3)], axis=-1)
    return np.clip(base + rng.normal(0, 20, base.shape), 0, 255).astype(np.uint8)


def test_version_is_the_project_version():
    assert zv_pt.__version__ == os.environ.get("ZV_PT_VERSION", zv_pt.__version__)
    assert [int(p) for p in zv_pt.__version__.split(".")] >= [1, 0, 0]


# ---- resize -------------------------------------------------------------------

@pytest.mark.parametrize("filt", ["bilinear", "bicubic"])
def test_resize_keeps_layout_dtype_and_flat_colours(filt):
    flat = np.empty((37, 53, 3), np.uint8)
    flat[...] = (10, 200, 77)
    out = zv_pt.resize(flat, (20, 9), filt)
    assert out.shape == (9, 20, 3) and out.dtype == np.uint8
    assert (out == np.array([10, 200, 77], np.uint8)).all()
    planes = np.transpose(flat, (2, 0, 1)).astype(np.float32) / 255
    outf = zv_pt.resize(np.ascontiguousarray(planes), (90, 12), filter=filt)
    assert outf.shape == (3, 12, 90) and outf.dtype == np.float32
    np.testing.assert_allclose(outf, planes[:, :1, :1].repeat(12, 1).repeat(90, 2), atol=1e-6)


def test_resize_to_the_same_size_copies():
    img = photo(31, 17)
    assert np.array_equal(zv_pt.resize(img, (17, 31)), img)


@pytest.mark.parametrize("view", [
    lambda a: a[5:-3, 4:-7],            # lines further apart than a line
    lambda a: a[::-1],                  # lines upwards
    lambda a: a[:, ::2],                # pixels apart
    lambda a: a[..., ::-1],             # BGR as RGB
    lambda a: np.asfortranarray(a),
])
def test_resize_reads_any_byte_layout(view):
    img = view(photo(64, 80))
    assert np.array_equal(zv_pt.resize(img, (23, 19)), zv_pt.resize(np.ascontiguousarray(img), (23, 19)))


@pytest.mark.parametrize("view", [
    lambda a: a[:, 3:-2, 1:-4],          # lines apart, planes then not height lines apart
    lambda a: a[:, :, ::2],
    lambda a: np.transpose(np.ascontiguousarray(np.transpose(a, (1, 2, 0))), (2, 0, 1)),  # HWC memory
])
def test_resize_reads_any_float_layout(view):
    planes = np.ascontiguousarray(np.transpose(photo(40, 50), (2, 0, 1))).astype(np.float32)
    img = view(planes)
    assert np.array_equal(zv_pt.resize(img, (13, 29), "bicubic"),
                          zv_pt.resize(np.ascontiguousarray(img), (13, 29), "bicubic"))


def test_resize_accepts_objects_with_the_array_interface():
    img = photo(20, 30)

    class Exported:
        __array_interface__ = img.__array_interface__

    assert np.array_equal(zv_pt.resize(Exported(), (7, 5)), zv_pt.resize(img, (7, 5)))
    with pytest.raises(TypeError, match="int64"):  # numpy makes Python ints int64
        zv_pt.resize(img.tolist(), (7, 5))


@pytest.mark.parametrize("image, size, error, words", [
    (np.zeros((10, 10), np.uint8), (5, 5), ValueError, "2-D"),
    (np.zeros((10, 10, 4), np.uint8), (5, 5), ValueError, "3 channels"),
    (np.zeros((3, 10, 10), np.uint8), (5, 5), ValueError, "H x W x 3"),
    (np.zeros((10, 10, 3), np.float32), (5, 5), ValueError, "3 x H x W"),
    (np.zeros((10, 10, 3), np.float64), (5, 5), TypeError, "float64"),
    (np.zeros((10, 10, 3), np.uint16), (5, 5), TypeError, "uint16"),
    (np.zeros((10, 10, 3), np.dtype(">f4")), (5, 5), TypeError, ">f4"),
    (np.zeros((0, 10, 3), np.uint8), (5, 5), ValueError, "empty"),
    (np.zeros((3, 10, 0), np.float32), (5, 5), ValueError, "empty"),
    (np.zeros((10, 10, 3), np.uint8), (0, 5), ValueError, "positive"),
    (np.zeros((10, 10, 3), np.uint8), (5, -1), ValueError, "positive"),
    (np.zeros((10, 10, 3), np.uint8), (5,), ValueError, "pair"),
    (np.zeros((10, 10, 3), np.uint8), 5, TypeError, "pair"),
    (np.zeros((10, 10, 3), np.uint8), (5.5, 5), TypeError, "int"),
    ("not an image", (5, 5), TypeError, "<U12"),
])
def test_resize_refuses_bad_input_by_name(image, size, error, words):
    with pytest.raises(error, match=words):
        zv_pt.resize(image, size)


def test_resize_refuses_unknown_filters():
    with pytest.raises(ValueError, match="bilinear"):
        zv_pt.resize(photo(8, 8), (4, 4), filter="lanczos")


# ---- Prepare ------------------------------------------------------------------

def test_prepare_without_resize_scales_and_normalises_exactly():
    img = photo(24, 32)
    got = zv_pt.Prepare(size=(24, 32))(img)
    want = (np.transpose(img, (2, 0, 1)).astype(np.float32) / np.float32(255) - IMAGENET_MEAN[:, None, None]) \
        / IMAGENET_STD[:, None, None]
    assert got.shape == (3, 24, 32) and got.dtype == np.float32
    np.testing.assert_allclose(got, want, rtol=0, atol=2e-6)
    mean, std = (0.1, 0.5, 0.9), (2.0, 0.5, 0.25)
    got = zv_pt.Prepare(size=(24, 32), mean=mean, std=std)(img)
    want = (np.transpose(img, (2, 0, 1)).astype(np.float32) / np.float32(255) - np.float32(mean)[:, None, None]) \
        / np.float32(std)[:, None, None]
    np.testing.assert_allclose(got, want, rtol=0, atol=2e-6)


@pytest.mark.parametrize("kwargs, in_hw, out_hw", [
    (dict(size=(224, 200)), (300, 500), (224, 200)),
    (dict(resize=256, crop=(224, 224)), (300, 500), (224, 224)),
    (dict(resize=256, crop=100), (300, 500), (100, 100)),
    (dict(resize=64), (300, 500), (64, 106)),
    (dict(resize=64), (500, 300), (106, 64)),
])
def test_prepare_output_shapes(kwargs, in_hw, out_hw):
    assert zv_pt.Prepare(**kwargs)(photo(*in_hw)).shape == (3, *out_hw)


def test_prepare_plans_per_size_and_reuses():
    prep = zv_pt.Prepare(resize=50, crop=(40, 40), filter="bicubic")
    images = [photo(90, 120, 1), photo(77, 61, 2), photo(90, 120, 3), photo(77, 61, 4)]
    for img in images * 2:
        fresh = zv_pt.Prepare(resize=50, crop=(40, 40), filter="bicubic")(img)
        assert np.array_equal(prep(img), fresh)


def test_prepare_reads_views_as_their_copies():
    prep = zv_pt.Prepare(size=(30, 20))
    img = photo(100, 90)
    for view in (img[7:-5, 3:-9], img[::-1, ::-1], img[::2], img[..., ::-1]):
        assert np.array_equal(prep(view), prep(np.ascontiguousarray(view)))


def test_prepare_writes_into_out():
    prep = zv_pt.Prepare(size=(16, 12))
    out = np.full((3, 16, 12), np.nan, np.float32)
    result = prep(photo(40, 30), out=out)
    assert result is out or np.shares_memory(result, out)
    assert np.array_equal(out, prep(photo(40, 30)))


@pytest.mark.parametrize("out, error, words", [
    (np.zeros((3, 16, 13), np.float32), ValueError, r"shape \(3, 16, 12\)"),
    (np.zeros((16, 12, 3), np.float32), ValueError, "shape"),
    (np.zeros((3, 16, 12), np.float64), TypeError, "float32"),
    (np.zeros((3, 16, 24), np.float32)[:, :, ::2], ValueError, "contiguous"),
    ([[0.0]], TypeError, "numpy array"),
])
def test_prepare_refuses_a_wrong_out(out, error, words):
    with pytest.raises(error, match=words):
        zv_pt.Prepare(size=(16, 12))(photo(40, 30), out=out)


def test_prepare_refuses_a_read_only_out():
    out = np.zeros((3, 16, 12), np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        zv_pt.Prepare(size=(16, 12))(photo(40, 30), out=out)


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(), ValueError, "size"),
    (dict(size=(224, 224), resize=256), ValueError, "either"),
    (dict(size=224), TypeError, "resize=n"),
    (dict(size=(0, 224)), ValueError, "positive"),
    (dict(resize=0), ValueError, "positive"),
    (dict(size=(224, 224), crop=(10, 10)), ValueError, "crop"),
    (dict(resize=256, crop=(0, 10)), ValueError, "positive"),
    (dict(size=(8, 8), std=(1, 0, 1)), ValueError, "non-zero"),
    (dict(size=(8, 8), std=(1, float("nan"), 1)), ValueError, "finite"),
    (dict(size=(8, 8), mean=(1, 2)), ValueError, "three"),
    (dict(size=(8, 8), mean="abc"), TypeError, "three"),
    (dict(size=(8, 8), filter="nearest"), ValueError, "bicubic"),
])
def test_prepare_refuses_bad_options_by_name(kwargs, error, words):
    with pytest.raises(error, match=words):
        zv_pt.Prepare(**kwargs)


@pytest.mark.parametrize("image, error, words", [
    (np.zeros((10, 10), np.uint8), ValueError, "2-D"),
    (np.zeros((10, 10, 4), np.uint8), ValueError, "3 channels"),
    (np.zeros((10, 10, 3), np.float32), TypeError, "uint8"),
    (np.zeros((10, 0, 3), np.uint8), ValueError, "empty"),
    (None, TypeError, "uint8"),
])
def test_prepare_refuses_bad_images_by_name(image, error, words):
    with pytest.raises(error, match=words):
        zv_pt.Prepare(size=(8, 8))(image)


def test_prepare_refuses_images_whose_resize_is_too_large():
    with pytest.raises(ValueError, match="too large"):
        zv_pt.Prepare(resize=100000)(photo(1, 4000))


# ---- batches and threads ------------------------------------------------------------

def test_batch_is_the_single_calls_for_every_thread_count():
    prep = zv_pt.Prepare(resize=40, crop=(32, 36))
    images = [photo(50 + 7 * i, 90 - 5 * i, i) for i in range(7)]
    single = np.stack([prep(img) for img in images])
    for threads in (1, 2, 3, 8):
        assert np.array_equal(prep.batch(images, threads=threads), single)
    out = np.empty_like(single)
    prep.batch(images, threads=2, out=out)
    assert np.array_equal(out, single)


def test_batch_refuses_what_does_not_stack():
    prep = zv_pt.Prepare(resize=40)
    with pytest.raises(ValueError, match="image 1"):
        prep.batch([photo(50, 60), photo(60, 50)])
    with pytest.raises(ValueError, match="at least one"):
        prep.batch([])
    with pytest.raises(ValueError, match="threads"):
        prep.batch([photo(50, 60)], threads=0)
    with pytest.raises(ValueError, match="3 channels"):
        prep.batch([photo(50, 60), np.zeros((50, 60, 4), np.uint8)])
    with pytest.raises(ValueError, match="shape"):
        prep.batch([photo(50, 60)], out=np.zeros((2, 3, 40, 48), np.float32))


def test_one_prepare_serves_many_python_threads():
    prep = zv_pt.Prepare(size=(33, 47), filter="bicubic")
    images = [photo(120 + i, 150 - i, i) for i in range(24)]
    want = [zv_pt.Prepare(size=(33, 47), filter="bicubic")(img) for img in images]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(prep, images))
    assert all(np.array_equal(g, w) for g, w in zip(got, want))


def test_prepare_pickles():
    import pickle
    prep = zv_pt.Prepare(resize=30, crop=(20, 25), mean=(0.1, 0.2, 0.3), std=(0.5, 0.6, 0.7), filter="bicubic")
    again = pickle.loads(pickle.dumps(prep))
    assert repr(again) == repr(prep) and again.size == (20, 25)
    img = photo(45, 52)
    assert np.array_equal(again(img), prep(img))


# ---- Pillow images --------------------------------------------------------------------

def test_pillow_images_give_their_arrays_results():
    Image = pytest.importorskip("PIL.Image")
    prep = zv_pt.Prepare(size=(20, 30))
    # Widths below, at and past the 16 pixels the packing takes at a time.
    for height, width in ((9, 5), (7, 16), (4, 47)):
        small = photo(height, width)
        assert np.array_equal(prep(Image.fromarray(small)), prep(small)), (height, width)
    img = photo(61, 83)
    pil = Image.fromarray(img)
    assert np.array_equal(prep(pil), prep(img))
    assert np.array_equal(prep.batch([pil, img, pil]), np.stack([prep(img)] * 3))
    assert np.array_equal(zv_pt.resize(pil, (9, 7)), zv_pt.resize(img, (9, 7)))
    with pytest.raises(ValueError, match="2-D"):
        prep(pil.convert("L"))
    with pytest.raises(ValueError, match="3 channels"):
        prep(pil.convert("RGBA"))
