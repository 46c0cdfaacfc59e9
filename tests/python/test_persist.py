"""Saving, loading and pickling through halqen_ext.

The differential tests build random indexes of both classes under every
metric, with and without a schema and metadata, take a copy through each way
there is (file, bytes, pickle, copy, deepcopy) and check that the copy answers
every search exactly as the original and encodes to the same bytes (so every
parameter, vector, level, link and record is the same). With layers=1 every
level draw is 0, so insertions into both give the same graph and the searches
after them must agree too.
"""
import copy
import errno
import json
import math
import os
import pathlib
import pickle
import random
import re
import signal
import stat
import struct
import subprocess
import sys
import textwrap

import pytest

import halqen_ext
from halqen import PyFlat, PyHNSW

FLAT_METRICS = [None, "cosine", "inner_product"]
HNSW_METRICS = ["euclidean", "angular", "inner_product"]
SCHEMA = ["color", "size"]
COLORS = ["red", "green", "blue"]


def bits(value):
    """A float's bit pattern, so NaN results compare equal to themselves."""
    return struct.pack("<d", value)


def canonical(results):
    """Search results with every float replaced by its bits."""
    out = []
    for first, second in results:
        if isinstance(second, list):  # PyHNSW: (distance, vector)
            out.append((bits(first), [bits(x) for x in second]))
        else:  # PyFlat: (id, distance)
            out.append((first, bits(second)))
    return out


def random_vector(rng, dim):
    vector = [rng.gauss(0.0, 1.0) for _ in range(dim)]
    if dim and rng.random() < 0.05:
        vector[rng.randrange(dim)] = math.nan
    return vector


def random_metadata(rng):
    return [("color", rng.choice(COLORS)), ("size", rng.choice([1, 2, 2.5, "big"]))]


def build_flat(rng, metric, count, dim):
    index = PyFlat(dim, metric=metric)
    if count:
        index.create([random_vector(rng, dim) for _ in range(count)])
    return index


def build_hnsw(rng, metric, count, dim, schema, layers=5):
    index = PyHNSW(dim, layers=layers, ef_construction=24, ef_search=16, metric=metric,
                   schema=schema)
    for _ in range(count):
        with_metadata = schema is not None and rng.random() < 0.8
        index.insert(random_vector(rng, dim),
                     metadata=random_metadata(rng) if with_metadata else None)
    return index


def searches(index, rng, dim, filtered):
    """Answers to a fixed set of queries, with filters where the index has a schema."""
    answers = []
    for _ in range(12):
        query = [rng.gauss(0.0, 1.0) for _ in range(dim)]
        k = rng.choice([1, 3, 10, 1000])
        if isinstance(index, PyFlat):
            answers.append(canonical(index.search(query, k=k)))
            continue
        answers.append(canonical(index.search(query, k=k)))
        if filtered:
            answers.append(canonical(index.search(query, k=k,
                                                  filter=("color", rng.choice(COLORS)))))
    return answers


def copies(index, tmp_path):
    """The index taken through every way of copying it."""
    path = tmp_path / "index.halqen"
    halqen_ext.write_index(index, path)
    yield "file", halqen_ext.read_index(path)
    yield "file by str", halqen_ext.read_index(str(path))
    yield "bytes", halqen_ext.deserialize_index(halqen_ext.serialize_index(index))
    yield "bytearray", halqen_ext.deserialize_index(bytearray(halqen_ext.serialize_index(index)))
    yield "pickle", pickle.loads(pickle.dumps(index, protocol=pickle.HIGHEST_PROTOCOL))
    yield "pickle 2", pickle.loads(pickle.dumps(index, protocol=2))
    yield "copy", copy.copy(index)
    yield "deepcopy", copy.deepcopy(index)


def assert_same(original, loaded, dim, seed, filtered):
    assert type(loaded) is type(original)
    assert loaded is not original
    assert halqen_ext.serialize_index(loaded) == halqen_ext.serialize_index(original)
    assert searches(loaded, random.Random(seed), dim, filtered) == \
        searches(original, random.Random(seed), dim, filtered)


