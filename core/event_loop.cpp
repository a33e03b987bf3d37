// The run and its passes. Everything the gateway does happens inside a pass, on one
// thread; the wait for readiness is the only place where it sleeps.
#include "core/event_loop.h"

#include "core/timer_queue.h"
#include "core/transfer.h"

namespace {

WaitFn g_wait = platform::wait_ready;
int g_wait_failures = 0;

void destroy_marked(LoopState& state) {
    // Re-read the count after every visit: destroying never marks, but stay safe.
    for (std::uint32_t i = 0; i < state.close_list.close_count; ++i) {
        conn_destroy(state.close_list.connections[i]);
    }
    state.close_list.close_count = 0;
}

void shutdown(LoopState& state) {
    while (state.table.count > 0) conn_destroy(state.table.connections[0]);
    // Every connection still listed for closing was in the table and is gone already.
    state.close_list.close_count = 0;
    platform::net_stop();
}

}  // namespace

void event_loop_set_wait(WaitFn wait) {
    g_wait = wait != nullptr ? wait : platform::wait_ready;
}

WaitTimeout loop_timeout(std::uint64_t now) {
    const TimerEntry* first = timer_queue_first();
    if (first == nullptr) return WaitTimeout{kIdleWaitSeconds, 0};
    if (first->due <= static_cast<std::int64_t>(now)) return WaitTimeout{0, 0};
    // Milliseconds are turned into seconds and microseconds with a shift and a multiply
    // by 1024, so every wait is about 2.4% longer than m ms; the microsecond part can
    // exceed one million and the platform wait normalises it.
    auto m = static_cast<std::uint32_t>(static_cast<std::uint64_t>(first->due) - now);
    return WaitTimeout{static_cast<long>(m >> 10), static_cast<long>((m & 1023u) << 10)};
}

bool event_loop_pass(const Application& app) {
    LoopState& state = loop_state();
    state.now = timer_tick();
    WaitTimeout timeout = loop_timeout(state.now);

    if (app.refresh != nullptr) app.refresh(&state);
    if (state.table.count == 0 && state.registered_count == 0) return false;

    InterestSet readable = state.read_set;
    InterestSet writable = state.write_set;
    if (g_wait(&readable, &writable, state.max_handle, timeout) < 0) {
        // Four failures in a row are tolerated; each starts the next pass at once.
        return ++g_wait_failures < kMaxWaitFailures;
    }
    g_wait_failures = 0;

    // Connections accepted during this pass join the table and are visited, but their
    // handles are not in this pass's copies, so nothing is done to them yet.
    for (std::uint32_t i = 0; i < state.table.count; ++i) {
        Connection* connection = state.table.connections[i];
        if (interest_contains(&readable, connection->handle)) conn_read(connection);
    }
    for (std::uint32_t i = 0; i < state.table.count; ++i) {
        Connection* connection = state.table.connections[i];
        if (interest_contains(&writable, connection->handle)) conn_flush(connection);
    }
    // Timers compare with the tick taken before the wait: one that fell due while
    // waiting fires in the next pass, which then only polls.
    timer_expire(state.now);
    destroy_marked(state);
    return true;
}

void event_loop_run(const Application& app, int argc, char** argv) {
    platform::net_start();
    loop_state_reset();
    g_wait_failures = 0;
    LoopState& state = loop_state();
    if (app.init == nullptr || app.init(argc, argv) == 0) {
        while (event_loop_pass(app)) {
        }
    }
    shutdown(state);
}
