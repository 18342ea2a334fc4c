"""Leaks: many iterations of writes, reads and failing calls on a bounded set
of ids, with the engine closed and reopened now and then. The resident set
size (VmRSS of /proc/self/status) must stay flat after a warm-up: it may not
grow by more than the allowance between the end of the warm-up and the end.

    python tests/stress/leak_test.py [--iterations 100000] [--allowance-mib 4]
"""

import argparse
import gc
import os
import sys
import tempfile

from quillmere import DBEngine


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


class Unconvertible:
    pass


def expect_runtime_error(call, *args):
    try:
        call(*args)
    except RuntimeError:
        return
    raise AssertionError(f"{call.__name__}{args!r} did not raise")


def store_unreadable(db):
    """Documents that the reads refuse after building some of their objects."""
    db.insert_json("stored:not-a-dict", '[1, "two", {"three": [3.5, null]}]')
    db.insert_json("stored:too-deep", '{"a": ["x", {"b": ' + "[" * 200 + "]" * 200 + "}]}")
    db.insert_json("stored:out-of-range", '{"a": [1, "x", {"y": 2}], "b": 1e400}')


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
    db.get(doc_id)
    db.get("absent")
    db.get_many([doc_id, "absent", f"j{i % 100}"])
    if i % 20 == 0:
        db.scan_prefix("m")
        db.filter_by_metadata("tags.0", "red")
    # Failing calls: their error paths must release what they took.
    expect_runtime_error(db.insert, "bad", {"x": Unconvertible()})
    expect_runtime_error(db.insert, "bad", {"x": b"bytes"})
    expect_runtime_error(db.insert_json, "bad", '{"x": ')
    expect_runtime_error(db.insert_many, [("ok", {}), ("bad", {"x": 2**70})])
    expect_runtime_error(db.insert_many_json, [("bad", "[1,]")])
    # Reads that fail part-way through building a document's objects.
    if i % 5 == 0:
        for doc_id in ("stored:not-a-dict", "stored:too-deep", "stored:out-of-range"):
            expect_runtime_error(db.get, doc_id)
        expect_runtime_error(db.scan_prefix, "stored:")
    try:
        db.insert("bad", [1])
    except TypeError:
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--iterations", type=int, default=100000)
    parser.add_argument("--warmup", type=int, default=20000)
    parser.add_argument("--allowance-mib", type=float, default=4)
    parser.add_argument("--reopen-every", type=int, default=10000)
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="quillmere_leak_")
    path = os.path.join(directory, "leak.db")
    db = DBEngine(path)
    store_unreadable(db)
    db.close_engine()
    del db
    db = DBEngine(path)
    samples = []
    baseline = None
    for i in range(args.iterations):
        one_iteration(db, i)
        if (i + 1) % args.reopen_every == 0:
            db.close_engine()
            expect_runtime_error(db.close_engine)
            expect_runtime_error(db.insert, "closed", {})
            del db
            gc.collect()
            db = DBEngine(path)
        if (i + 1) % 5000 == 0:
            gc.collect()
            samples.append((i + 1, rss_kib()))
            if i + 1 == args.warmup:
                baseline = samples[-1][1]
    db.close_engine()
    del db

    for iteration, rss in samples:
        print(f"  after {iteration:>7} iterations: VmRSS {rss / 1024:8.1f} MiB")
    if baseline is None:
        baseline = samples[0][1]
    growth = (max(rss for _, rss in samples[-3:]) - baseline) / 1024
    ok = growth <= args.allowance_mib
    print(f"growth after warm-up: {growth:.1f} MiB (allowance {args.allowance_mib:g} MiB)")
    print(f"leak test: {1 if ok else 0} passed, {0 if ok else 1} failed")
    for name in os.listdir(directory):
        os.unlink(os.path.join(directory, name))
    os.rmdir(directory)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
