"""zv_pt against the peers a PyTorch user would otherwise call: Pillow's
Image.resize, torch's antialiased interpolate and torchvision's transforms."""
import os

import numpy as np
import pytest
import torch
from PIL import Image
from torchvision import transforms as T
from torchvision.transforms import InterpolationMode

import zv_pt

DATA = os.path.join(os.path.dirname(__file__), "..", "..", "data")
PHOTOS = ["rocket.jpg", "coffee.jpg", "chelsea.png"]
PIL_FILTERS = {"bilinear": Image.Resampling.BILINEAR, "bicubic": Image.Resampling.BICUBIC}
MODES = {"bilinear": InterpolationMode.BILINEAR, "bicubic": InterpolationMode.BICUBIC}
SIZES = [(224, 224), (97, 61), (333, 20), (1000, 700)]  # (width, height): shrinking, mixed, enlarging


@pytest.fixture(scope="module", params=PHOTOS)
def photo(request):
    with Image.open(os.path.join(DATA, request.param)) as image:
        return image.convert("RGB")


@pytest.mark.parametrize("filt", PIL_FILTERS)
@pytest.mark.parametrize("size", SIZES)
def test_bytes_equal_pillow_within_one_level(photo, size, filt):
    got = zv_pt.resize(np.asarray(photo), size, filt)
    want = np.asarray(photo.resize(size, PIL_FILTERS[filt]))
    assert got.shape == want.shape
    assert np.abs(got.astype(int) - want.astype(int)).max() <= 1


@pytest.mark.parametrize("filt", MODES)
@pytest.mark.parametrize("size", SIZES)
def test_floats_equal_torch_within_1e4(photo, size, filt):
    planes = torch.from_numpy(np.ascontiguousarray(np.transpose(np.asarray(photo), (2, 0, 1)))).float() / 255
    got = zv_pt.resize(planes.numpy(), size, filt)
    want = torch.nn.functional.interpolate(planes[None], size=(size[1], size[0]), mode=filt,
                                           align_corners=False, antialias=True)[0].numpy()
    assert got.shape == want.shape
    assert np.abs(got - want).max() <= 1e-4


IMAGENET = dict(mean=(0.485, 0.456, 0.406), std=(0.229, 0.224, 0.225))
CUSTOM = dict(mean=(0.5, 0.4, 0.3), std=(0.25, 0.3, 0.35))
PIPELINES = [  # zv_pt.Prepare's words, torchvision's geometry
    (dict(size=(224, 224)), [T.Resize((224, 224))]),
    (dict(size=(61, 97)), [T.Resize((61, 97))]),
    (dict(resize=256, crop=(224, 224)), [T.Resize(256), T.CenterCrop((224, 224))]),
    (dict(resize=255, crop=(223, 224)), [T.Resize(255), T.CenterCrop((223, 224))]),
    (dict(resize=100, crop=(90, 300)), [T.Resize(100), T.CenterCrop((90, 300))]),
    (dict(resize=160), [T.Resize(160)]),
]


@pytest.mark.parametrize("norm", [IMAGENET, CUSTOM], ids=["imagenet", "custom"])
@pytest.mark.parametrize("filt", MODES)
@pytest.mark.parametrize("words, geometry", PIPELINES)
def test_prepare_equals_torchvision_within_002(photo, words, geometry, filt, norm):
    steps = [T.Resize(t.size, interpolation=MODES[filt], antialias=True) if isinstance(t, T.Resize) else t
             for t in geometry]
    want = T.Compose([*steps, T.ToTensor(), T.Normalize(**norm)])(photo).numpy()
    kwargs = dict(words, filter=filt)
    if norm is CUSTOM:
        kwargs.update(norm)
    prep = zv_pt.Prepare(**kwargs)
    for image in (photo, np.asarray(photo)):
        got = prep(image)
        assert got.shape == want.shape
        assert np.abs(got - want).max() <= 0.02


class Photos(torch.utils.data.Dataset):
    """The README's dataset: decoded photos, zv_pt.Prepare as the transform."""

    def __init__(self, images, transform):
        self.images, self.transform = images, transform

    def __len__(self):
        return len(self.images)

    def __getitem__(self, i):
        return torch.from_numpy(self.transform(self.images[i])), i


@pytest.mark.parametrize("context", ["fork", "spawn"])
def test_dataloader_workers_give_torchvisions_batches(photo, context):
    images = [photo.crop((k, k, photo.width - k, photo.height - 2 * k)) for k in range(6)]
    prep = zv_pt.Prepare(resize=96, crop=(80, 80))
    loader = torch.utils.data.DataLoader(Photos(images, prep), batch_size=4, num_workers=2,
                                         multiprocessing_context=context)
    reference = T.Compose([T.Resize(96, antialias=True), T.CenterCrop(80), T.ToTensor(), T.Normalize(**IMAGENET)])
    seen = 0
    for batch, index in loader:
        want = torch.stack([reference(images[i]) for i in index.tolist()])
        assert batch.shape == want.shape and (batch - want).abs().max() <= 0.02
        seen += len(index)
    assert seen == len(images)