@pytest.mark.parametrize("metric", FLAT_METRICS)
@pytest.mark.parametrize("count, dim", [(0, 3), (1, 1), (150, 7), (4, 0)])
def test_flat_copies_answer_and_grow_like_the_original(metric, count, dim, tmp_path):
    rng = random.Random(f"{metric}-{count}-{dim}")
    original = build_flat(rng, metric, count, dim)
    more = [random_vector(rng, dim) for _ in range(20)]
    for how, loaded in copies(original, tmp_path):
        if count and dim:
            assert_same(original, loaded, dim, count, filtered=False)
        assert halqen_ext.serialize_index(loaded) == halqen_ext.serialize_index(original), how
        grown_original = copy.deepcopy(original)
        grown_original.create(more)
        loaded.create(more)
        if dim:
            assert_same(grown_original, loaded, dim, count + 1, filtered=False)
        assert halqen_ext.serialize_index(loaded) == \
            halqen_ext.serialize_index(grown_original), how


@pytest.mark.parametrize("metric", HNSW_METRICS)
@pytest.mark.parametrize("schema", [None, [], SCHEMA])
def test_hnsw_copies_answer_like_the_original(metric, schema, tmp_path):
    rng = random.Random(f"{metric}-{schema}")
    original = build_hnsw(rng, metric, 120, 6, schema)
    for how, loaded in copies(original, tmp_path):
        assert_same(original, loaded, 6, 7, filtered=schema == SCHEMA), how


@pytest.mark.parametrize("metric", HNSW_METRICS)
@pytest.mark.parametrize("schema", [None, SCHEMA])
def test_hnsw_copies_continue_ids_and_graph(metric, schema, tmp_path):
    rng = random.Random(f"grow-{metric}-{schema}")
    original = build_hnsw(rng, metric, 80, 5, schema, layers=1)
    more = [(random_vector(rng, 5), random_metadata(rng) if schema else None) for _ in range(40)]
    for how, loaded in copies(original, tmp_path):
        grown = pickle.loads(pickle.dumps(original))
        for vector, metadata in more:
            grown.insert(vector, metadata=metadata)
            loaded.insert(vector, metadata=metadata)
        assert_same(grown, loaded, 5, 11, filtered=schema is not None), how


def test_empty_and_degenerate_indexes_round_trip(tmp_path):
    indexes = [
        PyFlat(0), PyFlat(3, metric="cosine"),
        PyHNSW(2, metric="euclidean"), PyHNSW(2, layers=0, metric="angular", schema=[]),
        build_hnsw(random.Random(1), "euclidean", 10, 3, None, layers=0),
    ]
    unlinked = PyHNSW(2, ef_construction=0, metric="euclidean")
    unlinked.insert([0.0, 0.0])
    with pytest.raises(ValueError, match="Insert error: InvalidEF"):
        unlinked.insert([1.0, 1.0])
    indexes.append(unlinked)
    for index in indexes:
        for _, loaded in copies(index, tmp_path):
            assert halqen_ext.serialize_index(loaded) == halqen_ext.serialize_index(index)


def test_only_the_two_index_classes_are_accepted(tmp_path):
    for wrong in [None, 3, "index", object(), [PyFlat(1)], PyFlat]:
        with pytest.raises(TypeError):
            halqen_ext.serialize_index(wrong)
        with pytest.raises(TypeError):
            halqen_ext.write_index(wrong, tmp_path / "x")
    assert list(tmp_path.iterdir()) == []
    for wrong_path in [None, 3, b"bytes path"]:
        with pytest.raises(TypeError):
            halqen_ext.write_index(PyFlat(1), wrong_path)
    for wrong_data in [None, 3, "text", [1, 2]]:
        with pytest.raises(TypeError):
            halqen_ext.deserialize_index(wrong_data)


def test_bad_bytes_raise_value_error_naming_the_fault():
    good = halqen_ext.serialize_index(build_hnsw(random.Random(2), "euclidean", 12, 3, SCHEMA))
    cases = [
        (b"", "not a halqen index file"),
        (b"PK\x03\x04 a zip file, not an index", "not a halqen index file"),
        (good[:-1], "truncated: expected 4 bytes"),
        (good[:100], "truncated: expected "),
        (good + b"\0", "trailing data: 1 bytes after the last section"),
        (good[:8] + struct.pack("<I", 7) + good[12:], "unsupported format version 7"),
        (good[:200] + bytes([good[200] ^ 1]) + good[201:], "checksum mismatch in the vectors section"),
    ]
    for data, message in cases:
        with pytest.raises(ValueError) as raised:
            halqen_ext.deserialize_index(data)
        assert str(raised.value).startswith(message), (message, str(raised.value))
    for view in [memoryview(good), bytearray(good)]:
        assert halqen_ext.serialize_index(halqen_ext.deserialize_index(view)) == good
    numpy = pytest.importorskip("numpy")
    as_array = numpy.frombuffer(good, dtype=numpy.uint8)
    assert halqen_ext.serialize_index(halqen_ext.deserialize_index(as_array)) == good


