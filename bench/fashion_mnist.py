"""Fashion-MNIST from Debian's dataset-fashion-mnist package (installed by
`apt-get install dataset-fashion-mnist`; nothing is downloaded at run time):
60,000 training images of 28 x 28 pixels as 784-dimensional vectors, and the
10,000 test images as held-out queries."""
import gzip
from pathlib import Path

import numpy as np

DIRECTORY = Path("/usr/share/datasets/fashion-mnist")
TRAIN_FILE = "train-images-idx3-ubyte.gz"
TEST_FILE = "t10k-images-idx3-ubyte.gz"
# An IDX image file: magic, count, rows, columns (big-endian 32-bit), pixels.
IDX_IMAGES_MAGIC = 2051
IDX_HEADER_BYTES = 16
PACKAGE = "dataset-fashion-mnist"


def available():
    return (DIRECTORY / TRAIN_FILE).is_file() and (DIRECTORY / TEST_FILE).is_file()


def read_images(path):
    raw = gzip.decompress(path.read_bytes())
    magic, count, rows, columns = np.frombuffer(raw[:IDX_HEADER_BYTES], dtype=">u4")
    if magic != IDX_IMAGES_MAGIC:
        raise ValueError(f"{path} is not an IDX image file")
    pixels = np.frombuffer(raw, dtype=np.uint8, offset=IDX_HEADER_BYTES)
    return pixels.reshape(int(count), int(rows) * int(columns)).astype(np.float64)


def load():
    """(60,000 training vectors, 10,000 test vectors), float64 pixel values."""
    return read_images(DIRECTORY / TRAIN_FILE), read_images(DIRECTORY / TEST_FILE)
