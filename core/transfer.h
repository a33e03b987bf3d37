// Buffered transfer: output is written at once when nothing is queued and queued
// otherwise; input is read until the socket has nothing more and then offered to the
// connection's on_frame hook unit by unit.
#pragma once

#include "core/connection.h"

// Appends count bytes behind the stored ones, moving pending bytes to the front first
// when needed. Returns count, or -1 when the bytes do not fit (nothing stored).
int iobuf_append(IoBuffer* buffer, const char* bytes, int count);

// Writes as much as the socket takes now and queues the rest. When the output buffer
// cannot take the rest, everything queued is dropped and the connection stays open.
void conn_send(Connection* connection, const char* bytes, int count);

// Called by the write pass for a connection whose socket is writable.
void conn_flush(Connection* connection);

// Called by the read pass for a connection whose socket is readable.
void conn_read(Connection* connection);