def test_paths_raise_the_usual_os_errors(tmp_path):
    missing = tmp_path / "missing.halqen"
    with pytest.raises(FileNotFoundError) as raised:
        halqen_ext.read_index(missing)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == str(missing)
    with pytest.raises(IsADirectoryError):
        halqen_ext.read_index(tmp_path)
    with pytest.raises(FileNotFoundError):
        halqen_ext.write_index(PyFlat(1), tmp_path / "no" / "such" / "dir")
    with pytest.raises(OSError):
        halqen_ext.write_index(PyFlat(1), tmp_path)  # a directory cannot be replaced
    assert list(tmp_path.iterdir()) == []
    text_file = tmp_path / "notes.txt"
    text_file.write_text("hello\n")
    with pytest.raises(ValueError, match="not a halqen index file"):
        halqen_ext.read_index(text_file)


def test_writing_replaces_the_file_whole_and_leaves_nothing_beside_it(tmp_path):
    path = tmp_path / "index.halqen"
    small = PyFlat(2)
    small.insert([1.0, 2.0])
    halqen_ext.write_index(small, path)
    large = build_hnsw(random.Random(3), "angular", 50, 4, SCHEMA)
    halqen_ext.write_index(large, os.fspath(path))
    assert path.read_bytes() == halqen_ext.serialize_index(large)
    assert [p.name for p in tmp_path.iterdir()] == ["index.halqen"]


def test_writing_keeps_the_mode_owner_and_group_of_the_file_it_replaces(tmp_path):
    index = PyFlat(1)
    index.insert([1.0])
    path = tmp_path / "private.halqen"
    path.write_bytes(b"old")
    path.chmod(0o600)
    owner = (1234, 5678) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    if os.geteuid() == 0:
        os.chown(path, *owner)
    halqen_ext.write_index(index, path)
    status = path.stat()
    assert (status.st_mode & 0o7777, status.st_uid, status.st_gid) == (0o600, *owner)
    assert path.read_bytes() == halqen_ext.serialize_index(index)
    fresh = tmp_path / "fresh.halqen"
    umask = os.umask(0o027)
    try:
        halqen_ext.write_index(index, fresh)
    finally:
        os.umask(umask)
    assert fresh.stat().st_mode & 0o7777 == 0o640


def test_writing_follows_links_and_refuses_what_is_not_a_regular_file(tmp_path):
    index = PyFlat(1)
    index.insert([2.0])
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "index.halqen"
    target.write_bytes(b"old")
    link = tmp_path / "current.halqen"
    link.symlink_to(os.path.join("data", "index.halqen"))  # relative to the link's directory
    chained = tmp_path / "chained.halqen"
    chained.symlink_to(link)
    halqen_ext.write_index(index, chained)
    assert chained.is_symlink() and link.is_symlink()
    assert target.read_bytes() == halqen_ext.serialize_index(index)
    dangling = tmp_path / "dangling.halqen"
    dangling.symlink_to(tmp_path / "data" / "new.halqen")
    halqen_ext.write_index(index, dangling)
    assert dangling.is_symlink() and (tmp_path / "data" / "new.halqen").read_bytes() == target.read_bytes()

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match="not a regular file: the path is a FIFO") as raised:
        halqen_ext.write_index(index, fifo)
    assert raised.value.filename == str(fifo)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    looping = tmp_path / "loop"
    looping.symlink_to(looping)
    with pytest.raises(OSError) as raised:
        halqen_ext.write_index(index, looping)
    assert raised.value.errno == errno.ELOOP
    assert sorted(p.name for p in (tmp_path / "data").iterdir()) == ["index.halqen", "new.halqen"]


