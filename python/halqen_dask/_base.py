"""What both sharded indexes share: their shards' lifetime, and the shard
files that `save` writes and `load` reads back."""
from __future__ import annotations

import os
from typing import Any, Callable, Dict, List, Optional, TypeVar

from distributed import Client

from . import _tasks
from ._convert import as_count
from ._manifest import named_files, new_generation, remove_files, shard_file_name, write_manifest
from ._shards import ShardRef, ShardSet

Index = TypeVar("Index", bound="ShardedIndex")


class ShardedIndex:
    _dim: int
    _shards: ShardSet

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def shard_count(self) -> int:
        return len(self._shards.refs)

    @property
    def client(self) -> Client:
        return self._shards.client

    def __len__(self) -> int:
        return len(self._shards)

    def close(self) -> None:
        """Frees the shards in the workers' memory now rather than when this
        object is garbage-collected; the index is empty afterwards."""
        with self._shards.lock:
            self._release()

    def _release(self) -> None:
        self._shards.release()

    def __enter__(self: Index) -> Index:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _save(self, directory: "str | os.PathLike[str]", kind: str, settings: Dict[str, Any],
              extra_of: Callable[[ShardRef], Dict[str, Any]]) -> None:
        """Each shard's file, written on its worker under a new generation's
        name, then a manifest whose entries add extra_of(shard) to what each
        file holds; then the files of the manifest it replaced are removed."""
        with self._shards.lock:
            path = os.path.abspath(os.fspath(directory))
            os.makedirs(path, exist_ok=True)
            replaced = named_files(path)
            generation = new_generation()
            names = [shard_file_name(generation, i) for i in range(len(self._shards.refs))]
            try:
                written = self._shards.fan_out(_tasks.write_shard, lambda i, _: (os.path.join(path, names[i]),))
                shards = [{"file": name, "vectors": ref.count, "count": header["count"], "dim": self._dim,
                           "kind": kind, "metric": settings["metric"], "bytes": header["bytes"], **extra_of(ref)}
                          for name, ref, header in zip(names, self._shards.refs, written)]
                write_manifest(path, kind, settings, shards)
            except BaseException:
                remove_files(path, names)
                raise
            remove_files(path, set(replaced) - set(names))

    def _read_shards(self, path: str, entries: List[Dict[str, Any]],
                     entry_of: Callable[[Dict[str, Any]], Optional[Any]]) -> None:
        """Reads the manifest's shard files on the workers, in order, each
        checked against its entry first: a shard lost later is read again
        from its file, and checked again."""
        futures = [self._shards.submit(_tasks.read_shard, os.path.join(path, entry["file"]),
                                       position, _file_entry(entry))
                   for position, entry in enumerate(entries)]
        self._shards.settle(futures)
        offset = 0
        for future, entry in zip(futures, entries):
            self._shards.add([ShardRef(future, offset, entry["vectors"], entry_of(entry))])
            offset += entry["vectors"]


def _file_entry(entry: Dict[str, Any]) -> Dict[str, Any]:
    return {name: entry[name] for name in ("vectors", "count", "dim", "kind", "metric", "bytes")}


def positive(name: str, value: object) -> int:
    number = as_count(name, value)
    if number == 0:
        raise ValueError(f"{name} must be at least 1, got 0")
    return number
