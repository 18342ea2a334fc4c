"""Leaks: rounds of writes, reads and failing calls on a bounded set of ids, reopening the
engine now and then; the resident set size grows at most by the allowance after a warm-up."""

import gc
import tempfile

from model import finish, options
from quillmere import DBEngine

REOPEN_EVERY, SAMPLE_EVERY = 10000, 5000
STORED = {"stored:not-a-dict": '[1, "two", {"three": [3.5, null]}]',  # documents the reads refuse
          "stored:too-deep": '{"a": ["x", {"b": ' + "[" * 200 + "]" * 200 + "}]}",
          "stored:out-of-range": '{"a": [1, "x", {"y": 2}], "b": 1e400}'}
REFUSED = [("insert", "bad", {"x": object()}), ("insert", "bad", {"x": b"bytes"}), ("insert", "bad", [1]),
           ("insert_json", "bad", '{"x": '), ("insert_many", [("ok", {}), ("bad", {"x": 2**70})]),
           ("insert_many_json", [("bad", "[1,]")]), ("scan_prefix", "stored:")] + [("get", i) for i in STORED]


def refused(db, name, *arguments):
    try:
        getattr(db, name)(*arguments)
    except (RuntimeError, TypeError):
        return
    raise AssertionError(f"{name}{arguments!r} did not raise")


args = options(iterations=100000, allowance_mib=4.0)
directory, samples = tempfile.mkdtemp(prefix="quillmere_leak_"), []
db = DBEngine(f"{directory}/leak.db")
db.insert_many_json(list(STORED.items()))
for i in range(args.iterations):
    if i % REOPEN_EVERY == 0:
        db.close_engine()
        refused(db, "close_engine"), refused(db, "insert", "closed", {})
        del db  # releases the file lock for the next engine
        db = DBEngine(f"{directory}/leak.db")
    document = {"n": i, "tags": ["red", "blue", f"t{i % 7}"], "nested": {"x": i * 0.5, "s": "v" * (i % 64)}}
    db.insert(f"id{i % 500}", document)
    db.upsert(f"id{i % 500}", document)
    db.insert_json(f"j{i % 100}", '{"a": [1, 2, {"b": "c"}], "n": %d}' % i)
    db.insert_many([(f"m{i % 50}", {"k": i}), (f"m{(i + 1) % 50}", {"k": -i})])
    db.insert_many_json([(f"mj{i % 50}", '{"z": null}')])
    if i % 10 == 0:
        db.delete(f"id{(i * 7) % 500}")
    db.get(f"id{i % 500}"), db.get("absent"), db.get_many([f"id{i % 500}", "absent", f"j{i % 100}"])
    if i % 20 == 0:
        db.scan_prefix("m"), db.filter_by_metadata("tags.0", "red")
    for name, *arguments in REFUSED:  # failing calls must release what they took
        refused(db, name, *arguments)
    if (i + 1) % SAMPLE_EVERY == 0:
        gc.collect()
        with open("/proc/self/status") as status:
            samples.append(next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024)
        print(f"  after {i + 1:>7} iterations: VmRSS {samples[-1]:8.1f} MiB")
db.close_engine()
growth = max(samples[-3:]) - samples[max(len(samples) // 5 - 1, 0)]  # the warm-up: the first fifth
failures = [f"VmRSS grew {growth:.1f} MiB after the warm-up"] if growth > args.allowance_mib else []
finish("leak test", failures, f"{args.iterations} iterations, allowance {args.allowance_mib:g} MiB", directory)

