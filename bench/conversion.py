"""Conversion between Python dicts and stored documents: quillmere against
json.dumps with sort_keys=True and compact separators (quillmere's canonical
form, except that json escapes non-ASCII text) and json.loads, and against
orjson (dumps with OPT_SORT_KEYS, loads), the fastest JSON library for Python.

quillmere converts only inside its API, so each of its figures is the API call
that does the least besides converting:

- dict -> document: insert_many of a chunk of records smaller than the write
  queue (10000 operations) into a new engine. The call converts each dict to
  its stored text and puts it on the queue, then returns; it never waits for
  the queue or the disk, and the commit (close_engine) is not timed. Beside
  the conversion it pays for unpacking the (id, dict) pairs and one queue
  push per record, and the background writer starts applying the records
  meanwhile on its own thread (without the interpreter lock, but on a core
  of the same machine), so the figure is a lower bound of the conversion
  speed.
- document -> dict: scan_prefix("") over an engine holding exactly those
  records, after a first untimed scan so that every page is in SQLite's
  cache. The call copies the stored texts out of cached pages without the
  interpreter lock, then parses each one and builds its dict; the page reads
  and copies are counted too, so again a lower bound.

json and orjson convert the same documents: dumps of the dicts, and loads of
the very texts quillmere stored (read back from its file; json.loads gets
them as str, as a sqlite3 TEXT column gives them, orjson as bytes). Every
figure is the best of a few repetitions.
"""

import json
import math
import sqlite3
from functools import partial

import orjson
from quillmere import DBEngine

from bench.measure import Measurement, best_of, timed

DICT_TO_DOCUMENT = "dict -> document"
DOCUMENT_TO_DICT = "document -> dict"
CONVERSION_WORKLOADS = (DICT_TO_DOCUMENT, DOCUMENT_TO_DICT)


def quillmere_dumps(records, directory, repeats):
    """(best seconds of insert_many into a new engine, the last engine, its file)"""
    best = math.inf
    for number in range(repeats):
        path = directory / f"conversion{number}.db"
        engine = DBEngine(str(path))  # the previous engine is released here
        best = min(best, timed(partial(engine.insert_many, records)))
        engine.close_engine()
    return best, engine, path


def conversion_workloads(dataset, sizes, directory):
    repeats = sizes.conversion_repeats
    records = dataset.records[: sizes.conversion_docs]
    documents = [document for _, document in records]
    directory.mkdir(parents=True)
    quillmere_seconds, engine, path = quillmere_dumps(records, directory, repeats)
    dumps_seconds = {
        "quillmere": quillmere_seconds,
        "json": best_of(
            repeats,
            lambda: [json.dumps(document, sort_keys=True, separators=(",", ":")) for document in documents],
        ),
        "orjson": best_of(
            repeats, lambda: [orjson.dumps(document, option=orjson.OPT_SORT_KEYS) for document in documents]
        ),
    }
    connection = sqlite3.connect(path)
    stored = [body for (body,) in connection.execute("SELECT body FROM documents")]
    connection.close()
    texts = [body.decode() for body in stored]
    engine.scan_prefix("")
    loads_seconds = {
        "quillmere": best_of(repeats, lambda: engine.scan_prefix("")),
        "json": best_of(repeats, lambda: [json.loads(text) for text in texts]),
        "orjson": best_of(repeats, lambda: [orjson.loads(body) for body in stored]),
    }
    return [
        Measurement(dataset.name, workload, subject, "docs/s", len(records), seconds, len(records))
        for workload, by_subject in ((DICT_TO_DOCUMENT, dumps_seconds), (DOCUMENT_TO_DICT, loads_seconds))
        for subject, seconds in by_subject.items()
    ]
