// The writers' turnstile of a hive: a blocking fcntl lock on a side file, taken
// before BEGIN IMMEDIATE. The kernel queues waiters and wakes them the moment
// the holder lets go (or dies), so writers take turns instead of polling.
#pragma once

#include "platform/win32.h"

#include <string>

#include <sys/types.h>

// Opens (creating it 0600, never following a symlink) the lock file at path:
// the descriptor, or -1 with *problem when it is not a regular file of ours with one name.
int OpenWriteLock(const std::string &path, std::string *problem);

// Waits for the write lock on fd for at most timeoutMs: ERROR_SUCCESS when held,
// ERROR_TIMEOUT when another process held it all that time, another code on failure.
LSTATUS AcquireWriteLock(int fd, unsigned timeoutMs);
void ReleaseWriteLock(int fd);

// The process that holds the lock on fd against us: its pid, 0 when the lock is
// free, -1 when it is held but the holder cannot be told (an open file description lock).
pid_t WriteLockHolder(int fd);
