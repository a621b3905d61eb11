// The one way in which the Linux build opens or makes a name that another user may write: the
// settings file, the run record, a ports folder's com<n> and the folder of morva-ports --link.
// Such a name is opened as if an attacker chose it.
#pragma once

namespace morva {

// What the last name of the path must be.
enum class GuardedKind {
    kFile,    // a regular file, opened with the caller's flags (a FIFO never blocks)
    kFolder,  // a folder: an O_PATH descriptor of it, for the *at calls
    kDevice,  // a character device: an O_PATH descriptor of it (nothing is opened)
};

// Opens `path`, walking it one name at a time: a symbolic link is followed only when root or
// the caller (the effective user) owns it, wherever it lies, as Linux does only in sticky
// world-writable folders; a link of anyone else fails the open (EPERM), so no other user can
// redirect a read, a write or an open. The object opened is checked again after the open, so
// nothing swapped in meanwhile is taken instead. kFile: `flags` (O_RDONLY, O_RDWR, O_WRONLY,
// O_APPEND) plus O_CLOEXEC; with `create`, a missing file is made (mode 0666 less the umask)
// where the path, links included, leads, and in a folder shared by a group (set-group-id and
// group-writable) it is made writable by that group whatever the umask. Returns the
// descriptor, or -1 with errno set (ENOENT when nothing of that name exists, EINVAL when the
// last name is of another kind).
int OpenGuarded(const char* path, GuardedKind kind, int flags = 0, bool create = false);

}  // namespace morva
