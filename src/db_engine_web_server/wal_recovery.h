// WAL recovery: replays the frames a DBEngineWebServer's WAL file still holds
// into its database in one write transaction, then empties the file. Runs on
// the constructing thread, after the database is open and before any of the
// engine's threads start. Progress lines go to standard output.
#pragma once

#include <memory>
#include <string>

#include "common/file_descriptor.h"
#include "common/status.h"
#include "store/database.h"

namespace quillmere::db_engine_web_server {

// Applies the whole frames of `wal_path` in file order, as the writer thread
// would have, stopping at the first frame that is not whole; commits;
// truncates the file to length 0. Returns the file, open for reading and
// writing and empty, for the WAL writer to go on in, so that it is opened by
// name once; nothing when there was no file (none is created). Fails with
// open_wal_file's refusal or failure (nothing at the path is read), "WAL
// read error {I/O error}", the store's text for a transaction that cannot
// begin or commit, a message naming the frame and the cause for a frame the
// store cannot apply: a damaged one (a document that is not a JSON text, a
// Delete with a value) or one the store refuses (then with the store's
// length limit; an id and document beyond it are refused before the frame
// changes anything), or the I/O error of the truncation. Every failure but
// the last commits nothing and leaves the file as it was.
Result<std::shared_ptr<FileDescriptor>> recover_wal_on_startup(store::Database& db,
                                                               const std::string& wal_path);

}  // namespace quillmere::db_engine_web_server
