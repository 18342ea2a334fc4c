// Paths of the files an engine opens. An engine fixes its path once, when it
// is constructed, so that a later os.chdir in the process changes none of
// the files it reads, writes or truncates. Pure functions of the path and the
// process's current directory; any thread.
#pragma once

#include <string>

#include "common/status.h"

namespace quillmere {

// `path` made absolute against the current directory: an absolute path, and
// the empty path (which names no file), as given; a relative one joined to
// the current directory with a '/'. Nothing else is changed: "." and ".."
// stay, links are not followed. Fails with "I/O error: cannot read the
// current directory: {system text} (os error {n})" (a removed directory).
Result<std::string> absolute_path(const std::string& path);

}  // namespace quillmere