def test_writing_leaves_no_temporary_file_and_takes_the_longest_names(tmp_path):
    index = PyFlat(1)
    index.insert([3.0])
    longest = tmp_path / ("n" * 255)
    halqen_ext.write_index(index, longest)
    assert halqen_ext.read_index(longest).search([3.0]) == [(0, 0.0)]
    # A write killed half way (by the file size limit's SIGXFSZ) leaves the
    # old file and nothing else.
    path = tmp_path / "index.halqen"
    halqen_ext.write_index(index, path)
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import resource, signal, halqen_ext
        from halqen import PyFlat
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # Python ignores it
        big = PyFlat(1024)
        big.create([[1.0] * 1024] * 256)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))
        halqen_ext.write_index(big, {str(path)!r})
        """)])
    assert child.returncode == -signal.SIGXFSZ
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([longest.name, path.name])
    assert path.read_bytes() == halqen_ext.serialize_index(index)


SPARSE_READER = """
import json, os, resource, signal, struct, sys
import halqen_ext

GIB = 2**30


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 & -(crc & 1))
    return crc ^ 0xFFFFFFFF


def sparse_flat_file(path, count):
    # A header claiming `count` vectors of dim 1 and a vectors section of
    # that length; the rest of the file is a hole that reads as zeros.
    header = struct.pack("<8sIIIIQQQQQQ", b"\\x89HALQEN\\n", 1, 1, 0, 2, 1, count, 0, 0, 0, 0)
    head = struct.pack("<IIQ", 1, 0, 8 * count)
    with open(path, "wb") as stream:
        stream.write(header + struct.pack("<II", crc32c(header), 0) + head)
        stream.truncate(80 + 16 + 8 * count + 4 + 16 + count + 4)


def status(field):
    with open("/proc/self/status") as stream:
        return next(int(line.split()[1]) * 1024 for line in stream if line.startswith(field))


def attempt(path, seconds_to_interrupt):
    # The timer signal comes from the kernel, as Ctrl-C does from the
    # terminal, and raises what Ctrl-C raises.
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, seconds_to_interrupt)
    try:
        halqen_ext.read_index(path)
        outcome = "loaded"
    except BaseException as error:
        outcome = f"{type(error).__name__}: {error}"
    signal.setitimer(signal.ITIMER_REAL, 0)
    return outcome


directory = sys.argv[1]
sparse_flat_file(os.path.join(directory, "large"), GIB // 2)  # 4 GiB of vectors claimed
sparse_flat_file(os.path.join(directory, "huge"), 2 * GIB)  # 16 GiB
resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + 6 * GIB, resource.RLIM_INFINITY))
resident = status("VmRSS")
stopped = attempt(os.path.join(directory, "large"), 0.1)
result = {"stopped": stopped, "kept": status("VmRSS") - resident,
          "over_limit": attempt(os.path.join(directory, "huge"), 3600)}
print(json.dumps(result))
os._exit(0)
"""


# The sanitizer's allocator aborts where an address-space limit is reached,
# and its red zones and quarantine inflate every peak.
SANITIZED = os.environ.get("HALQEN_SANITIZED") == "1"


@pytest.mark.skipif(not sys.platform.startswith("linux") or SANITIZED,
                    reason="reads /proc/self/status; measures the allocator's own figures")
def test_a_sparse_file_claiming_gigabytes_is_read_as_it_arrives(tmp_path):
    """The header's count is never allocated up front: Ctrl-C stops the read
    and frees what it held, and running out of memory names the claim."""
    completed = subprocess.run([sys.executable, "-c", SPARSE_READER, str(tmp_path)],
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    result = json.loads(completed.stdout)
    assert result["stopped"] == "KeyboardInterrupt: "
    assert result["kept"] < 64 * 2**20
    assert result["over_limit"].startswith(
        "MemoryError: out of memory reading the vectors section: 17179869184 bytes claimed")


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ CRC32C_TABLE[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF


def _crc32c_entry(byte):
    for _ in range(8):
        byte = (byte >> 1) ^ (0x82F63B78 if byte & 1 else 0)
    return byte


CRC32C_TABLE = [_crc32c_entry(byte) for byte in range(256)]


def section(tag, payload):
    head = struct.pack("<IIQ", tag, 0, len(payload))
    return head + payload + struct.pack("<I", crc32c(head + payload))


def paired_high_graph(count, layers=64):
    """The largest in-memory graph per file byte: dim 0, every node at the
    top level (a sub-list for each of 31 layers) and linked to one other node
    (so that every sub-list holds an id), ids past 16 bits."""
    header = struct.pack("<8sIIIIQQQQQQ", b"\x89HALQEN\n", 1, 2, 0, 6, 0, count, layers, 16, 200, 50)
    partners = b"".join(struct.pack("<I", node ^ 1) for node in range(count))
    return (header + struct.pack("<II", crc32c(header), 0) + section(1, b"") + section(2, bytes(count))
            + section(3, struct.pack("<Q", layers - 1) * count)
            + section(4, b"".join(struct.pack("<Q", node) for node in range(count + 1)) + partners)
            + section(5, b"\0") + section(6, bytes(8 * count)))


PEAK_OF_LOAD = """
import sys, halqen_ext
def field(name):
    with open("/proc/self/status") as stream:
        return next(int(line.split()[1]) * 1024 for line in stream if line.startswith(name))
