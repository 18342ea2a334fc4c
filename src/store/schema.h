// The two tables of a database file and the check that creates them or
// verifies their layout when they exist. Used once per open, on the writer
// connection, by the thread that opens the database.
#pragma once

#include "common/status.h"
#include "store/connection.h"

namespace quillmere::store {

// In one transaction, creates "documents" and "metadata_index" where absent
// and verifies the layout of those that exist. A table of either name with
// another layout fails with "Table \"{name}\" has an unexpected layout".
Status ensure_schema(Connection& writer);

}  // namespace quillmere::store
