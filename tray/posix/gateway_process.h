// POSIX pieces of the Linux front that need no GUI: the single-copy lock and the gateway's
// process (start, poll, terminate).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Where the single-copy lock lives: $XDG_RUNTIME_DIR/Zelvanor.lock, or the same name in the
// temp dir ($TMPDIR, else /tmp) when there is no runtime dir. False if it does not fit.
bool single_copy_lock_path(char* buffer, std::size_t size);

enum class LockResult { Claimed, Taken, Unavailable };

// Takes an exclusive flock on path. On Claimed, *fd holds the lock until the process ends
// (close-on-exec, so the gateway never inherits it). Unavailable: the file cannot be opened
// or locked for another reason than a running copy.
LockResult single_copy_claim(const char* path, int* fd);

struct GatewayProcess {
    pid_t pid;  // 0 before the start
    bool reaped;
    std::uint32_t exit_code;  // valid once reaped: the exit status, or 128 + signal
};

// Starts path with no arguments beyond its own name, in the current directory, with its
// standard streams on /dev/null and no other descriptor inherited. Returns 0 or an errno.
int gateway_start(GatewayProcess* process, const char* path);

// Non-blocking: returns still_active while the process runs, its exit code afterwards.
std::uint32_t gateway_exit_code(GatewayProcess* process, std::uint32_t still_active);

// Kills the process (SIGKILL) unless it has already been reaped, then reaps it, waiting at
// most about two seconds.
void gateway_terminate(GatewayProcess* process);
