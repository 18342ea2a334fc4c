"""A first look at quillmere: write a few documents, read them back, query the
metadata index, and look inside the database file.

Run with `make demo`.
"""

import sqlite3
import tempfile
from pathlib import Path

from quillmere import DBEngine

with tempfile.TemporaryDirectory() as folder:
    path = str(Path(folder) / "quickstart.db")
    db = DBEngine(path)
    db.insert("user:1", {"name": "Ada", "langs": ["en", "fr"], "age": 36})
    db.insert("user:2", {"name": "Grace", "langs": ["en"], "age": 45})
    db.insert_json("user:3", '{"name": "Linus", "age": 21}')
    db.upsert("user:2", {"name": "Grace", "langs": ["en", "es"], "age": 46})
    db.delete("user:3")
    db.close_engine()  # waits until every queued write is committed

    # Reads keep working after close_engine.
    print("get user:1 ->", db.get("user:1"))
    print("get user:3 ->", db.get("user:3"))
    print("get_many ->", db.get_many(["user:2", "nobody"]))
    print("scan_prefix 'user:' ->", [doc_id for doc_id, _ in db.scan_prefix("user:")])
    print("speaks English ->", [doc_id for doc_id, _ in db.filter_by_metadata("langs.0", "en")])
    print("aged 46 ->", db.filter_by_metadata("age", "46"))

    # The database file is plain SQLite: look at what it holds.
    raw = sqlite3.connect(path)
    print("documents:")
    for doc_id, body in raw.execute("SELECT id, body FROM documents ORDER BY id"):
        print(f"  {doc_id}: {body.decode()}")
    print("metadata_index:")
    for entry, doc_id in raw.execute("SELECT entry, id FROM metadata_index ORDER BY entry, id"):
        print(f"  {entry} -> {doc_id}")
    raw.close()
    del db  # releases the file before the folder is removed
