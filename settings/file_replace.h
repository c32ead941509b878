// Replacing a small file whole, so that a reader never sees it half written: the settings file
// and the autostart entry are both written this way.
#pragma once

#include <sys/types.h>

#include <string>

// Writes `content` to a temporary file beside the file `path` leads to, syncs it and renames it
// over that file. A symbolic link (or a chain of them) is followed, also when its target does not
// exist yet: the target is created and the link stays. An existing file keeps its mode, and its
// owner and group where the process may set them; a new one gets `newFileMode` less the umask.
// A file the user may not write is refused, as an editor refuses it: for a user who may write
// anything (root), a file with no write permission bit at all counts as read-only.
// Returns 0, or the errno that stopped it; then the old file is as it was and no temporary file
// is left.
int replaceFile(const std::string& path, const std::string& content, mode_t newFileMode);
