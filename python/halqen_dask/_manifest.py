"""The manifest of a saved sharded index: a JSON file beside one index file
per shard. Read back as hostile input: every field is checked before use."""
from __future__ import annotations

import json
import os
import tempfile
from typing import Any, Dict, List

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "halqen_dask sharded index"
FORMAT_VERSION = 1


def shard_file_name(position: int) -> str:
    return f"shard-{position:05d}.halqen"


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


def read_manifest(directory: str, kind: str) -> Dict[str, Any]:
    path = os.path.join(directory, MANIFEST_NAME)
    with open(path, encoding="utf-8") as stream:
        try:
            document = json.load(stream)
        except json.JSONDecodeError as error:
            raise ValueError(f"{path} is not a halqen_dask manifest: {error}") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT_NAME:
        raise ValueError(f"{path} is not a halqen_dask manifest")
    if document.get("version") != FORMAT_VERSION:
        raise ValueError(f"{path}: unsupported manifest version {document.get('version')!r}")
    if document.get("kind") != kind:
        raise ValueError(f"{path} holds a sharded {document.get('kind')!r} index, not {kind!r}")
    if not isinstance(document.get("settings"), dict):
        raise ValueError(f"{path}: settings missing")
    shards = document.get("shards")
    if not isinstance(shards, list):
        raise ValueError(f"{path}: shard list missing")
    for position, shard in enumerate(shards):
        check_shard_entry(path, position, shard)
    return document


def check_shard_entry(path: str, position: int, shard: Any) -> None:
    if not isinstance(shard, dict):
        raise ValueError(f"{path}: shard {position} is not an object")
    if shard.get("file") != shard_file_name(position):
        raise ValueError(f"{path}: shard {position} names file {shard.get('file')!r}, "
                         f"expected {shard_file_name(position)!r}")
    count = shard.get("count")
    if not isinstance(count, int) or isinstance(count, bool) or count < 1:
        raise ValueError(f"{path}: shard {position} has count {count!r}, expected a positive integer")


def require_int(path: str, settings: Dict[str, Any], name: str, minimum: int) -> int:
    value = settings.get(name)
    if not isinstance(value, int) or isinstance(value, bool) or value < minimum:
        raise ValueError(f"{path}: setting {name} is {value!r}, expected an integer >= {minimum}")
    return value
