"""One real scheduled backup, end to end (a few minutes; not part of `make test`).

The backup time is set to the next minute but one; the engine stays open
until "backup_<stamp>.redb" appears in the folder and opens with DBEngine
holding the documents written before the run.

    python tests/stress/scheduled_backup_test.py
"""

import datetime
import glob
import os
import sys
import tempfile
import time

from quillmere import DBEngine, DBEngineWebServer

DEADLINE = 240


def main():
    now = datetime.datetime.now()
    run_at = (now + datetime.timedelta(minutes=2)).replace(second=0, microsecond=0)
    if run_at.date() != now.date():
        print("too close to midnight: the run would be next month; try again later")
        return 1
    with tempfile.TemporaryDirectory() as folder:
        backups = os.path.join(folder, "backups")
        os.mkdir(backups)
        db = DBEngineWebServer(os.path.join(folder, "db"), run_at.strftime("%H:%M"), backups)
        db.insert_many([(f"doc{i}", {"i": i, "tag": "x"}) for i in range(100)])
        print(f"waiting for the backup at {run_at:%H:%M} in {backups}")
        deadline = time.monotonic() + DEADLINE
        while time.monotonic() < deadline:
            for path in glob.glob(os.path.join(backups, "backup_*.redb")):
                try:
                    copy = DBEngine(path)  # refused while the executor still holds it
                except RuntimeError:
                    continue
                name = os.path.basename(path)
                assert name.startswith(f"backup_{run_at:%Y%m%d_%H%M}"), name
                assert len(copy.scan_prefix("doc")) == 100
                assert len(copy.filter_by_metadata("tag", "x")) == 100
                print(f"ok: {name} holds the 100 documents")
                db.close_engine()
                return 0
            time.sleep(1)  # polling a folder, not waiting for a write
        print("no backup file appeared")
        return 1


if __name__ == "__main__":
    sys.exit(main())
