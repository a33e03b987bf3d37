// The timer queue: a list ordered by due tick, equal ticks in insertion order.
#include "core/timer_queue.h"

#include <cstdint>

#include "core/alloc.h"

namespace {

TimerEntry* g_first = nullptr;
std::int32_t g_next_id = 1;
TickFn g_tick = platform::tick_ms;

bool id_in_use(std::int32_t id) {
    for (TimerEntry* e = g_first; e != nullptr; e = e->next) {
        if (e->id == id) return true;
    }
    return false;
}

// Ids are positive and name exactly one queued timer: after the counter wraps, ids that
// are still queued are passed over. At most a handful of timers are ever queued, so the
// walk is short.
std::int32_t take_id() {
    for (;;) {
        std::int32_t id = g_next_id;
        g_next_id = g_next_id == INT32_MAX ? 1 : g_next_id + 1;
        if (!id_in_use(id)) return id;
    }
}

}  // namespace

void timer_set_tick(TickFn tick) {
    g_tick = tick != nullptr ? tick : platform::tick_ms;
}

std::uint64_t timer_tick() {
    return g_tick();
}

std::int32_t timer_create(std::int32_t period_ms, std::int32_t repeat, TimerCallback callback,
                          void* arg) {
    auto* entry = static_cast<TimerEntry*>(zv_calloc(sizeof(TimerEntry)));
    if (entry == nullptr) return 0;
    entry->interval = period_ms;
    entry->due = static_cast<std::int64_t>(g_tick()) + period_ms;
    entry->repeat = repeat;
    entry->callback = callback;
    entry->arg = arg;
    entry->id = take_id();
    timer_insert(entry);
    return entry->id;
}

void timer_insert(TimerEntry* entry) {
    TimerEntry** link = &g_first;
    while (*link != nullptr && (*link)->due <= entry->due) link = &(*link)->next;
    entry->next = *link;
    *link = entry;
}

void timer_expire(std::uint64_t now) {
    const auto now64 = static_cast<std::int64_t>(now);
    // The first entry is looked up again before each firing: a callback may queue a timer
    // that is already due, and it runs in this call too.
    while (g_first != nullptr && g_first->due <= now64) {
        TimerEntry* entry = g_first;
        g_first = entry->next;
        entry->next = nullptr;
        if (entry->callback != nullptr) entry->callback(entry->arg);

        // A timer with a positive count is released after its last firing. Re-arming
        // counts from the pass's tick, so a late timer starts its next period late.
        if (entry->repeat > 0 && --entry->repeat == 0) {
            zv_free(entry);
            continue;
        }
        entry->due = now64 + entry->interval;
        timer_insert(entry);
    }
}

void timer_cancel(std::int32_t id) {
    for (TimerEntry** link = &g_first; *link != nullptr; link = &(*link)->next) {
        if ((*link)->id != id) continue;
        TimerEntry* entry = *link;
        *link = entry->next;
        zv_free(entry);
        return;
    }
}

const TimerEntry* timer_queue_first() {
    return g_first;
}

void timer_queue_reset() {
    while (g_first != nullptr) {
        TimerEntry* next = g_first->next;
        zv_free(g_first);
        g_first = next;
    }
    g_next_id = 1;
}

int conn_timer_start(Connection* connection, TimerHook on_timer) {
    if (connection->timer_id != 0) return 1;
    if (connection->timer_ms == 0 || on_timer == nullptr) return 2;
    connection->on_timer = on_timer;
    connection->timer_id = timer_create(connection->timer_ms, -1, conn_timer_fire, connection);
    if (connection->timer_id == 0) {
        conn_mark_closing(connection);
        return -1;
    }
    return 0;
}

void conn_timer_fire(void* arg) {
    auto* connection = static_cast<Connection*>(arg);
    InputView view{nullptr, 0, 0, connection->context};
    connection->on_timer(connection, &view);
}
