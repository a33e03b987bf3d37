#include "fake_transport.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "core/timer_queue.h"

namespace {
std::map<sock_t, FakeSocket*>& sockets() {
    static std::map<sock_t, FakeSocket*> map;
    return map;
}
sock_t next_handle = 1000;
std::uint64_t fake_now = 0;
std::uint64_t fake_tick() {
    return fake_now;
}

FakeSocket* find(sock_t handle) {
    auto it = sockets().find(handle);
    return it == sockets().end() ? nullptr : it->second;
}
}  // namespace

int fake_read(sock_t handle, char* buffer, int size, Connection*) {
    FakeSocket* s = find(handle);
    if (s == nullptr) return -1;
    ++s->read_calls;
    if (s->incoming.empty()) return s->fail_read ? -1 : 0;
    std::string& chunk = s->incoming.front();
    int n = std::min<int>(size, static_cast<int>(chunk.size()));
    std::memcpy(buffer, chunk.data(), static_cast<size_t>(n));
    chunk.erase(0, static_cast<size_t>(n));
    if (chunk.empty()) s->incoming.pop_front();
    return n;
}

int fake_write(sock_t handle, const char* bytes, int count, Connection*) {
    FakeSocket* s = find(handle);
    if (s == nullptr) return -1;
    ++s->write_calls;
    if (s->fail_write) return -1;
    int n = s->accept_limit < 0 ? count : std::min(count, s->accept_limit);
    s->sent.append(bytes, static_cast<size_t>(n));
    return n;
}

int fake_close(sock_t handle) {
    if (FakeSocket* s = find(handle)) ++s->close_calls;
    return 0;
}

Connection* make_fake_connection(FakeSocket* socket, ConnKind kind, std::uint16_t port,
                                 std::uint32_t local_addr) {
    sock_t handle = next_handle++;
    Connection* c = kind == kKindUdpEndpoint ? conn_create_udp(handle, port, local_addr)
                                             : conn_create(handle, kind, port);
    if (c == nullptr) return nullptr;
    sockets()[handle] = socket;
    c->read_fn = fake_read;
    c->write_fn = fake_write;
    c->close_fn = fake_close;
    return c;
}

void reset_core_state() {
    // Tests' FakeSockets are usually gone by now (they live in the test body), so the
    // connections are closed without reaching them.
    sockets().clear();
    LoopState& state = loop_state();
    while (state.table.count > 0) conn_destroy(state.table.connections[0]);
    timer_queue_reset();
    loop_state_reset();
}

void fake_clock_install(std::uint64_t start_ms) {
    fake_now = start_ms;
    timer_set_tick(fake_tick);
}
void fake_clock_set(std::uint64_t ms) {
    fake_now = ms;
}
void fake_clock_advance(std::uint64_t ms) {
    fake_now += ms;
}
