// The load generator of the relay benchmarks. Every frame it sends comes back whole and is
// compared byte for byte with what was sent; any difference, loss or stall ends the run
// with status 1. Results are printed as one JSON object.
//
//   bench_load latency    --connect H:P --name NAME --size S --count N [--warmup W] [--samples F]
//   bench_load throughput --connect H:P --name NAME --size S --inflight K --seconds T
//   bench_load mesh       --connect H:P --peers P --size S --inflight K --seconds T
//
// Frames are S bytes on the wire (header included), code 300, and carry NAME (the echo
// peer's gateway name, or a stand-in of the same form for the direct and socat runs) as
// their first argument: relayed through the gateway to NAME and echoed back unchanged, a
// frame returns with the echo peer's name in the same place, i.e. exactly as it was sent.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_net.h"

namespace {

constexpr std::uint16_t kRelayedCode = 300;
constexpr std::size_t kPool = 64;

using Options = std::map<std::string, std::string>;

// A frame of exactly size bytes for sequence number seq: the name, a blank, the sequence
// number in hexadecimal (the rest of the payload must not start with white space, which the
// relay would skip), then bytes of every value.
std::string make_test_frame(const std::string& name, std::uint64_t seq, std::size_t size) {
    const std::size_t payload = size - 4;
    std::string text = name + " ";
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(seq));
    text += hex;
    std::uint64_t state = seq * 0x9E3779B97F4A7C15ull + 1;
    while (text.size() < payload) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        text.push_back(static_cast<char>(state & 0xFF));
    }
    text.resize(payload);
    return zvbench::make_frame(kRelayedCode, text);
}

std::vector<std::string> make_pool(const std::string& name, std::size_t size, std::size_t count) {
    std::vector<std::string> pool;
    for (std::size_t i = 0; i < count; ++i) pool.push_back(make_test_frame(name, i, size));
    return pool;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_load: %s\n", what);
    std::exit(1);
}

std::size_t number(const Options& options, const char* key, std::size_t fallback) {
    const auto it = options.find(key);
    return it == options.end() ? fallback : std::strtoull(it->second.c_str(), nullptr, 10);
}

int connect_option(const Options& options) {
    std::string host;
    int port = 0;
    const auto it = options.find("connect");
    if (it == options.end() || !zvbench::split_host_port(it->second, &host, &port)) {
        fail("--connect HOST:PORT is required");
    }
    const int fd = zvbench::connect_tcp(host.c_str(), port);
    if (fd < 0) fail("cannot connect");
    return fd;
}

std::size_t frame_size(const Options& options, std::size_t name_length) {
    const std::size_t size = number(options, "size", 64);
    if (size < 4 + name_length + 1 + 16 || size > 2048) fail("--size too small or above 2048");
    return size;
}

double percentile(const std::vector<double>& sorted, double p) {
    const std::size_t index = std::min(
        sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())));
    return sorted[index];
}

int run_latency(const Options& options) {
    const int fd = connect_option(options);
    const std::string name = options.at("name");
    const std::size_t size = frame_size(options, name.size());
    const std::size_t count = number(options, "count", 10000);
    const std::size_t warmup = number(options, "warmup", 1000);
    const std::vector<std::string> pool = make_pool(name, size, kPool);
    std::vector<char> echo(size);
    std::vector<double> us;
    us.reserve(count);
    for (std::size_t i = 0; i < warmup + count; ++i) {
        const std::string& frame = pool[i % kPool];
        const std::uint64_t start = zvbench::now_ns();
        if (!zvbench::send_all(fd, frame.data(), size)) fail("send failed");
        if (!zvbench::recv_exact(fd, echo.data(), size)) fail("echo lost (time-out or close)");
        const std::uint64_t end = zvbench::now_ns();
        if (std::memcmp(echo.data(), frame.data(), size) != 0) fail("echo differs from the frame");
        if (i >= warmup) us.push_back(static_cast<double>(end - start) / 1000.0);
    }
    const auto samples = options.find("samples");
    if (samples != options.end()) {
        std::FILE* out = std::fopen(samples->second.c_str(), "w");
        if (out == nullptr) fail("cannot write the samples file");
        for (double v : us) std::fprintf(out, "%.3f\n", v);
        std::fclose(out);
    }
    double total = 0;
    for (double v : us) total += v;
    std::sort(us.begin(), us.end());
    std::printf("{\"count\": %zu, \"p50_us\": %.3f, \"p99_us\": %.3f, \"mean_us\": %.3f}\n",
                us.size(), percentile(us, 0.50), percentile(us, 0.99),
                total / static_cast<double>(us.size()));
    ::close(fd);
    return 0;
}

