// Reading and replacing a small file whole, so that a reader never sees it half written: the
// settings file and the autostart entry are both written this way.
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
// On Windows the temporary file is flushed and moved over the file with write-through; there is
// no mode to keep, and a read-only file is refused.
int replaceFile(const std::string& path, const std::string& content, mode_t newFileMode);

// Reads the whole regular file at `path` into `content`, never waiting for it (a FIFO in its
// place does not hold the caller). 0; ENOENT when there is none; else the errno (a folder is
// EISDIR, anything else that is not a regular file EINVAL).
int readWholeFile(const std::string& path, std::string& content);

// Text files written here end every line in CR LF on Windows, as its own profile functions write
// them; elsewhere a file keeps the line ends it has.
#ifdef _WIN32
inline constexpr bool kTextFilesEndLinesInCrLf = true;
#else
inline constexpr bool kTextFilesEndLinesInCrLf = false;
#endif
