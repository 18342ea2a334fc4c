"""The stores measured, in the order of the results table. A peer whose
package cannot be imported on this machine is left out of the run with a
note; quillmere itself must import."""

import importlib

PEERS = (
    ("quillmere_engine", "QuillmereEngine"),
    ("quillmere_wal", "QuillmereWal"),
    ("sqlite_json", "SqliteJson"),
    ("sqlite_indexed", "SqliteIndexed"),
    ("lmdb_json", "LmdbJson"),
    ("diskcache_store", "DiskcacheStore"),
    ("sqlitedict_store", "SqlitedictStore"),
    ("tinydb_store", "TinydbStore"),
    ("unqlite_collection", "UnqliteCollection"),
    ("montydb_collection", "MontydbCollection"),
)


def load_peers():
    """(the peer classes that import, notes on the ones that do not)"""
    classes, notes = [], []
    for module_name, class_name in PEERS:
        try:
            module = importlib.import_module(f"{__name__}.{module_name}")
        except ImportError as error:
            if not classes:
                raise  # quillmere, the subject of every ratio
            notes.append(f"{module_name}: not measured, its package does not import here ({error})")
        else:
            classes.append(getattr(module, class_name))
    return classes, notes