int run_throughput(const Options& options) {
    const int fd = connect_option(options);
    const std::string name = options.at("name");
    const std::size_t size = frame_size(options, name.size());
    const std::size_t inflight = number(options, "inflight", 32);
    const double seconds =
        std::atof(options.count("seconds") ? options.at("seconds").c_str() : "3");
    const std::vector<std::string> pool = make_pool(name, size, kPool);
    if (inflight == 0 || inflight >= kPool) fail("--inflight must be from 1 to 63");

    std::string out;
    for (std::size_t i = 0; i < inflight; ++i) out += pool[i];
    std::uint64_t sent = inflight;
    std::uint64_t received = 0;
    const std::uint64_t start = zvbench::now_ns();
    const auto stop = start + static_cast<std::uint64_t>(seconds * 1e9);
    if (!zvbench::send_all(fd, out.data(), out.size())) fail("send failed");

    std::vector<char> in(size * (inflight + 1) + 65536);
    std::size_t have = 0;
    std::uint64_t end = start;
    while (received < sent) {
        const ssize_t n = ::recv(fd, in.data() + have, in.size() - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("echo lost (time-out or close)");
        have += static_cast<std::size_t>(n);
        std::size_t used = 0;
        out.clear();
        while (have - used >= size) {
            if (std::memcmp(in.data() + used, pool[received % kPool].data(), size) != 0) {
                fail("echo differs from the frame (lost or reordered)");
            }
            used += size;
            ++received;
            end = zvbench::now_ns();
            if (end < stop) out += pool[sent++ % kPool];
        }
        std::memmove(in.data(), in.data() + used, have - used);
        have -= used;
        if (!out.empty() && !zvbench::send_all(fd, out.data(), out.size())) fail("send failed");
    }
    const double elapsed = static_cast<double>(end - start) / 1e9;
    const double frames = static_cast<double>(received) / elapsed;
    std::printf(
        "{\"frames\": %llu, \"seconds\": %.3f, \"frames_per_s\": %.1f, "
        "\"mib_per_s\": %.3f}\n",
        static_cast<unsigned long long>(received), elapsed, frames,
        frames * static_cast<double>(size) / (1024.0 * 1024.0));
    ::close(fd);
    return 0;
}

// Many gateway peers at once: pairs in which one side sends and the other echoes, plus one
// peer that relays to itself when the count is odd.
struct MeshPeer {
    int fd = -1;
    std::string name;
    bool echoes = false;
    std::vector<std::string> pool;  // senders: frames addressed to the partner
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::string in;
};

int run_mesh(const Options& options) {
    const std::size_t count = number(options, "peers", 61);
    const std::size_t inflight = number(options, "inflight", 4);
    const double seconds =
        std::atof(options.count("seconds") ? options.at("seconds").c_str() : "3");
    std::vector<MeshPeer> peers(count);
    for (MeshPeer& peer : peers) {
        peer.fd = connect_option(options);
        peer.name = zvbench::register_role0(peer.fd);
        if (peer.name.empty()) fail("registration failed");
    }
    const std::size_t size = frame_size(options, 21);
    for (std::size_t i = 0; i < count; ++i) {
        const bool has_partner = i + 1 < count || count % 2 == 0;
        if (i % 2 == 1) {
            peers[i].echoes = true;
        } else {
            const std::string& target = has_partner ? peers[i + 1].name : peers[i].name;
            peers[i].pool = make_pool(target, size, kPool);
        }
    }
    std::vector<pollfd> fds;
    for (MeshPeer& peer : peers) {
        fds.push_back({peer.fd, POLLIN, 0});
        for (std::size_t k = 0; !peer.echoes && k < inflight; ++k) {
            if (!zvbench::send_all(peer.fd, peer.pool[k].data(), size)) fail("send failed");
            ++peer.sent;
        }
    }
    const std::uint64_t start = zvbench::now_ns();
    const auto stop = start + static_cast<std::uint64_t>(seconds * 1e9);
    std::vector<char> buffer(65536);
    std::uint64_t total = 0;
    auto pending = [&]() {
        for (const MeshPeer& peer : peers) {
            if (!peer.echoes && peer.received < peer.sent) return true;
        }
        return false;
    };
    while (pending()) {
        const int ready = ::poll(fds.data(), fds.size(), 10000);
        if (ready == 0) fail("mesh stalled: frames lost");
        if (ready < 0 && errno != EINTR) fail("poll failed");
        for (std::size_t i = 0; i < count; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            MeshPeer& peer = peers[i];
            const ssize_t n = ::recv(peer.fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) fail("a mesh peer lost its connection");
            if (peer.echoes) {
                if (!zvbench::send_all(peer.fd, buffer.data(), static_cast<std::size_t>(n))) {
                    fail("echo failed");
                }
                continue;
            }
            peer.in.append(buffer.data(), static_cast<std::size_t>(n));
            std::size_t used = 0;
            std::string out;
            while (peer.in.size() - used >= size) {
                if (peer.in.compare(used, size, peer.pool[peer.received % kPool]) != 0) {
                    fail("mesh echo differs from the frame");
                }
                used += size;
                ++peer.received;
                ++total;
                if (zvbench::now_ns() < stop) out += peer.pool[peer.sent++ % kPool];
            }
            peer.in.erase(0, used);
            if (!out.empty() && !zvbench::send_all(peer.fd, out.data(), out.size())) {
                fail("send failed");
            }
        }
    }
    const double elapsed = static_cast<double>(zvbench::now_ns() - start) / 1e9;
    std::printf("{\"peers\": %zu, \"frames\": %llu, \"seconds\": %.3f}\n", count,
                static_cast<unsigned long long>(total), elapsed);
    std::fflush(stdout);
    // Stay connected until told to go, so that the caller can read the gateway's memory
    // with every peer still present.
    char line[8];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
    }
    for (MeshPeer& peer : peers) ::close(peer.fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_load latency|throughput|mesh --option value...\n");
        return 2;
    }
    Options options;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strncmp(argv[i], "--", 2) != 0) return 2;
        options[argv[i] + 2] = argv[i + 1];
    }
    const std::string mode = argv[1];
    if ((mode == "latency" || mode == "throughput") && options.count("name") == 0) {
        fail("--name is required");
    }
    if (mode == "latency") return run_latency(options);
    if (mode == "throughput") return run_throughput(options);
    if (mode == "mesh") return run_mesh(options);
    return 2;
}
