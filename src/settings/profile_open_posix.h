// How the POSIX profile file is opened on a shared machine: the settings file may lie in a
// folder that a group shares, and root may run morva there.
#pragma once

namespace morva {

// Opens the settings file at `path` with `flags` (O_RDONLY or O_RDWR) plus O_CLOEXEC, walking
// the path one name at a time: a symbolic link is followed only when root or the caller (the
// effective user) owns it, wherever it lies, as Linux does only in sticky world-writable
// folders; a link of anyone else fails the open, so no other user can redirect a read or a
// write. Only a regular file is opened (a FIFO never blocks, a device is never opened). With
// `create`, a missing file is made (mode 0666 less the umask) where the path, links included,
// leads; in a folder shared by a group (set-group-id and group-writable) it is made writable by
// that group whatever the umask. Returns the descriptor, or -1 with errno set (ENOENT when
// nothing of that name exists).
int OpenProfileFile(const char* path, int flags, bool create);

}  // namespace morva
