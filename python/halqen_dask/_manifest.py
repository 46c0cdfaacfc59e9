"""The manifest of a saved sharded index: a JSON file beside one index file
per shard. Read back as hostile input: every field is checked before use,
and every shard file against its entry before it is loaded.

A save writes its shard files under names of its own (a fresh random
generation), replaces the manifest atomically, and only then removes the
files of the manifest it replaced: the files a manifest names are never
overwritten, so a directory always holds one whole saved index, whichever
save failed or was killed when. Files of a save that never wrote its
manifest, or lost a race to another save, are removed by that save when it
can (it fails) and otherwise stay behind unused."""
from __future__ import annotations

import json
import os
import re
import secrets
import struct
import tempfile
from typing import Any, Dict, Iterable, List, Optional

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "halqen_dask sharded index"
FORMAT_VERSION = 3
# Version 1 named shard files by position alone and recorded only counts; its
# manifests are still read, each shard checked against the index's settings.
# Versions 1 and 2 recorded as "count" the vectors a shard holds, which a
# GraphIndex file's header does not: it counts slots, free ones included.
# Version 3 records both, "count" as the file's header says it.
READABLE_VERSIONS = (1, 2, 3)
GENERATION_BYTES = 8

# The start of an index file (docs/file-format.md): magic, version, kind,
# metric, section count, dim, count.
INDEX_HEADER = struct.Struct("<8sIIIIQQ")
INDEX_MAGIC = b"\x89HALQEN\n"
KIND_CODES = {"flat": 1, "hnsw": 2, "graph": 3}
# A ShardedGraph routes ids by hash, so one of its shards may hold none.
EMPTY_SHARD_KINDS = ("graph",)
# Kinds whose files count slots, live and free, rather than vectors. Such a
# file never holds more free slots than live ones (the index renumbers its
# slots before it would).
SLOT_KINDS = ("graph",)
FLAT_METRIC_CODES = {"cosine": 1, "inner_product": 2}  # any other name: euclidean
HNSW_METRIC_CODES = {"euclidean": 0, "angular": 1, "inner_product": 2}


def new_generation() -> str:
    return secrets.token_hex(GENERATION_BYTES)


def shard_file_name(generation: str, position: int) -> str:
    return f"shard-{generation}-{position:05d}.halqen"


def _version_1_file_name(position: int) -> str:
    return f"shard-{position:05d}.halqen"


def _names_position(name: Any, position: int, version: int) -> bool:
    if version == 1:
        return bool(name == _version_1_file_name(position))
    pattern = rf"shard-[0-9a-f]{{{2 * GENERATION_BYTES}}}-{position:05d}\.halqen"
    return isinstance(name, str) and re.fullmatch(pattern, name) is not None


def write_manifest(directory: str, kind: str, settings: Dict[str, Any], shards: List[Dict[str, Any]]) -> None:
    """Writes the manifest last and atomically (a temporary file renamed), so a
    directory with a manifest holds every shard file it names."""
    document = {"format": FORMAT_NAME, "version": FORMAT_VERSION, "kind": kind,
                "settings": settings, "shards": shards}
    handle, temporary = tempfile.mkstemp(prefix=".manifest-", dir=directory)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as stream:
            json.dump(document, stream, indent=1)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, os.path.join(directory, MANIFEST_NAME))
    except BaseException:
        os.unlink(temporary)
        raise


def named_files(directory: str) -> List[str]:
    """The shard files the directory's manifest names now; none when it has
    no manifest one could read."""
    try:
        with open(os.path.join(directory, MANIFEST_NAME), encoding="utf-8") as stream:
            shards = json.load(stream).get("shards")
        return [shard["file"] for position, shard in enumerate(shards)
                if _names_position(shard.get("file"), position, 2)
                or _names_position(shard.get("file"), position, 1)]
    except (OSError, ValueError, AttributeError, TypeError):
        return []


def remove_files(directory: str, names: Iterable[str]) -> None:
    for name in names:
        try:
            os.unlink(os.path.join(directory, name))
        except FileNotFoundError:
            pass


def read_manifest(directory: str, kind: str) -> Dict[str, Any]:
    """The manifest, each shard entry holding what its file must hold:
    vectors (those the shard holds), count (its file header's count, None
    where the manifest did not record it), dim, kind, metric and (from
    version 2) its size in bytes."""
    path = os.path.join(directory, MANIFEST_NAME)
    with open(path, encoding="utf-8") as stream:
        try:
            document = json.load(stream)
        except json.JSONDecodeError as error:
            raise ValueError(f"{path} is not a halqen_dask manifest: {error}") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT_NAME:
        raise ValueError(f"{path} is not a halqen_dask manifest")
    version = document.get("version")
    if version not in READABLE_VERSIONS:
        raise ValueError(f"{path}: unsupported manifest version {version!r}")
    if document.get("kind") != kind:
        raise ValueError(f"{path} holds a sharded {document.get('kind')!r} index, not {kind!r}")
    settings = document.get("settings")
    if not isinstance(settings, dict):
        raise ValueError(f"{path}: settings missing")
    shards = document.get("shards")
    if not isinstance(shards, list):
        raise ValueError(f"{path}: shard list missing")
    for position, shard in enumerate(shards):
        check_shard_entry(path, position, shard, version, kind)
        if version < 3:
            shard["vectors"] = shard["count"]
            if kind in SLOT_KINDS:
                shard["count"] = None
        if version == 1:
            shard.update(dim=settings.get("dim"), kind=kind, metric=settings.get("metric"), bytes=None)
        elif (shard.get("dim"), shard.get("kind"), shard.get("metric")) != (
                settings.get("dim"), kind, settings.get("metric")):
            raise ValueError(f"{path}: shard {position} has dim {shard.get('dim')!r}, kind {shard.get('kind')!r} "
                             f"and metric {shard.get('metric')!r}; the index has dim {settings.get('dim')!r}, "
                             f"kind {kind!r} and metric {settings.get('metric')!r}")
    return document


