"""Coverage-guided fuzzing of the index file reader (halqen_ext).

Each input either goes to deserialize_index as it is, or edits one of a few
valid small files (every class, with and without schema, metadata and the
caller's ids): bit
flips, truncation at any offset, fields and lengths overwritten with 2^64-1
or other values, neighbour ids out of range, then (by choice) the header and
section checksums recomputed so the edit reaches the checks behind them.
The reader must either raise ValueError with a message, or return an index
that then searches, grows and saves like any other. Anything else (another
exception, a crash, a sanitizer report) is a finding.

    python fuzz/fuzz_reader.py [libFuzzer flags] [corpus dirs]
    python fuzz/fuzz_reader.py --replay FILE...     (no atheris needed)
    python fuzz/fuzz_reader.py --seeds DIR          (writes the seed files)
"""
import os
import struct
import sys
import tempfile

if __name__ == "__main__" and sys.argv[1:2] not in (["--replay"], ["--seeds"]):
    import atheris

    instrumented = atheris.instrument_func
else:
    def instrumented(function):
        return function

HEADER_BYTES = 80
HEADER_CHECKSUM_OFFSET = 72
SECTION_HEAD_BYTES = 16
CHECKSUM_BYTES = 4
MAX_U64 = 2**64 - 1
DIM_OFFSET = 24
MAX_EXERCISED_DIM = 64
INTERESTING_U64 = [MAX_U64, 2**63, 2**32, 2**32 - 1, 2**31, 0, 1, 7, 255]


