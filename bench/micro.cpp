// Micro-benchmarks of the gateway's hot paths: frame dispatch, the name table, the argument
// splitters and the relay that builds a forwarded frame. Connections are real records with a
// transport that swallows what is written, so no socket is involved.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/connection.h"
#include "gateway/args.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"

namespace {

int swallow(sock_t, const char*, int count, Connection*) {
    return count;
}

void ignore_command(Peer*, std::uint32_t, std::uint32_t, char*) {}

// Codes of the gateway's own batch, with handlers that do nothing: what is measured is the
// dispatch, not the commands.
const CommandEntry kBatch[kCommandBatchSize] = {
    {25, ignore_command, 0},  {191, ignore_command, 0}, {197, ignore_command, 0},
    {202, ignore_command, 0}, {205, ignore_command, 0}, {193, ignore_command, 0},
    {194, ignore_command, 0}, {22, ignore_command, 0},
};

std::string name_of(int i) {
    return "127.0.0.1:" + std::to_string(40000 + i);
}

// 61 connected peers, as in the memory benchmark; peer 0 sends, peer 1 receives.
struct Gateway {
    std::vector<Peer*> peers;

    Gateway() {
        loop_state_reset();
        name_table_create();
        if (command_count() == 0) register_commands(kBatch);
        for (int i = 0; i < 61; ++i) {
            Connection* connection = conn_create(1000 + i, kKindClient, 0);
            connection->write_fn = swallow;
            Peer* peer = peer_create(connection, name_of(i).c_str());
            connection->context = peer;  // what the listener's on_open hook would store
            peers.push_back(peer);
        }
    }
    ~Gateway() {
        peer_list_reset();
        name_table_destroy();
        while (loop_state().table.count > 0) conn_destroy(loop_state().table.connections[0]);
    }
};

std::string frame_bytes(std::uint16_t code, const std::string& payload) {
    std::string out = {static_cast<char>(payload.size() >> 8),
                       static_cast<char>(payload.size() & 0xFF), static_cast<char>(code >> 8),
                       static_cast<char>(code & 0xFF)};
    return out + payload;
}

// A relayed frame of size bytes in all, addressed to peer 1.
std::string relay_frame_bytes(std::size_t size) {
    std::string payload = name_of(1) + " ";
    while (payload.size() < size - 4)
        payload.push_back(static_cast<char>('a' + payload.size() % 26));
    return frame_bytes(300, payload);
}

// restore: the offset of a byte the handler overwrites in place (the blank after a relay
// target), put back after every call; 0 for none.
void dispatch_loop(benchmark::State& state, const std::string& frame, std::size_t restore) {
    Gateway gateway;
    Connection* sender = gateway.peers[0]->connection;
    // The dispatcher writes a terminator behind the payload: one spare byte, as in IoBuffer.
    std::vector<char> input(frame.begin(), frame.end());
    input.push_back('\0');
    for (auto _ : state) {
        InputView view{input.data(), static_cast<std::int32_t>(frame.size()), 0, sender->context};
        benchmark::DoNotOptimize(dispatch_frame(sender, &view));
        if (restore != 0) input[restore] = frame[restore];
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}

void BM_DispatchOwnCommand(benchmark::State& state) {
    dispatch_loop(state, frame_bytes(25, "3"), 0);
}
BENCHMARK(BM_DispatchOwnCommand);

// Dispatch of an unregistered code: target lookup, building the relayed frame, handing it
// to the target's connection.
void BM_DispatchRelay(benchmark::State& state) {
    dispatch_loop(state, relay_frame_bytes(static_cast<std::size_t>(state.range(0))),
                  4 + name_of(1).size());
}
BENCHMARK(BM_DispatchRelay)->Arg(64)->Arg(1024);

void BM_RelayFrame(benchmark::State& state) {
    Gateway gateway;
    const std::string frame = relay_frame_bytes(static_cast<std::size_t>(state.range(0)));
    std::vector<char> payload(frame.begin() + 4, frame.end());
    payload.push_back('\0');
    const std::size_t blank = name_of(1).size();
    const auto length = static_cast<std::uint32_t>(frame.size() - 4);
    for (auto _ : state) {
        relay_frame(gateway.peers[0], 300, length, payload.data());
        payload[blank] = ' ';  // the relay terminated the target name in place
    }
}
BENCHMARK(BM_RelayFrame)->Arg(64)->Arg(1024);

void BM_FindCommand(benchmark::State& state) {
    Gateway gateway;
    std::uint32_t code = 0;
    const std::uint32_t codes[] = {22, 25, 191, 193, 194, 197, 202, 205, 300, 24};
    for (auto _ : state) {
        benchmark::DoNotOptimize(find_command(codes[code++ % 10]));
    }
}
BENCHMARK(BM_FindCommand);

void BM_NameHash(benchmark::State& state) {
    const std::string name = "172.16.100.200:54321";
    for (auto _ : state) benchmark::DoNotOptimize(name_hash(name.c_str()));
}
BENCHMARK(BM_NameHash);

void BM_NameLookup(benchmark::State& state) {
    Gateway gateway;
    std::vector<std::string> keys;
    for (int i = 0; i < 61; ++i) keys.push_back(name_of(state.range(0) != 0 ? i : i + 100));
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(name_lookup(keys[i++ % keys.size()].c_str()));
}
BENCHMARK(BM_NameLookup)->ArgName("hit")->Arg(1)->Arg(0);

// The splitters cut in place, so every iteration starts from a fresh copy of the text; the
// copy is part of the figure.
void BM_SplitArgs(benchmark::State& state) {
    const std::string text = "- \"report.bin\" \"copy.bin\" 17 0 0 1048576 1024";
    std::vector<char> work(text.size() + 1);
    char* args[8];
    for (auto _ : state) {
        std::memcpy(work.data(), text.c_str(), text.size() + 1);
        benchmark::DoNotOptimize(split_args(work.data(), args, 8));
    }
}
BENCHMARK(BM_SplitArgs);

void BM_SplitFields(benchmark::State& state) {
    std::string text = "- \"report.bin\" \"\" 17 0 0 0 1048576 1024 ";
    const std::size_t fields = text.size();
    text.append(1024, 'x');
    std::vector<char> work(text.size() + 1);
    char* args[kMaxFields];
    char* rest = nullptr;
    for (auto _ : state) {
        std::memcpy(work.data(), text.c_str(), fields);  // the data is never written
        benchmark::DoNotOptimize(split_fields(work.data(), args, &rest));
    }
}
BENCHMARK(BM_SplitFields);

void BM_NextArg(benchmark::State& state) {
    const std::string text = "127.0.0.1:40001 the rest of a relayed frame";
    std::vector<char> work(text.size() + 1);
    for (auto _ : state) {
        std::memcpy(work.data(), text.c_str(), text.size() + 1);
        char* cursor = work.data();
        benchmark::DoNotOptimize(next_arg(&cursor));
        benchmark::DoNotOptimize(cursor);
    }
}
BENCHMARK(BM_NextArg);

}  // namespace

BENCHMARK_MAIN();