def check_shard_entry(path: str, position: int, shard: Any, version: int, kind: str) -> None:
    if not isinstance(shard, dict):
        raise ValueError(f"{path}: shard {position} is not an object")
    if not _names_position(shard.get("file"), position, version):
        raise ValueError(f"{path}: shard {position} names file {shard.get('file')!r}, which is not "
                         f"the name of shard {position}")
    least_count = 0 if kind in EMPTY_SHARD_KINDS else 1
    minimums = {"count": least_count} if version == 1 else {"count": least_count, "dim": 0, "bytes": 1}
    if version >= 3:
        minimums["vectors"] = least_count
    for name, minimum in minimums.items():
        value = shard.get(name)
        if not isinstance(value, int) or isinstance(value, bool) or value < minimum:
            raise ValueError(f"{path}: shard {position} has {name} {value!r}, expected an integer >= {minimum}")
    if version >= 3:
        vectors, count = shard["vectors"], shard["count"]
        largest = 2 * vectors if kind in SLOT_KINDS else vectors
        if not vectors <= count <= largest:
            raise ValueError(f"{path}: shard {position} has count {count} for {vectors} vectors, expected "
                             + (f"{vectors} to {largest}" if largest > vectors else f"{vectors}"))


def file_header(path: str, position: int) -> Dict[str, int]:
    """What a shard file's header says (count, dim, kind, metric) and its
    size in bytes."""
    with open(path, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size
        header = stream.read(INDEX_HEADER.size)
    if len(header) < INDEX_HEADER.size or not header.startswith(INDEX_MAGIC):
        raise ValueError(f"{path}: shard {position} is not a halqen index file ({size} bytes)")
    _, _, kind_code, metric_code, _, dim, count = INDEX_HEADER.unpack(header)
    return {"count": count, "dim": dim, "kind": kind_code, "metric": metric_code, "bytes": size}


def check_shard_file(path: str, position: int, shard: Dict[str, Any]) -> None:
    """Compares the shard file's header and size with its manifest entry
    before the file is loaded: ValueError naming the shard and the numbers
    that differ. Where the entry lacks the header's count (a GraphIndex
    shard's, before version 3), the count must fit the shard's vectors."""
    found = file_header(path, position)
    expected = {"count": shard["count"], "dim": shard["dim"], "kind": KIND_CODES[shard["kind"]],
                "metric": _metric_code(shard["kind"], shard["metric"]), "bytes": shard["bytes"]}
    differences = [f"{name} {found[name]} in the file, {value} in the manifest"
                   for name, value in expected.items() if value is not None and found[name] != value]
    vectors = shard["vectors"]
    if shard["count"] is None and not vectors <= found["count"] <= 2 * vectors:
        differences.insert(0, f"count {found['count']} in the file, {vectors} to {2 * vectors} for the "
                              f"{vectors} vectors in the manifest")
    if differences:
        raise ValueError(f"{path}: shard {position} does not match its manifest entry: "
                         + "; ".join(differences))


def check_shard_length(path: str, position: int, shard: Dict[str, Any], index: Any) -> None:
    """The loaded shard holds as many vectors as its manifest entry says
    (where the header's count, checked before, is of slots)."""
    if shard["kind"] not in SLOT_KINDS:
        return
    length = len(index)
    if length != shard["vectors"]:
        raise ValueError(f"{path}: shard {position} does not match its manifest entry: {length} vectors "
                         f"in the file, {shard['vectors']} in the manifest")


def _metric_code(kind: str, metric: Optional[str]) -> Optional[int]:
    if kind == "flat":
        return FLAT_METRIC_CODES.get(metric or "", 0)
    # GraphIndex takes PyHNSW's metric names and codes.
    return HNSW_METRIC_CODES.get(metric or "")


def require_int(path: str, settings: Dict[str, Any], name: str, minimum: int) -> int:
    value = settings.get(name)
    if not isinstance(value, int) or isinstance(value, bool) or value < minimum:
        raise ValueError(f"{path}: setting {name} is {value!r}, expected an integer >= {minimum}")
    return value
