#include "tray/posix/gateway_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

extern char** environ;

namespace {

constexpr char kLockName[] = "Zelvanor.lock";
constexpr int kReapAttempts = 200;
constexpr long kReapIntervalNs = 10L * 1000 * 1000;

const char* nonempty_env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

bool join(char* buffer, std::size_t size, const char* directory) {
    int n = std::snprintf(buffer, size, "%s/%s", directory, kLockName);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

void record_status(GatewayProcess* process, int status) {
    process->reaped = true;
    if (WIFEXITED(status)) {
        process->exit_code = static_cast<std::uint32_t>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        process->exit_code = 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    } else {
        process->exit_code = 1;
    }
}

// One non-blocking look at the child. True once it is reaped (or cannot be waited for).
bool poll_child(GatewayProcess* process) {
    if (process->reaped) return true;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(process->pid, &status, WNOHANG);
        if (r == process->pid) {
            record_status(process, status);
            return true;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        // Someone else reaped it (or it was never ours): it is gone either way.
        process->reaped = true;
        process->exit_code = 1;
        return true;
    }
}

}  // namespace

bool single_copy_lock_path(char* buffer, std::size_t size) {
    const char* runtime = nonempty_env("XDG_RUNTIME_DIR");
    if (runtime != nullptr && join(buffer, size, runtime)) return true;
    const char* temp = nonempty_env("TMPDIR");
    if (temp != nullptr && join(buffer, size, temp)) return true;
    return join(buffer, size, "/tmp");
}

LockResult single_copy_claim(const char* path, int* fd) {
    // O_NOFOLLOW: in a shared temp dir the name could be a planted symlink.
    int handle = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (handle < 0) return LockResult::Unavailable;
    while (flock(handle, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        close(handle);
        return error == EWOULDBLOCK ? LockResult::Taken : LockResult::Unavailable;
    }
    *fd = handle;
    return LockResult::Claimed;
}

int gateway_start(GatewayProcess* process, const char* path) {
    process->pid = 0;
    process->reaped = false;
    process->exit_code = 0;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (int error = posix_spawn_file_actions_init(&actions); error != 0) return error;
    if (int error = posix_spawnattr_init(&attributes); error != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return error;
    }

    // The hidden console: nothing to read, nowhere to write. Every other descriptor of this
    // process (the display connection, the lock, whatever a library left open without
    // close-on-exec) is closed in the child.
    int error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // GUI toolkits block or catch signals; the gateway starts with the defaults.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
    if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &all);
    if (error == 0) {
        error =
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }

    if (error == 0) {
        char* argv[] = {const_cast<char*>(path), nullptr};
        pid_t pid = 0;
        error = posix_spawn(&pid, path, &actions, &attributes, argv, environ);
        if (error == 0) process->pid = pid;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

std::uint32_t gateway_exit_code(GatewayProcess* process, std::uint32_t still_active) {
    if (process->pid <= 0) return 1;
    return poll_child(process) ? process->exit_code : still_active;
}

void gateway_terminate(GatewayProcess* process) {
    if (process->pid <= 0 || poll_child(process)) return;
    // Unreaped, so the pid is still our child and cannot have been reused.
    kill(process->pid, SIGKILL);
    const timespec interval{0, kReapIntervalNs};
    for (int i = 0; i < kReapAttempts && !poll_child(process); ++i) {
        nanosleep(&interval, nullptr);
    }
}
