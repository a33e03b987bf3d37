// The timer queue: periodic timers ordered by the tick at which each fires next.
#pragma once

#include <cstdint>

#include "core/connection.h"

using TimerCallback = void (*)(void* arg);

struct TimerEntry {
    std::int64_t interval;  // period in milliseconds
    std::int32_t repeat;    // -1: until cancelled; n > 0: fires n times, then is released
    TimerCallback callback;
    void* arg;
    std::int64_t due;  // tick at which it fires next
    std::int32_t id;
    TimerEntry* next;
};

// Creates and queues a timer due one period from the current tick. Returns its id (never
// 0, never the id of another queued timer), or 0 when no entry could be allocated.
std::int32_t timer_create(std::int32_t period_ms, std::int32_t repeat, TimerCallback callback,
                          void* arg);
// Inserts behind every entry with the same due tick.
void timer_insert(TimerEntry* entry);
// Runs every timer due at or before now, re-arming each one period after now.
void timer_expire(std::uint64_t now);
// Removes and releases the queued timer with this id; an unknown id changes nothing.
void timer_cancel(std::int32_t id);

// The first (earliest) entry, or null. The loop takes its time-out from it.
const TimerEntry* timer_queue_first();

// Per-connection timers. Returns 0 started, 1 already has one, 2 no period or no hook,
// -1 no timer could be created (the connection is then marked for closing).
int conn_timer_start(Connection* connection, TimerHook on_timer);
void conn_timer_fire(void* connection);

// The tick the queue reads when it creates a timer (the platform's by default); tests
// install a fake one. Also used by the loop at the start of each pass.
using TickFn = std::uint64_t (*)();
void timer_set_tick(TickFn tick);
std::uint64_t timer_tick();

// Tests: releases every queued entry and restarts ids at 1.
void timer_queue_reset();
