"""The writer of the crash test: issues the operation sequence of a seed
through DBEngine until it is killed. After every completed close_engine it
appends "closed {n}" to the side file and forces it to disk, n being the
number of single-document operations issued so far; it notes progress
("issued {n}") every few hundred operations without forcing it.

    python crash_child.py DB_PATH SIDE_FILE SEED
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from model import operation_groups, single_operations  # noqa: E402
from quillmere import DBEngine  # noqa: E402

PROGRESS_EVERY = 250


def main():
    path, side_path, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    side = os.open(side_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)

    def note(line, durable=False):
        os.write(side, (line + "\n").encode())
        if durable:
            os.fsync(side)

    engine = DBEngine(path)
    note("started", durable=True)
    issued = 0
    next_progress = PROGRESS_EVERY
    for group in operation_groups(seed):
        kind = group[0]
        if kind == "close":
            engine.close_engine()
            note(f"closed {issued}", durable=True)
            del engine  # releases the file, so the next engine can lock it
            engine = DBEngine(path)
            continue
        # Noted before the call, so the count is an upper bound at any kill.
        count = len(single_operations(group))
        if issued + count >= next_progress:
            note(f"issued {issued + count}")
            next_progress = issued + count + PROGRESS_EVERY
        if kind == "insert":
            engine.insert(group[1], group[2])
        elif kind == "upsert":
            engine.upsert(group[1], group[2])
        elif kind == "delete":
            engine.delete(group[1])
        else:
            engine.insert_many(group[1])
        issued += count


if __name__ == "__main__":
    main()
