"""halqen example: similarity search over items with attributes, with filters.

A small catalogue of garments, each with a feature vector and three
attributes (kind, colour, size), goes into a PyHNSW index with a metadata
schema. The example then asks for the items most like a given one, first
without a filter, then restricted to one colour, one kind or one size, and
shows the two rules of filtered search:

- the first vector ever inserted is the permanent entry node every search
  starts from, and a filtered search may return it although it does not
  match, so the caller drops hits that do not match;
- a vector inserted without metadata never matches a filter.

A search returns (distance, vector) pairs; a dict from the vector (as a
tuple) to the item gets the item back.
"""
from __future__ import annotations

import random
from dataclasses import dataclass

from halqen import PyHNSW

DIM = 16
ITEMS = 400
KINDS = ["shirt", "jacket", "scarf", "boots"]
COLOURS = ["black", "white", "navy", "olive"]
SIZES = [1, 2, 3, 4, 5]
SCHEMA = ["kind", "colour", "size"]


@dataclass(frozen=True)
class Item:
    number: int
    kind: str
    colour: str
    size: int
    features: tuple[float, ...]

    def label(self) -> str:
        return f"#{self.number:<3d} {self.colour:5s} {self.kind:6s} size {self.size}"

    def metadata(self) -> list[tuple[str, str | int]]:
        return [("kind", self.kind), ("colour", self.colour), ("size", self.size)]


def make_catalogue(seed: int = 7) -> list[Item]:
    """Items whose features cluster by kind, with some spread by colour and size."""
    rng = random.Random(seed)
    kind_centres = {kind: [rng.uniform(-1.0, 1.0) for _ in range(DIM)] for kind in KINDS}
    items = []
    for number in range(ITEMS):
        kind, colour, size = rng.choice(KINDS), rng.choice(COLOURS), rng.choice(SIZES)
        shade = COLOURS.index(colour) * 0.05
        features = tuple(c + shade + rng.gauss(0.0, 0.3) for c in kind_centres[kind])
        items.append(Item(number, kind, colour, size, features))
    return items


def show(title: str, hits: list[tuple[float, list[float]]],
         by_vector: dict[tuple[float, ...], Item],
         wanted: tuple[str, str | int] | None = None) -> None:
    print(title)
    for distance, vector in hits:
        item = by_vector[tuple(vector)]
        note = ""
        if wanted is not None and getattr(item, wanted[0]) != wanted[1]:
            note = "  <- entry node, does not match: drop it"
        print(f"  {distance:7.4f}  {item.label()}{note}")


def matching(hits: list[tuple[float, list[float]]], by_vector: dict[tuple[float, ...], Item],
             wanted: tuple[str, str | int]) -> list[Item]:
    """The hits that really satisfy the filter (the entry node may not)."""
    name, value = wanted
    items = [by_vector[tuple(vector)] for _, vector in hits]
    return [item for item in items if getattr(item, name) == value]


def main() -> None:
    catalogue = make_catalogue()
    by_vector = {item.features: item for item in catalogue}
    index = PyHNSW(DIM, metric="euclidean", schema=SCHEMA)
    index.create([item.features for item in catalogue],
                 metadata=[item.metadata() for item in catalogue])
    print(f"{len(catalogue)} items, entry node: {catalogue[0].label()}\n")

    query_item = catalogue[123]
    query = list(query_item.features)
    print(f"query: {query_item.label()}\n")
    show("5 most similar items, no filter:", index.search(query, k=5), by_vector)

    for wanted in (("colour", "olive"), ("kind", "boots"), ("size", 1)):
        hits = index.search(query, k=5, filter=wanted)
        show(f"\n5 most similar with {wanted[0]} == {wanted[1]!r}:", hits, by_vector, wanted)
        kept = matching(hits, by_vector, wanted)
        print(f"  {len(kept)} of {len(hits)} hits match")

    # No item is red: the search still returns the entry node, and only it.
    wanted = ("colour", "red")
    hits = index.search(query, k=5, filter=wanted)
    show("\n5 most similar red items (there are none):", hits, by_vector, wanted)
    print(f"  {len(matching(hits, by_vector, wanted))} of {len(hits)} hits match")

    # A vector without metadata is stored and found by plain searches, but
    # never matches a filter.
    plain = [x + 0.001 for x in query]
    index.insert(plain)
    print("\nan unlabelled vector inserted next to the query:")
    print(f"  found by a plain search: {index.search(plain, k=1)[0][1] == plain}")
    filtered = index.search(plain, k=10, filter=("colour", query_item.colour))
    print(f"  found by a search filtered on colour {query_item.colour!r}: "
          f"{any(vector == plain for _, vector in filtered)}")


if __name__ == "__main__":
    main()