with open("/proc/self/clear_refs", "w") as stream:
    stream.write("5")  # the peak so far is forgotten
resident = field("VmRSS")
try:
    outcome = type(halqen_ext.read_index(sys.argv[1])).__name__
except ValueError as error:
    outcome = str(error)
print(field("VmHWM") - resident)
print(outcome)
"""
MIB = 2**20
FILE_FORMAT = pathlib.Path(__file__).resolve().parents[2] / "docs" / "file-format.md"


@pytest.mark.skipif(not sys.platform.startswith("linux") or SANITIZED,
                    reason="reads /proc/self/status; measures the allocator's own figures")
def test_what_a_file_can_make_a_load_allocate_is_bounded_by_its_size(tmp_path):
    """The bounds of docs/file-format.md, at the files that come nearest."""
    documented = dict(re.findall(r"^\| `(\w+)` \| (\d+) × S \+ 1 MiB \|", FILE_FORMAT.read_text(), re.MULTILINE))
    flat = PyFlat(0)
    flat.create([[]] * 1_000_000)
    graph = paired_high_graph(70_000)
    cases = [("flat", halqen_ext.serialize_index(flat), int(documented["PyFlat"])),
             ("graph", graph, int(documented["PyHNSW"]))]
    for name, data, factor in cases:
        path = tmp_path / name
        path.write_bytes(data)
        peak, outcome = peak_of_load(path)
        assert peak <= factor * len(data) + MIB, (name, peak, len(data), outcome)
    assert peak > 48 * len(graph)  # the graph file does come near its bound


def peak_of_load(path):
    """The memory a load of `path` took at its peak, and the class it loaded
    or the reason it was refused."""
    completed = subprocess.run([sys.executable, "-c", PEAK_OF_LOAD, str(path)],
                               capture_output=True, text=True, timeout=120, check=True)
    peak, outcome = completed.stdout.split("\n", 1)
    return int(peak), outcome.strip()


def graph_index_file(count, m, level, chained):
    """A GraphIndex file of `count` nodes of dim 1, all at `level`: linked on
    layer 0 each to the next (so that the entry, node 0, reaches them all),
    or not linked at all."""
    header = struct.pack("<8sIIIIQQQQQQ", b"\x89HALQEN\n", 2, 3, 0, 6, 1, count, level + 1, m, 16, 16)
    lists = []
    for node in range(count):
        linked = chained and node + 1 < count
        lists.append(struct.pack("<II", 1, node + 1) if linked else struct.pack("<I", 0))
        lists.append(bytes(4 * level))  # empty upper lists
    return (header + struct.pack("<II", crc32c(header), 0)
            + section(1, struct.pack(f"<{count}d", *range(count))) + section(3, bytes([level]) * count)
            + section(4, b"".join(lists)) + section(5, b"\0") + section(6, b"")
            + section(10, struct.pack("<QQ", 0, count)))


@pytest.mark.skipif(not sys.platform.startswith("linux") or SANITIZED,
                    reason="reads /proc/self/status; measures the allocator's own figures")
def test_a_graph_index_file_makes_a_load_allocate_at_most_its_documented_factor(tmp_path):
    """m sets the size of every link list however few links a file holds:
    files of the largest m with empty lists on 25 layers or on one are
    refused, and the file that comes nearest the bound loads."""
    documented = dict(re.findall(r"^\| `(\w+)` \| (\d+) × S \+ 1 MiB \|", FILE_FORMAT.read_text(), re.MULTILINE))
    factor = int(documented["GraphIndex"])
    cases = {"high": graph_index_file(2000, 1024, 24, chained=False),
             "wide": graph_index_file(2000, 1024, 0, chained=False),
             "nearest": graph_index_file(20_000, 134, 0, chained=True)}
    for name, data in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        peak, outcome = peak_of_load(path)
        assert peak <= factor * len(data) + MIB, (name, peak, len(data), outcome)
        assert (outcome == "GraphIndex") == (name == "nearest"), (name, outcome)
    assert peak > 48 * len(cases["nearest"])  # the nearest file does come near the bound


class Reenter:
    """A vector component whose conversion calls back into halqen_ext."""

    def __init__(self, action):
        self.action, self.error = action, None

    def __float__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.error = str(exc)
        return 0.0


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_writing_takes_a_shared_borrow(cls, tmp_path):
    index = PyFlat(1) if cls is PyFlat else PyHNSW(1, metric="euclidean")
    index.insert([0.0])
    during_insert = Reenter(lambda: halqen_ext.write_index(index, tmp_path / "x"))
    index.insert([during_insert])
    assert during_insert.error == "Already mutably borrowed"
    assert not (tmp_path / "x").exists()
    during_search = Reenter(lambda: halqen_ext.serialize_index(index))
    index.search([during_search])
    assert during_search.error is None  # shared borrows coexist
    assert halqen_ext.deserialize_index(halqen_ext.serialize_index(index)) is not None


def test_importing_registers_pickling_without_touching_the_classes():
    assert "__reduce__" not in vars(PyFlat) and "__reduce_ex__" not in vars(PyFlat)
    assert "__reduce__" not in vars(PyHNSW) and "__reduce_ex__" not in vars(PyHNSW)
    index = PyFlat(2)
    index.insert([3.0, 4.0])
    restored = pickle.loads(pickle.dumps([index, index]))
    assert restored[0] is restored[1]  # pickle's memo keeps shared references shared
    assert restored[0].search([3.0, 4.0]) == [(0, 0.0)]


GOLDEN = pathlib.Path(__file__).resolve().parents[1] / "data"


def golden_vectors(count, dim):
    """The vectors the golden files were written from (see tests/data/make_golden.py)."""
    rng = random.Random(20240611)
    return [[round(rng.uniform(-1.0, 1.0), 3) for _ in range(dim)] for _ in range(count)]


def test_golden_files_of_format_version_1_still_read():
    from reference import cosine, flat_search

    vectors = golden_vectors(40, 4)
    flat = halqen_ext.read_index(GOLDEN / "flat-cosine-v1.halqen")
    assert isinstance(flat, PyFlat)
    for query in golden_vectors(45, 4)[40:]:
        assert flat.search(query, k=40) == flat_search(vectors, query, 40, cosine)

    hnsw = halqen_ext.read_index(GOLDEN / "hnsw-euclidean-v1.halqen")
    assert isinstance(hnsw, PyHNSW)
    # layers=1 makes the build deterministic: a fresh build must be identical.
    fresh = PyHNSW(4, layers=1, m=8, ef_construction=10, ef_search=6, metric="euclidean",
                   schema=["parity"])
    for i, vector in enumerate(vectors):
        fresh.insert(vector, metadata=[("parity", i % 2)])
    for query in golden_vectors(45, 4)[40:]:
        for flt in [None, ("parity", 0), ("parity", 1)]:
            assert canonical(hnsw.search(query, k=5, filter=flt)) == \
                canonical(fresh.search(query, k=5, filter=flt))
    assert halqen_ext.serialize_index(hnsw) == halqen_ext.serialize_index(fresh)


def test_docs_spawn_pool_example_runs(tmp_path):
    """The multiprocessing example of docs/saving-and-loading.md, run as the
    script it is."""
    import ast
    import re
    import subprocess
    import sys

    page = pathlib.Path(__file__).resolve().parents[2] / "docs" / "saving-and-loading.md"
    blocks = re.findall(r"^```python\n(.*?)^```$", page.read_text(encoding="utf-8"),
                        re.DOTALL | re.MULTILINE)
    block = next(b for b in blocks if "get_context(\"spawn\")" in b)
    script = tmp_path / "pool_example.py"
    script.write_text(block, encoding="utf-8")
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=300, check=True)
    printed = ast.literal_eval(run.stdout.strip())
    promised = ast.literal_eval(block.split("print(results)  # ", 1)[1].strip())
    assert printed == promised
    index = PyFlat(2)
    index.create([[0.0, 0.0], [3.0, 4.0], [6.0, 8.0]])
    assert printed == [index.search(q, k=2) for q in [[0.0, 1.0], [6.0, 7.0]]]
