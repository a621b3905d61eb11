// Services that only the POSIX side of the platform seam shares among its *_posix.cpp units.
#pragma once

namespace morva {

// Opens `path` (links followed) with `flags` plus O_CLOEXEC when it names a regular file. -1
// otherwise, with errno ENOENT when nothing of that name exists. A FIFO never blocks the open
// and a device is never opened: settings and firmware files are regular files only.
int OpenRegularFile(const char* path, int flags);

}  // namespace morva
