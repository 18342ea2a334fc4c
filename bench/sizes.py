"""How much work a run does: the full run and the quick smoke run."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Sizes:
    synthetic_docs: int  # documents of the synthetic set
    cities_docs: int  # cap on the cities of the real set
    single_inserts: int  # documents written with one insert call each
    gets: int  # random get calls
    get_many_calls: int  # calls of get_many, each with `get_many_ids` ids
    get_many_ids: int
    filter_queries: int  # distinct queries per filter selectivity
    thread_gets: int  # get calls shared out among the reader threads
    conversion_docs: int  # documents per conversion timing (below the write queue's 10000)
    conversion_repeats: int  # conversion timings, the best one counts
    memory_docs: int  # documents of the memory run
    memory_chunk: int  # documents per insert_many call of the memory run
    wal_frames: int  # Insert frames of the WAL file that DBEngineWebServer replays
    audit_batches: int  # insert_many calls of 10,000 records of the audit log run
    audit_singles: int  # single inserts of the audit log run, after its batches
    budget: float  # seconds a timed pass of a read workload may take per store
    passes: int  # timed passes of a read workload, the fastest one counts
    warmup: float  # seconds of untimed, checked calls before a read workload
    seed: int = 20240601


FULL = Sizes(
    synthetic_docs=100_000,
    cities_docs=100_000,
    single_inserts=100_000,
    gets=20_000,
    get_many_calls=200,
    get_many_ids=100,
    filter_queries=50,
    thread_gets=40_000,
    conversion_docs=5_000,
    conversion_repeats=5,
    memory_docs=1_000_000,
    memory_chunk=10_000,
    wal_frames=1_000_000,
    audit_batches=20,
    audit_singles=30_000,
    budget=2.0,
    passes=5,
    warmup=0.3,
)

QUICK = Sizes(
    synthetic_docs=10_000,
    cities_docs=5_000,
    single_inserts=10_000,
    gets=2_000,
    get_many_calls=20,
    get_many_ids=100,
    filter_queries=10,
    thread_gets=4_000,
    conversion_docs=2_000,
    conversion_repeats=3,
    memory_docs=100_000,
    memory_chunk=10_000,
    wal_frames=50_000,
    audit_batches=2,
    audit_singles=5_000,
    budget=0.5,
    passes=1,
    warmup=0.1,
)
