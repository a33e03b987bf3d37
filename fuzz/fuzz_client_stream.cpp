// Fuzz target: the bytes one client sends over its TCP connection.
//
// The input is the byte stream. It reaches the gateway through real loop passes in pieces
// of varying size, is cut into frames by the real dispatcher and runs through the real
// command table: registration, device search, the file service and the relay. Three other
// peers are connected (a role-2 device, a role-3 watcher that reads slowly, a quiet role-0
// peer), and the table also holds a listener and a UDP endpoint, as in the running gateway.
//
// Beyond the sanitizers, each input must leave: the listener and the endpoint open (no
// registration text evicts them); whole frames of bounded size on every peer that reads
// everything; only announcements on the endpoint; and in the working directory only the
// files the file service may make for a remote peer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/command_set.h"
#include "commands/device_search.h"
#include "commands/file_commands.h"
#include "core/event_loop.h"
#include "core/transfer.h"
#include "fuzz/fuzz_support.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"
#include "net/udp_endpoint.h"

namespace {

enum Sockets { kListener, kEndpoint, kFuzzed, kDevice, kWatcher, kQuiet };

// Every peer is remote (10.0.0.0/8): only plain names in the working directory are theirs.
constexpr std::uint32_t kFuzzedAddr = 0x0A000005;   // 10.0.0.5, named "10.0.0.5:700"
constexpr std::uint32_t kDeviceAddr = 0x0A000006;   // "10.0.0.6:701"
constexpr std::uint32_t kWatcherAddr = 0x0A000007;  // "10.0.0.7:702"
constexpr std::uint32_t kQuietAddr = 0x0A000008;    // "10.0.0.8:703"
constexpr std::uint32_t kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network order

constexpr int kMaxPasses = 4000;
constexpr std::uint64_t kPassMs = 1500;  // an endpoint tick every seven passes
constexpr int kWatcherBytesPerPass = 100;

// Sizes of the pieces that arrive, one per pass, in turn: frames split at every place.
constexpr int kArrivals[] = {2048, 1, 3, 700, 13, 2048, 64, 5, 1500, 2};

const std::uint8_t* g_input = nullptr;
std::size_t g_size = 0;
std::size_t g_pos = 0;
int g_arrival_left = 0;
unsigned g_pass = 0;
std::int32_t g_counter_end = 1;

constexpr char kAnnouncement[] =
    "\x00\x09\x00\x17"
    "127.0.0.1";
constexpr std::size_t kAnnouncementSize = sizeof kAnnouncement - 1;

Connection* find(int socket) {
    LoopState& state = loop_state();
    for (std::uint32_t i = 0; i < state.table.count; ++i) {
        if (state.table.connections[i]->handle == fake_handle(socket)) {
            return state.table.connections[i];
        }
    }
    return nullptr;
}

int fuzzed_read(sock_t, char* buffer, int size, Connection*) {
    std::size_t left = g_size - g_pos;
    std::size_t n = static_cast<std::size_t>(size);
    if (n > static_cast<std::size_t>(g_arrival_left)) n = static_cast<std::size_t>(g_arrival_left);
    if (n > left) n = left;
    if (n == 0) return 0;
    std::memcpy(buffer, g_input + g_pos, n);
    g_pos += n;
    g_arrival_left -= static_cast<int>(n);
    return static_cast<int>(n);
}

// The loop's wait: the fuzzed client is readable while input is left and the loop still
// watches it; every fake socket is writable, the watcher for a few bytes per pass.
int fake_wait(InterestSet* read, InterestSet* write, sock_t, WaitTimeout) {
    InterestSet readable{};
    Connection* fuzzed = find(kFuzzed);
    if (fuzzed != nullptr && g_pos < g_size && interest_contains(read, fuzzed->handle)) {
        readable.handles[readable.count++] = fuzzed->handle;
        g_arrival_left = kArrivals[g_pass % (sizeof kArrivals / sizeof kArrivals[0])];
    }
    *read = readable;
    fake_sockets_refill();
    return static_cast<int>(readable.count + write->count);
}

Connection* client(int socket, std::uint32_t addr, std::uint16_t port, std::uint32_t role,
                   const char* hw) {
    Connection* c = fake_client(socket, addr, port);
    static_cast<Peer*>(c->context)->flags = role;
    std::memcpy(c->hw_addr, hw, 6);
    return c;
}

void set_up() {
    name_table_create();

    Connection* listener = conn_create(fake_handle(kListener), kKindListener, 52554);
    listener->read_fn = fake_read_nothing;
    listener->write_fn = fake_write;
    listener->close_fn = fake_close;

    local_address_list().slots[0] = kLoopbackNet;
    EndpointDescriptor descriptor{};
    descriptor.local_addr = kLoopbackNet;
    descriptor.port = 12390;
    descriptor.remote_addr = SockAddrIn{kAfInet, platform::host_to_net16(12390), kInaddrNone, {}};
    ConnectionHooks hooks{endpoint_open, dispatch_frame, endpoint_tick, nullptr};
    Connection* endpoint = udp_endpoint_create(fake_handle(kEndpoint), &hooks, &descriptor);
    if (endpoint == nullptr) fuzz_fail("no endpoint");
    endpoint->read_fn = fake_read_nothing;
    endpoint->write_fn = fake_write;
    endpoint->close_fn = fake_close;
    register_commands(gateway_command_batch());

    Connection* fuzzed = client(kFuzzed, kFuzzedAddr, 700, 0, "\0\0\0\0\0\0");
    fuzzed->read_fn = fuzzed_read;
    client(kDevice, kDeviceAddr, 701, 2, "\x02\x00\x00\x12\x34\x56");
    client(kWatcher, kWatcherAddr, 702, 3, "\0\0\0\0\0\0");
    client(kQuiet, kQuietAddr, 703, 0, "\x0a\x0b\x0c\x0d\x0e\x0f");
    fake_socket(kWatcher).refill = kWatcherBytesPerPass;

    // A file to read and overwrite; the file service numbers the ones it creates.
    if (std::FILE* data = std::fopen("data", "wb")) {
        for (int i = 0; i < 3000; ++i) std::fputc((i * 7) & 0xFF, data);
        std::fclose(data);
    }
}

void run_passes() {
    const Application app{nullptr, nullptr};
    LoopState& state = loop_state();
    for (g_pass = 0; g_pass < kMaxPasses; ++g_pass) {
        Connection* fuzzed = find(kFuzzed);
        bool reading = fuzzed != nullptr && g_pos < g_size &&
                       interest_contains(&state.read_set, fuzzed->handle);
        if (!reading && state.write_set.count == 0) return;
        if (!event_loop_pass(app)) return;
        fuzz_clock_advance(kPassMs);
    }
}

bool allowed_file(const char* name) {
    if (std::strcmp(name, "data") == 0) return true;
    char* end = nullptr;
    long number = std::strtol(name, &end, 10);
    return *end == '\0' && name[0] != '0' && number >= 1 && number < g_counter_end;
}

void check() {
    if (find(kListener) == nullptr) fuzz_fail("the listener was closed by a client's frames");
    Connection* endpoint = find(kEndpoint);
    if (endpoint == nullptr || conn_is_closing(endpoint)) {
        fuzz_fail("the UDP endpoint was closed by a client's frames");
    }
    fuzz_expect_whole_frames(fake_socket(kFuzzed).sent, "the fuzzed client");
    fuzz_expect_whole_frames(fake_socket(kDevice).sent, "the device peer");
    fuzz_expect_whole_frames(fake_socket(kQuiet).sent, "the quiet peer");
    for (const std::string& datagram : fake_socket(kEndpoint).writes) {
        if (datagram.size() != kAnnouncementSize ||
            std::memcmp(datagram.data(), kAnnouncement, kAnnouncementSize) != 0) {
            fuzz_fail("the endpoint sent something other than its announcement");
        }
    }
    if (fake_socket(kListener).sent.size() != 0) fuzz_fail("bytes written to the listener");
    g_counter_end = temp_file_counter();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_silence_stdout();
    fuzz_sandbox(argc, argv, "client");
    fuzz_enter_private_network();
    fuzz_clock_install();
    event_loop_set_wait(fake_wait);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset_gateway();
    set_up();
    g_input = data;
    g_size = size;
    g_pos = 0;
    run_passes();
    check();
    fuzz_reset_gateway();
    if (!fuzz_clean_scratch_dir(allowed_file)) {
        fuzz_fail("a remote peer's frames left a file the file service may not make");
    }
    return 0;
}
