// What the fuzz targets share: a private network and a scratch directory to run in, fake
// transports that record what the gateway writes, the reset of every process-wide record
// between inputs, and the checks that the bytes written to a peer are whole frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/connection.h"

// Moves the calling thread into a new network namespace (only loopback, brought up) and a
// new UTS namespace whose host name is "localhost", so that the device search resolves to
// 127.0.0.1 and every datagram it sends stays on this machine. Aborts when that fails: a
// target that sends datagrams must never run on the host's own network.
void fuzz_enter_private_network();

// Confines what the process can write: in a private mount namespace every file system is
// read-only except the fuzzer's own output (its corpus directory and artifact directory,
// taken from the command line) and a small tmpfs scratch directory, which becomes the
// working directory. A fault that lets a peer name a file outside the working directory
// then fails to write instead of touching the machine. Relative paths on the command line
// are made absolute first (the working directory changes). File sizes are capped too.
void fuzz_sandbox(int* argc, char*** argv, const char* tag);

// Removes every entry of the scratch directory. Returns false (after removing them all)
// when an entry is not one the caller allows: `allowed(name)` decides.
bool fuzz_clean_scratch_dir(bool (*allowed)(const char* name));

// The search prints a console line for every refused send; nobody reads it here.
void fuzz_silence_stdout();

// A fake socket: records what a connection's write_fn accepted. A socket with a refill
// takes that many bytes per loop pass and then reports "nothing now", like a peer that
// reads slowly; the targets' wait refills it.
struct FakeSocket {
    std::string sent;                 // every accepted byte, in order
    std::vector<std::string> writes;  // the same bytes, one entry per write_fn call
    int refill = -1;                  // -1: takes everything
    int budget = -1;                  // what it still takes in this pass
};

inline constexpr sock_t kFakeHandleBase = 7000;
inline constexpr int kMaxFakeSockets = 16;

// A fake socket slot and a connection backed by it (conn_create / conn_create_udp).
FakeSocket& fake_socket(int index);
sock_t fake_handle(int index);
int fake_write(sock_t handle, const char* bytes, int count, Connection* connection);
int fake_read_nothing(sock_t handle, char* buffer, int size, Connection* connection);
int fake_close(sock_t handle);
void fake_sockets_clear();
void fake_sockets_refill();

// An accepted client as the listener makes it (hooks, endpoint info, address, Peer), on a
// fake socket. addr_host is the client's IPv4 address in host order.
Connection* fake_client(int socket_index, std::uint32_t addr_host, std::uint16_t port);

// The fake clock every target installs.
void fuzz_clock_install();
void fuzz_clock_advance(std::uint64_t ms);

// Destroys every connection (on_destroy hooks included), releases peers, names, commands
// and timers, and puts the search, the address list and the file counter back to their
// start values. Everything a previous input left is gone afterwards.
void fuzz_reset_gateway();

// Checks that `bytes` is a run of whole frames, each no longer than max_payload (or
// max_chunk_payload for code 194, the chunk frame). Aborts with a message naming `who`.
void fuzz_expect_whole_frames(const std::string& bytes, const char* who);

// Aborts with a message: the fuzzer reports it as a crash with the input that caused it.
[[noreturn]] void fuzz_fail(const char* what, const char* detail = "");
