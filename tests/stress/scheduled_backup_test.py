"""One real scheduled backup at the next minute but one (not in `make test`): the
engine stays open until "backup_<stamp>.redb" opens holding the documents."""

import datetime
import glob
import os
import tempfile
import time

from model import finish
from quillmere import DBEngine, DBEngineWebServer


def backup_problem(folder, run_at):
    db = DBEngineWebServer(os.path.join(folder, "db"), run_at.strftime("%H:%M"), folder)
    db.insert_many([(f"doc{i}", {"i": i, "tag": "x"}) for i in range(100)])
    print(f"waiting for the backup at {run_at:%H:%M} in {folder}")
    for _ in range(240):
        for path in glob.glob(os.path.join(folder, "backup_*.redb")):
            try:
                copy = DBEngine(path)
            except RuntimeError:
                continue  # the backup is still being written
            db.close_engine()
            named = os.path.basename(path).startswith(f"backup_{run_at:%Y%m%d_%H%M}")
            full = len(copy.scan_prefix("doc")) == len(copy.filter_by_metadata("tag", "x")) == 100
            return None if named and full else f"{path}: unexpected name or missing documents"
        time.sleep(1)  # polling a folder, not waiting for a write
    return "no backup file appeared"


now = datetime.datetime.now()
run_at = (now + datetime.timedelta(minutes=2)).replace(second=0, microsecond=0)
if run_at.date() != now.date():
    raise SystemExit("too close to midnight: the run would be next month; try again later")
with tempfile.TemporaryDirectory() as folder:
    problem = backup_problem(folder, run_at)
finish("scheduled backup test", [problem] if problem else [], "one backup")
