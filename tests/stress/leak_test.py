"""Leaks: many iterations of writes, reads and failing calls on a bounded set
of ids, closing and reopening the engine now and then. The resident set size
may not grow by more than the allowance from the end of the warm-up to the end.

    python tests/stress/leak_test.py [--iterations 100000] [--allowance-mib 4]
"""

import argparse
import gc
import os
import tempfile

from model import finish
from quillmere import DBEngine


def rss_mib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024


def refused(call, *args, error=RuntimeError):
    try:
        call(*args)
    except error:
        return
    raise AssertionError(f"{call.__name__}{args!r} did not raise")


def one_iteration(db, i):
    doc_id = f"id{i % 500}"
    document = {"n": i, "tags": ["red", "blue", f"t{i % 7}"], "nested": {"x": i * 0.5, "s": "v" * (i % 64)}}
    db.insert(doc_id, document)
    db.upsert(doc_id, document)
    db.insert_json(f"j{i % 100}", '{"a": [1, 2, {"b": "c"}], "n": %d}' % i)
    db.insert_many([(f"m{i % 50}", {"k": i}), (f"m{(i + 1) % 50}", {"k": -i})])
    db.insert_many_json([(f"mj{i % 50}", '{"z": null}')])
    if i % 10 == 0:
        db.delete(f"id{(i * 7) % 500}")
    db.get(doc_id), db.get("absent")
    db.get_many([doc_id, "absent", f"j{i % 100}"])
    if i % 20 == 0:
        db.scan_prefix("m")
        db.filter_by_metadata("tags.0", "red")
    # Failing calls must release what they took, also part-way through a read.
    refused(db.insert, "bad", {"x": object()})
    refused(db.insert, "bad", {"x": b"bytes"})
    refused(db.insert, "bad", [1], error=TypeError)
    refused(db.insert_json, "bad", '{"x": ')
    refused(db.insert_many, [("ok", {}), ("bad", {"x": 2**70})])
    refused(db.insert_many_json, [("bad", "[1,]")])
    if i % 5 == 0:
        for doc_id in ("stored:not-a-dict", "stored:too-deep", "stored:out-of-range"):
            refused(db.get, doc_id)
        refused(db.scan_prefix, "stored:")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--iterations", type=int, default=100000)
    parser.add_argument("--warmup", type=int, default=20000)
    parser.add_argument("--allowance-mib", type=float, default=4)
    parser.add_argument("--reopen-every", type=int, default=10000)
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="quillmere_leak_")
    db = DBEngine(os.path.join(directory, "leak.db"))
    db.insert_json("stored:not-a-dict", '[1, "two", {"three": [3.5, null]}]')  # documents the reads refuse
    db.insert_json("stored:too-deep", '{"a": ["x", {"b": ' + "[" * 200 + "]" * 200 + "}]}")
    db.insert_json("stored:out-of-range", '{"a": [1, "x", {"y": 2}], "b": 1e400}')
    samples = []
    for i in range(args.iterations):
        if i % args.reopen_every == 0:
            db.close_engine()
            refused(db.close_engine)
            refused(db.insert, "closed", {})
            del db
            gc.collect()
            db = DBEngine(os.path.join(directory, "leak.db"))
        one_iteration(db, i)
        if (i + 1) % 5000 == 0:
            gc.collect()
            samples.append((i + 1, rss_mib()))
            print(f"  after {i + 1:>7} iterations: VmRSS {samples[-1][1]:8.1f} MiB")
    db.close_engine()
    baseline = next((rss for n, rss in samples if n >= args.warmup), samples[0][1])
    growth = max(rss for _, rss in samples[-3:]) - baseline
    failures = [f"VmRSS grew {growth:.1f} MiB after the warm-up"] if growth > args.allowance_mib else []
    finish("leak test", failures, f"{args.iterations} iterations, allowance {args.allowance_mib:g} MiB", directory)


if __name__ == "__main__":
    main()
