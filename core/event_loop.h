// The program's run: start the socket layer, let the application create its endpoints,
// run loop passes until no connection is left or the wait keeps failing, tear down.
#pragma once

#include <cstdint>

#include "core/connection.h"

// What the loop requires of the application.
struct Application {
    // Creates the application's connections; 0 for success. On failure no pass runs.
    int (*init)(int argc, char** argv);
    // Called at the start of every pass, before the wait; may create connections.
    void (*refresh)(LoopState* state);
};

// The readiness wait the loop uses; the platform's by default, a fake in tests.
using WaitFn = int (*)(InterestSet* read, InterestSet* write, sock_t max_handle,
                       WaitTimeout timeout);
void event_loop_set_wait(WaitFn wait);

// Failed waits in a row that end the loop.
inline constexpr int kMaxWaitFailures = 5;
// Wait when no timer is queued.
inline constexpr long kIdleWaitSeconds = 2;

// The wait before the first timer: 2 s with none queued, 0 when it is due, otherwise
// m ms as floor(m/1024) s + (m mod 1024) * 1024 us.
WaitTimeout loop_timeout(std::uint64_t now);

// One pass; returns false when the loop is to end.
bool event_loop_pass(const Application& app);

void event_loop_run(const Application& app, int argc, char** argv);
