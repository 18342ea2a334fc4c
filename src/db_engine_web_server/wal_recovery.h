// WAL recovery: replays the frames a DBEngineWebServer's WAL file still holds
// into its database in one write transaction, then empties the file. Runs on
// the constructing thread, after the database is open and before any of the
// engine's threads start. Progress lines go to standard output.
#pragma once

#include <string>

#include "common/status.h"
#include "store/database.h"

namespace quillmere::db_engine_web_server {

// Applies the whole frames of `wal_path` in file order, as the writer thread
// would have, stopping at the first frame that is not whole; commits;
// truncates the file to length 0. A missing file is nothing to recover: Ok,
// nothing created. Fails with "Failed to open WAL file {I/O error}", "WAL
// read error {I/O error}", the store's text for a transaction that cannot
// begin or commit, a message naming the id, the cause and the store's length
// limit for a frame the store cannot apply (an id and document beyond the
// limit are refused before the frame changes anything), or the I/O error of
// the truncation. Every failure but the last commits nothing and leaves the
// file as it was.
Status recover_wal_on_startup(store::Database& db, const std::string& wal_path);

}  // namespace quillmere::db_engine_web_server