def crc32c_table():
    table = []
    for byte in range(256):
        crc = byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x82F63B78 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC_TABLE = crc32c_table()


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ CRC_TABLE[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF


def sections(data):
    """(start, payload length) of each section frame that fits in `data`."""
    found, offset = [], HEADER_BYTES
    while offset + SECTION_HEAD_BYTES <= len(data):
        (length,) = struct.unpack_from("<Q", data, offset + 8)
        end = offset + SECTION_HEAD_BYTES + length + CHECKSUM_BYTES
        if end > len(data):
            break
        found.append((offset, length))
        offset = end
    return found


def reseal(data):
    """Recomputes the header's and every complete section's checksum."""
    if len(data) >= HEADER_BYTES:
        struct.pack_into("<I", data, HEADER_CHECKSUM_OFFSET, crc32c(data[:HEADER_CHECKSUM_OFFSET]))
    for start, length in sections(data):
        covered = data[start:start + SECTION_HEAD_BYTES + length]
        struct.pack_into("<I", data, start + len(covered), crc32c(covered))


def seed_indexes():
    from halqen import PyFlat, PyHNSW
    from halqen_ext import GraphIndex, PartitionIndex

    flat = PyFlat(3, metric="cosine")
    flat.create([[1.0, 0.0, 2.0], [0.5, -1.0, 0.0], [0.0, 0.0, 0.0]])
    plain = PyHNSW(2, layers=3, ef_construction=4, ef_search=3, metric="euclidean")
    tagged = PyHNSW(2, layers=2, ef_construction=3, ef_search=4, metric="angular",
                    schema=["color", "size"])
    for i in range(7):
        vector = [float(i % 3), float(i) / 2.0]
        plain.insert(vector)
        tagged.insert(vector, metadata=[("color", "red" if i % 2 else "blue"),
                                        ("size", [1, 2.5, "big"][i % 3])] if i != 4 else None)
    # Appended after the first five, so the committed seeds keep their meaning.
    graph = GraphIndex(2, "angular", m=2, ef_construction=4, ef_search=3, seed=5,
                       schema=["color"])
    graph.add([[1.0 + i % 3, float(i) / 2.0] for i in range(6)])
    graph.add([[0.5, -1.0 - i] for i in range(3)], ids=[40, 9, 77],
              metadata=[[("color", "red")], [("color", 2)], [("color", 0.5)]])
    # Free slots (optional section 8): three removed, one id replaced into the lowest.
    churned = GraphIndex(3, "euclidean", m=2, ef_construction=4, seed=2, schema=["k"])
    churned.add([[float(i), 1.0 - i, i / 4.0] for i in range(8)],
                metadata=[[("k", i % 2)] for i in range(8)])
    churned.remove([1, 4, 6])
    churned.add([[9.0, 9.0, 9.0]], ids=[3])
    # Rows held to a width (optional section 12), and an adaptive index that
    # widened, then lost the one row that made it.
    held = GraphIndex(2, "inner_product", m=2, ef_construction=4, storage="float32")
    held.add([[0.1 * i, 1.0] for i in range(5)])
    widened = GraphIndex(2, "euclidean", m=2, ef_construction=4)
    widened.add([[float(i), 2.0] for i in range(4)] + [[0.1, 0.2]])
    widened.remove([4])
    # A partition index trained on a sample (centroids, code books, lists
    # with their codes and exceptions), its ids its own, one removed.
    partitioned = PartitionIndex(2, "euclidean", partitions=3, seed=1)
    partitioned.add([[float(i % 4), i / 3.0] for i in range(9)], ids=[5 * i + 1 for i in range(9)])
    partitioned.train([[float(i % 5), (i * 7 % 11) / 2.0] for i in range(20)])
    partitioned.add([[100.0, -100.0]])
    partitioned.remove([6])
    return [flat, plain, tagged, PyFlat(0), PyHNSW(1, metric="inner_product", schema=[]),
            graph, GraphIndex(3, "euclidean"), churned, held, widened, partitioned,
            PartitionIndex(3, "angular")]


class Draw:
    """The fuzzer's choices, read from the input bytes (zeros once they run out)."""

    def __init__(self, data):
        self.data, self.position = data, 0

    def below(self, n):
        if n <= 1:
            return 0
        chunk = self.data[self.position:self.position + 4].ljust(4, b"\0")
        self.position += 4
        return int.from_bytes(chunk, "little") % n

    def exhausted(self):
        return self.position >= len(self.data)


@instrumented
def classify(message):
    """Which check refused the input. The extension itself is not compiled for
    coverage, so each kind of refusal is a branch here: reaching a new one is
    new coverage, which steers the fuzzer towards the checks deeper in."""
    if message.startswith("not a halqen index file"):
        return 1
    if message.startswith("unsupported format version"):
        return 2
    if message.startswith("checksum mismatch in the header"):
        return 3
    if message.startswith("checksum mismatch"):
        return 4
    if message.startswith("truncated"):
        return 5
    if message.startswith("invalid header"):
        return 6
    if message.startswith("expected the"):
        return 7
    if " holds " in message:
        return 8
    if message.startswith("malformed schema"):
        return 9
    if message.startswith("malformed metadata"):
        return 10
    if message.startswith("unknown metadata value tag"):
        return 11
    if message.startswith("the graph offsets"):
        return 12
    if message.startswith("trailing data"):
        return 13
    if "deleted flag" in message:
        return 14
    if "is not valid UTF-8" in message:
        return 23
    if message.startswith("invalid index"):
        if "links to node" in message:
            return 15
        if "itself" in message:
            return 16
        if "twice" in message:
            return 17
        if "link back" in message:
            return 18
        if "level" in message:
            return 19
        if "record" in message or "schema" in message:
            return 20
        if "offsets" in message or "neighbor" in message:
            return 21
        if "past the last slot" in message or "links on layer" in message:
            return 23
        if "ids repeat" in message:
            return 24
        return 22
    if message.startswith("found a section of tag"):
        return 25
    return 0


@instrumented
def edit(draw, data):
    """Applies a few edits of the drawn kinds to `data` (a bytearray)."""
    for _ in range(1 + draw.below(4)):
        if not data:
            return
        kind = draw.below(6)
        if kind == 0:  # flip bits of one byte
            data[draw.below(len(data))] ^= 1 + draw.below(255)
        elif kind == 1:  # truncate
            del data[draw.below(len(data)):]
        elif kind == 2:  # a header field
            offset = 8 + 8 * draw.below(9)
            if offset + 8 <= len(data):
                struct.pack_into("<Q", data, offset, INTERESTING_U64[draw.below(len(INTERESTING_U64))])
        elif kind == 3:  # a section's length
            frames = sections(data)
            if frames:
                start, _ = frames[draw.below(len(frames))]
                struct.pack_into("<Q", data, start + 8,
                                 INTERESTING_U64[draw.below(len(INTERESTING_U64))])
        elif kind == 4:  # a u64 or u32 inside a payload: counts, offsets, ids
            frames = sections(data)
            if frames:
                start, length = frames[draw.below(len(frames))]
                width = 8 if draw.below(2) else 4
                if length >= width:
                    at = start + SECTION_HEAD_BYTES + draw.below(length - width + 1)
                    value = INTERESTING_U64[draw.below(len(INTERESTING_U64))] % (2 ** (8 * width))
                    data[at:at + width] = value.to_bytes(width, "little")
        else:  # append bytes
            data.extend(bytes(draw.below(256) for _ in range(1 + draw.below(8))))


@instrumented
def exercise(index):
    """A loaded index must behave like any other."""
    import halqen_ext
    from halqen import PyFlat, PyHNSW

    blob = halqen_ext.serialize_index(index)
    again = halqen_ext.deserialize_index(blob)
    assert halqen_ext.serialize_index(again) == blob, "re-serialising changed the bytes"
    (dim,) = struct.unpack_from("<Q", blob, DIM_OFFSET)
    if dim > MAX_EXERCISED_DIM:
        return
    vector = [0.5] * dim
    try:
        index.search(vector, k=5)
    except ValueError:
        pass  # an empty flat index, InvalidLayer, InvalidEF
    try:
        if isinstance(index, PyFlat):
            index.insert(vector)
        elif isinstance(index, PyHNSW):
            index.insert(vector, metadata=None)
        else:
            index.add([vector], threads=1)
    except ValueError:
        pass  # InvalidEF for ef_construction 0; a graph's ids used up
    assert halqen_ext.deserialize_index(halqen_ext.serialize_index(index)) is not None


@instrumented
def exercise_mapped(path):
    """The same bytes mapped: what is read at open is checked as a read
    checks it; the arrays used in place are not, and may make any answer,
    but never a read out of bounds."""
    import halqen_ext

    try:
        index = halqen_ext.read_index(path, mmap=True)
    except ValueError as error:
        assert str(error), "a ValueError without a message"
        return
    (dim,) = struct.unpack_from("<Q", halqen_ext.serialize_index(index), DIM_OFFSET)
    if dim > MAX_EXERCISED_DIM:
        return
    try:
        index.search([0.5] * dim, k=5)
    except ValueError:
        pass  # an empty flat index, InvalidLayer, InvalidEF


SEEDS = []
MAPPED_PATH = []


@instrumented
def run_one(data):
    import halqen_ext

    draw = Draw(data)
    mode = draw.below(4)
    if mode == 0:
        candidate = bytearray(data[draw.position:])
    else:
        candidate = bytearray(SEEDS[draw.below(len(SEEDS))])
        edit(draw, candidate)
        if mode >= 2:
            reseal(candidate)
    with open(MAPPED_PATH[0], "wb") as handle:
        handle.write(candidate)
    exercise_mapped(MAPPED_PATH[0])
    try:
        index = halqen_ext.deserialize_index(bytes(candidate))
    except ValueError as error:
        assert str(error), "a ValueError without a message"
        classify(str(error))
        return
    exercise(index)


def setup():
    import halqen_ext

    SEEDS.extend(halqen_ext.serialize_index(index) for index in seed_indexes())
    MAPPED_PATH.append(os.path.join(tempfile.mkdtemp(prefix="halqen-fuzz-"), "mapped.halqen"))


def replay(paths):
    setup()
    count = 0
    for path in paths:
        files = [os.path.join(path, f) for f in sorted(os.listdir(path))] \
            if os.path.isdir(path) else [path]
        for name in files:
            with open(name, "rb") as handle:
                run_one(handle.read())
            count += 1
    print(f"replayed {count} input(s) without findings")


def write_seeds(directory):
    """Inputs that reach each seed unchanged, and each seed given raw."""
    import halqen_ext

    os.makedirs(directory, exist_ok=True)
    for number, index in enumerate(seed_indexes()):
        blob = halqen_ext.serialize_index(index)
        with open(os.path.join(directory, f"raw-{number}"), "wb") as handle:
            handle.write(b"\0\0\0\0" + blob)


def main():
    if sys.argv[1:2] == ["--replay"]:
        replay(sys.argv[2:])
        return
    if sys.argv[1:2] == ["--seeds"]:
        write_seeds(sys.argv[2])
        return
    setup()
    atheris.Setup(sys.argv, run_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
