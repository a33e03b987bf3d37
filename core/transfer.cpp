// Buffered transfer over a connection's two fixed buffers.
#include "core/transfer.h"

#include <cstring>

namespace {

void compact(IoBuffer* buffer) {
    int pending = buffer->end - buffer->start;
    if (buffer->start > 0 && pending > 0) {
        std::memmove(buffer->data, buffer->data + buffer->start, static_cast<size_t>(pending));
    }
    buffer->end = pending;
    buffer->start = 0;
}

// A stalled connection (full input buffer, nothing consumable) keeps its 2048 bytes and is
// never offered anything again. Whatever else its peer sends could never be delivered, so
// it is read and thrown away: that keeps the socket from staying readable (which would wake
// every wait at once) and lets a peer's close or reset end the connection, which would
// otherwise hold its place in the table for good.
void drain_stalled(Connection* connection) {
    char scratch[512];
    for (;;) {
        int n = connection->read_fn(connection->handle, scratch, sizeof scratch, connection);
        if (n < 0) {
            conn_mark_closing(connection);
            return;
        }
        if (n == 0) return;
    }
}

}  // namespace

int iobuf_append(IoBuffer* buffer, const char* bytes, int count) {
    int room = buffer->capacity - buffer->end;
    // Bytes move to the front only when the append does not fit behind them.
    if ((count > room || room == 0) && buffer->end > buffer->start) compact(buffer);
    if (count < 0 || buffer->end + count > buffer->capacity) return -1;
    std::memcpy(buffer->data + buffer->end, bytes, static_cast<size_t>(count));
    buffer->end += count;
    return count;
}

void conn_send(Connection* connection, const char* bytes, int count) {
    IoBuffer* out = connection->out_buf;
    // Nothing is written ahead of bytes already queued.
    if (out->end == out->start) {
        int written = connection->write_fn(connection->handle, bytes, count, connection);
        if (written < 0) {
            conn_mark_closing(connection);
            return;
        }
        if (written >= count) return;
        bytes += written;
        count -= written;
    }
    if (count == 0) return;

    if (iobuf_append(out, bytes, count) < 0) {
        // A peer that does not read loses its queued output, not its connection.
        out->end = 0;
        out->start = 0;
        return;
    }
    interest_add(&loop_state().write_set, connection);
}

void conn_flush(Connection* connection) {
    IoBuffer* out = connection->out_buf;
    while (out->end != out->start) {
        int written = connection->write_fn(connection->handle, out->data + out->start,
                                           out->end - out->start, connection);
        if (written < 0) {
            conn_mark_closing(connection);
            return;
        }
        if (written == 0) return;
        out->start += written;
    }
    out->end = 0;
    out->start = 0;
    // A drained connection is no longer watched for writability: a socket with room in
    // its send buffer is always writable, and watching it would wake every wait at once.
    // conn_send watches it again when it next queues bytes.
    interest_remove(&loop_state().write_set, connection);
}

void conn_read(Connection* connection) {
    IoBuffer* in = connection->in_buf;
    if (in->end == in->capacity) {
        drain_stalled(connection);
        return;
    }

    while (in->end < in->capacity) {
        int n = connection->read_fn(connection->handle, in->data + in->end, in->capacity - in->end,
                                    connection);
        if (n < 0) {
            conn_mark_closing(connection);
            return;
        }
        if (n == 0) break;
        in->end += n;
    }

    while (in->end > in->start) {
        InputView view{in->data + in->start, in->end - in->start, 0, connection->context};
        int used = connection->on_frame != nullptr ? connection->on_frame(connection, &view) : 0;
        if (used < 0) {
            conn_mark_closing(connection);
            return;
        }
        if (used == 0) break;
        in->start += used;
    }
    // A datagram endpoint keeps nothing between reads: what its datagrams left unfinished
    // is dropped. Kept, a malformed datagram would leave later ones out of step, or fill
    // the buffer until every datagram is too large for the room left, and one sender could
    // end the endpoint's reception for good.
    if (conn_kind(connection) == kKindUdpEndpoint) {
        in->start = 0;
        in->end = 0;
        return;
    }
    // On a stream a full buffer whose hook consumes nothing stalls the connection (see
    // drain_stalled).
    compact(in);
}
