// Connection records, the table of live connections, interest sets and the close list.
#include "core/connection.h"

#include <cstring>

#include "core/alloc.h"
#include "core/timer_queue.h"

namespace {

LoopState g_loop;

IoBuffer* iobuf_new() {
    auto* buffer = static_cast<IoBuffer*>(zv_calloc(sizeof(IoBuffer)));
    if (buffer != nullptr) buffer->capacity = kBufferCapacity;
    return buffer;
}

Connection* create(sock_t handle, ConnKind kind, std::uint16_t port, std::uint32_t local_addr) {
    LoopState& state = g_loop;
    if (state.table.count >= kMaxConnections) return nullptr;

    auto* connection = static_cast<Connection*>(zv_calloc(sizeof(Connection)));
    if (connection == nullptr) return nullptr;
    connection->handle = handle;
    connection->port = port;
    connection->flags = static_cast<std::uint32_t>(kind) << kKindShift;
    connection->local_addr = local_addr;

    connection->in_buf = iobuf_new();
    connection->out_buf = connection->in_buf != nullptr ? iobuf_new() : nullptr;
    if (connection->out_buf == nullptr) {
        zv_free(connection->in_buf);
        zv_free(connection);
        return nullptr;
    }

    connection->flags |= kFlagRegistered;
    state.registered_count++;
    interest_add(&state.read_set, connection);

    connection->slot = static_cast<std::uint16_t>(state.table.count);
    state.table.connections[state.table.count++] = connection;
    return connection;
}

}  // namespace

LoopState& loop_state() {
    return g_loop;
}

void loop_state_reset() {
    std::memset(&g_loop, 0, sizeof g_loop);
}

Connection* conn_create(sock_t handle, ConnKind kind, std::uint16_t port) {
    return create(handle, kind, port, 0);
}

Connection* conn_create_udp(sock_t handle, std::uint16_t port, std::uint32_t local_addr) {
    return create(handle, kKindUdpEndpoint, port, local_addr);
}

void conn_set_hooks(Connection* connection, const ConnectionHooks* hooks) {
    connection->on_open = hooks->on_open;
    connection->on_frame = hooks->on_frame;
    connection->on_timer = hooks->on_timer;
    connection->on_destroy = hooks->on_destroy;
}

void conn_open(Connection* connection, const void* endpoint_info) {
    // Without on_open a connection gets neither a context nor a timer.
    if (connection->on_open == nullptr) return;
    connection->context = connection->on_open(connection, endpoint_info, &connection->timer_ms);
    if (connection->on_timer != nullptr && connection->timer_ms != 0) {
        conn_timer_start(connection, connection->on_timer);
    }
}

void conn_destroy(Connection* connection) {
    LoopState& state = g_loop;
    if (connection->timer_id != 0) timer_cancel(connection->timer_id);

    if (connection->flags & kFlagRegistered) {
        interest_remove(&state.read_set, connection);
        interest_remove(&state.write_set, connection);
        state.registered_count--;
    }
    if (connection->close_fn != nullptr) connection->close_fn(connection->handle);

    // Keep the table without holes: the last entry moves into the freed slot.
    state.table.count--;
    if (connection->slot < state.table.count) {
        Connection* moved = state.table.connections[state.table.count];
        state.table.connections[connection->slot] = moved;
        moved->slot = connection->slot;
    }
    state.table.connections[state.table.count] = nullptr;

    zv_free(connection->in_buf);
    zv_free(connection->out_buf);
    // The socket is closed already: the hook can release its context but not send.
    if (connection->on_destroy != nullptr) connection->on_destroy(connection->context);
    zv_free(connection);
}

void conn_mark_closing(Connection* connection) {
    if (connection->flags & kFlagClosing) return;
    connection->flags |= kFlagClosing;
    CloseList& list = g_loop.close_list;
    list.connections[list.close_count++] = connection;
}

bool interest_contains(const InterestSet* set, sock_t handle) {
    for (std::uint32_t i = 0; i < set->count; ++i) {
        if (set->handles[i] == handle) return true;
    }
    return false;
}

void interest_add(InterestSet* set, Connection* connection) {
    if (!interest_contains(set, connection->handle) && set->count < kInterestSetSize) {
        set->handles[set->count++] = connection->handle;
    }
    if (connection->handle > g_loop.max_handle) g_loop.max_handle = connection->handle;
}

void interest_remove(InterestSet* set, Connection* connection) {
    for (std::uint32_t i = 0; i < set->count; ++i) {
        if (set->handles[i] != connection->handle) continue;
        std::memmove(&set->handles[i], &set->handles[i + 1],
                     (set->count - i - 1) * sizeof set->handles[0]);
        set->count--;
        return;
    }
}
